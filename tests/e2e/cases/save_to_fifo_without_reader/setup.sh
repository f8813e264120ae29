mkfifo out.fifo
