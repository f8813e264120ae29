# The user may write the file (three records, longer than what replaces
# them) but not read it, and may not make files in
# its folder: it is written in place through a descriptor opened only for
# writing.
chown nobody cards.txt
chmod 200 cards.txt
