^nodir/cards.txt: 
