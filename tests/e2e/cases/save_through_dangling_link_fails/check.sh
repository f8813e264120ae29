[ -L link.txt ] || { echo "link replaced"; exit 1; }
[ ! -e sub/new.txt ] || { echo "a part-written file was left"; exit 1; }
