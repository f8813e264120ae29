# A FIFO that nobody opens to write: the load gives up after a few
# seconds, and the records typed before it stay.
mkfifo in.fifo
