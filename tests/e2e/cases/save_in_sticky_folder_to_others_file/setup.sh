# A folder like /tmp: everyone may make files, nobody may rename over
# another user's. The file is root's and writable by everyone.
chmod 1777 .
chmod 666 cards.txt
