^cards.txt: 
