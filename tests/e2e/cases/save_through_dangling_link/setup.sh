# The link's text is relative to its own folder, sub/.
mkdir sub
ln -s new.txt sub/link.txt
