# The saved file is made as any program makes one (0666 under the default
# ACL): nobody may write it, as the folder says.
getfacl -c -p shared/cards.txt | grep -qx 'mask::rw-' &&
  getfacl -c -p shared/cards.txt | grep -qx 'user:nobody:rw-' ||
  { getfacl -c shared/cards.txt; exit 1; }
