#!/usr/bin/env bash
# sweep_pam_wrapper_dirs.sh MARKER: removes pam_wrapper's /tmp/pam.X made since MARKER by processes that
# exec'd or died before its destructor ran (ours, not links, their pid file naming a gone or zombie process).
set -u
[ -e "$1" ] || exit 0
find /tmp -maxdepth 1 -name 'pam.?' -type d -user "$(id -u)" -newer "$1" -print0 2>/dev/null |
  while IFS= read -r -d '' dir; do
    [ -L "$dir" ] && continue
    pid=$(head -c 16 "$dir/pid" 2>/dev/null | tr -cd '0-9')
    [ -n "$pid" ] || continue
    if kill -0 "$pid" 2>/dev/null; then
      [ "$(sed -n 's/^[0-9]* (.*) \([A-Za-z]\).*/\1/p' "/proc/$pid/stat" 2>/dev/null)" = Z ] || continue
    fi
    rm -rf -- "$dir"
  done
exit 0
