# The new cards.txt has the old one's ACL (its group still only reads,
# nobody still writes) and its note.
[ "$(getfacl -c -p cards.txt)" = "$(printf '%s\n' user::rw- user:nobody:rw- \
  group::r-- mask::rw- other::---)" ] || { getfacl -c cards.txt; exit 1; }
[ "$(getfattr -n user.note --only-values cards.txt)" = kept ] || exit 1
