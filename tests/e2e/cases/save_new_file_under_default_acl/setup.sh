# A folder whose new files are shared with the user nobody by a default
# ACL.
command -v setfacl >/dev/null ||
  { echo "needs setfacl (package acl)"; exit 77; }
mkdir shared
setfacl -d -m u:nobody:rw shared 2>/dev/null ||
  { echo "needs a file system that takes ACLs here"; exit 77; }
