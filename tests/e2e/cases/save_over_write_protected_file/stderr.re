^cards.txt: (Permission denied|Отказано в доступе)$
