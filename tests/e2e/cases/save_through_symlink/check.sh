[ -L link.txt ] && [ "$(readlink link.txt)" = real.txt ] || { echo "link replaced"; exit 1; }
[ "$(cat real.txt)" = "John Smith 1 english protestant 175 70 1.1.1970 5550100 10001 USA NewYork NYC Broadway 1 100" ] || { echo "target not written"; exit 1; }
[ "$(stat -c %a real.txt)" = 640 ] || { echo "mode not kept"; exit 1; }
