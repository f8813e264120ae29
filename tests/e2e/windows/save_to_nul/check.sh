[ -z "$(ls -A)" ] || { ls -A; exit 1; }
