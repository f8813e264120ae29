^nosuch.txt: 
