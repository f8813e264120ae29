#!/usr/bin/env bash
# The wine server that the Windows tests share, in the build's prefix:
#   wine_server.sh WINE_RUN start   makes the prefix if need be, and starts
#                                   a server that stays until it is ended,
#                                   with wine's own services
#   wine_server.sh WINE_RUN stop    ends it, and every wine program
# A server that ends by itself as its last program ends can end just as a
# new one connects, which then fails ("wine client error:0: recvmsg:
# Connection reset by peer", exit status 1); one that stays cannot. Its
# services are started here with no terminal or pipe of the tests', so
# that they hold none open (ctest waits for a test's pipes to close).
set -u
wine_run=$1
. "$(dirname "${BASH_SOURCE[0]}")/need_wine.sh"
export WINEPREFIX=${KARTOTEKA_WINEPREFIX:-$(dirname "$wine_run")/wine}
server=/usr/lib/wine/wineserver
[ -x "$server" ] || server=$(command -v wineserver) ||
  { echo "SKIP: needs wineserver (package wine64)"; exit 77; }
case $2 in
  start)
    "$wine_run" cmd /c exit </dev/null >/dev/null 2>&1  # makes the prefix
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1
    "$server" -p </dev/null >/dev/null 2>&1
    "$wine_run" cmd /c exit </dev/null >/dev/null 2>&1 ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1
    "$server" -w </dev/null >/dev/null 2>&1 ;;
esac
exit 0
