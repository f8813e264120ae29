[ -L sub/link.txt ] && [ "$(readlink sub/link.txt)" = new.txt ] || { echo "link replaced"; exit 1; }
[ -f sub/new.txt ] && [ ! -L sub/new.txt ] || { echo "target not made"; exit 1; }
cmp -s sub/new.txt "$(dirname "$0")/saved.txt" || { echo "target differs"; exit 1; }
[ ! -e new.txt ] || { echo "made beside the program instead"; exit 1; }
