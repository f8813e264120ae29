# The user's own file, made read-only; the folder is open to everyone, so
# a rename over the file would work.
chmod 777 .
if [ "$(id -u)" -eq 0 ]; then chown nobody cards.txt; fi
chmod 444 cards.txt
