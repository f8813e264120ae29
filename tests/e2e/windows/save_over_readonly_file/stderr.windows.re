^cards.txt: .+
