[ "$(stat -c %u:%a cards.txt)" = 0:666 ] || { echo "owner or mode changed"; exit 1; }
