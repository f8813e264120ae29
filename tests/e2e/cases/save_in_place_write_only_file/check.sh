[ "$(stat -c %a cards.txt)" = 200 ] || { echo "mode changed"; exit 1; }
