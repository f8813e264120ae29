# Both names still lead to one file, which holds the saved records.
[ cards.txt -ef other.txt ] || { echo "the links were split"; exit 1; }
[ "$(stat -c %h cards.txt)" = 2 ] || { echo "link count changed"; exit 1; }
