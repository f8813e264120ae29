ln -s real.txt link.txt
chmod 640 real.txt
