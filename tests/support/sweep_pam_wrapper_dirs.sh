#!/usr/bin/env bash
# pam_wrapper gives each process it is preloaded into a directory /tmp/pam.X
# (fixed path) and removes it only in a destructor, so a process that execs
# or is killed leaves it behind. Usage: sweep_pam_wrapper_dirs.sh MARKER
# removes such directories made since MARKER: ours, not links, and whose
# pid file names a process that is gone or a zombie.
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
