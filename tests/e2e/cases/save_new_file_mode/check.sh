[ "$(stat -c %a new.txt)" = "$(printf %o $((0666 & ~$(umask))))" ]
