#!/usr/bin/env bash
# gui_access.sh grant|revoke BUILD_DIR: as root, the GUI frontend tests run the frontends as the user nobody, who
# must reach the build folder. A checkout in root's home (mode 700) is out of its reach, so `grant` gives nobody
# search permission (an ACL entry: passing through, no listing) on each folder above the build that it cannot pass,
# and `revoke` takes exactly those entries away again once the GUI tests are done. Nothing to do for other users.
set -euo pipefail
action=$1 build=$2
list=$build/frontends/nobody-acl
[ "$(id -u)" = 0 ] || exit 0
case $action in
  grant)
    mkdir -p "$(dirname "$list")"
    : > "$list"
    folder=$build
    while [ "$folder" != / ]; do
      if ! setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups test -x "$folder"; then
        # A folder without an ACL of its own gets it removed whole at the end (the mask entry included).
        had_acl=$(getfacl -cs "$folder" 2> /dev/null | grep -c . || true)
        setfacl -m u:nobody:x "$folder"
        printf '%s\t%s\n' "$had_acl" "$folder" >> "$list"
      fi
      folder=$(dirname "$folder")
    done
    ;;
  revoke)
    [ -f "$list" ] || exit 0
    while IFS=$'\t' read -r had_acl folder; do
      if [ "$had_acl" = 0 ]; then setfacl -b "$folder"; else setfacl -x u:nobody "$folder"; fi
    done < "$list"
    rm -f "$list"
    ;;
esac
