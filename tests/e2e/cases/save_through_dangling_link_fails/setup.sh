mkdir sub
ln -s sub/new.txt link.txt
