#!/usr/bin/env bash
# The Windows program on a real console: started under wine inside tmux,
# which gives it a Windows console, it is typed at like a person would. The
# Russian texts must show on the screen, Cyrillic typed in must be echoed,
# stored as UTF-8 and shown back, a file with a Cyrillic name saved, and a
# save to CON shown in Cyrillic.
#   console_tmux.sh PROG      (PROG runs the program under wine)
# Skipped (77) when tmux or wine is missing.
set -u
prog=$(realpath "$1")
. "$(dirname "$0")/tmux_session.sh" console

# Waits up to 30 s for a line holding text to be on the screen, at or after
# the line where the last text waited for was found. Blanks at the end of
# text are not compared: tmux drops them at line ends.
seen=1
wait_for() {
  local i at want=$1
  while [[ $want == *' ' ]]; do want=${want% }; done
  for ((i = 0; i < 300; i++)); do
    at=$(tmux capture-pane -p -J -S -2000 -t "$session" 2>/dev/null |
      tail -n +"$seen" | grep -nF -- "$want" | head -1 | cut -d: -f1)
    if [ -n "$at" ]; then
      seen=$((seen + at - 1))
      return 0
    fi
    sleep 0.1
  done
  fail "not on the screen: $1"
}

tmux new-session -d -s "$session" -x 300 -y 50 \
  "cd '$scratch' && LANG=C.UTF-8 '$prog'; echo EXIT=\$?; sleep 60" ||
  fail "tmux could not start"
wait_for "Ваш выбор: "
type_line 1
wait_for "Введите имя: "
record="Анна Иванова 0 русская православная 165 55 4951234 5 3 1990 101000 Россия Московская Москва Тверская 7 12"
type_line "$record"
wait_for "Введите имя: $record"
wait_for "Желаете ввести следующую запись? (Y-да, N-нет): "
type_line N
wait_for "Ваш выбор: "
type_line 4
wait_for "Введите имя файла: "
type_line "люди.txt"
wait_for "Выполнено!"
# Saved to the console itself, the line shows in Cyrillic too.
type_line 4
wait_for "Введите имя файла: "
type_line CON
wait_for "Анна Иванова 0 русская православная 165 55 5.3.1990"
wait_for "Выполнено!"
type_line 6
wait_for "18-квартира"
type_line 15
wait_for "Введите запрос: "
type_line "Москва"
wait_for "Результат номер 1:"
wait_for " Улица: Тверская"
type_line 0
wait_for "EXIT=0"

want="Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12"
[ -f "$scratch/люди.txt" ] || fail "люди.txt not saved: $(ls -A "$scratch")"
[ "$(cat "$scratch/люди.txt")" = "$want"$'\r' ] ||
  fail "люди.txt holds: $(od -c "$scratch/люди.txt" | head)"
echo "console: typed, shown and saved in Cyrillic"
