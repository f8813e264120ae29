# Two FIFOs whose writers never stop: one streams a word without end, the
# other a record whose third field, a number, has no end. Each writer ends
# when the program stops reading (or after a minute, if it never reads).
mkfifo word.fifo number.fifo
(timeout 60 sh -c 'yes w | tr -d "\n" >word.fifo' </dev/null >/dev/null 2>&1 &)
(timeout 60 sh -c '{ printf "a b "; yes 1 | tr -d "\n"; } >number.fifo' \
  </dev/null >/dev/null 2>&1 &)
