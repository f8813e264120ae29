# The file is the user's, its folder is not: no temporary file can be made
# beside it, so the save writes it in place.
chown nobody cards.txt
