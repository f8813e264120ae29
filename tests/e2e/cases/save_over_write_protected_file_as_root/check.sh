[ "$(stat -c %a cards.txt)" = 444 ] || { echo "mode changed"; exit 1; }
