^out.fifo: (No such device or address|Нет такого устройства или адреса)$
