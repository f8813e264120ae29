#!/usr/bin/env bash
# Starts the program on pipes, types nothing, and waits for the whole menu
# to arrive: the prompt must be on the screen before the program waits for
# its answer even when standard output is a pipe. Then closes the input;
# the program must end with status 0. The Windows program
# (KARTOTEKA_TARGET=windows) writes its line ends as CR LF.
set -u
prog=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
menu=$'Меню:\n 1) Набить новый массив\n 2) Показать массив на экране\n 3) Добавить новую запись в массив\n 4) Сохранить массив в файл\n 5) Открыть массив из файла\n 6) Поиск в массиве\n 0) Выход\nВаш выбор: '
[ "${KARTOTEKA_TARGET:-}" = windows ] && menu=${menu//$'\n'/$'\r\n'}
mkfifo "$dir/in" "$dir/out"
exec 3<>"$dir/in"
"$prog" <"$dir/in" >"$dir/out" 3>&- &
pid=$!
exec 4<"$dir/out"
len=$(printf '%s' "$menu" | wc -c)
got=$(timeout 10 head -c "$len" <&4)
exec 3>&-
wait "$pid"
rc=$?
[ "$got" == "$menu" ] || { echo "menu did not arrive: [$got]" >&2; exit 1; }
[ "$rc" -eq 0 ] || { echo "exit status $rc" >&2; exit 1; }
