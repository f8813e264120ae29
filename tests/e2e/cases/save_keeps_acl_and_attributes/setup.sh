# cards.txt is shared with the user nobody by an ACL entry, its group may
# only read it, and it carries a note of the user's own.
command -v setfacl >/dev/null && command -v setfattr >/dev/null ||
  { echo "needs setfacl and setfattr (packages acl and attr)"; exit 77; }
chmod 640 cards.txt
setfacl -m u:nobody:rw cards.txt 2>/dev/null &&
  setfattr -n user.note -v kept cards.txt 2>/dev/null ||
  { echo "needs a file system that takes ACLs and user attributes here"; exit 77; }
