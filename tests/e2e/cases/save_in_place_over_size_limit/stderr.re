^cards.txt: (File too large|Файл слишком велик)$
