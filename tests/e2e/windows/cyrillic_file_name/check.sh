# The file is there under its Cyrillic name, with a CR LF line end.
[ "$(ls)" = "люди.txt" ] || { ls; exit 1; }
[ "$(tail -c 2 люди.txt | od -An -c | tr -d ' ')" = '\r\n' ] || { echo "no CR LF"; exit 1; }
