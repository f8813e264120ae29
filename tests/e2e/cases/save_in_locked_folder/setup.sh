chown nobody cards.txt
