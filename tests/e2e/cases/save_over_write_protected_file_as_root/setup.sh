chmod 444 cards.txt
