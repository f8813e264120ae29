ln cards.txt other.txt
