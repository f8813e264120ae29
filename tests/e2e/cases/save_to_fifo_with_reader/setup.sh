# A file of more records than a pipe holds at once, and a FIFO with a slow
# reader, which starts reading a second after the program may start
# writing, and takes exactly one save's bytes: the program must wait for
# it. The reader holds the FIFO open for writing too, so that its own open
# to read does not wait; it says it is ready once it has the FIFO open.
line='Анна Иванова 0 русская православная 165 55 5.3.1990 4951234 101000 Россия Московская Москва Тверская 7 12'
yes "$line" | head -n 1000 >big.txt
mkfifo out.fifo
size=$(wc -c <big.txt)
(timeout 60 bash -c 'exec 3<>out.fifo; : >ready; sleep 1; exec head -c "$1" out.fifo >got.txt' \
  _ "$size" </dev/null >/dev/null 2>&1 &)
for _ in $(seq 100); do [ -e ready ] && exit 0; sleep 0.1; done
echo "the reader did not start" >&2
exit 1
