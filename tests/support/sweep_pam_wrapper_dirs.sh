#!/usr/bin/env bash
# pam_wrapper gives every process it is preloaded into a configuration
# directory /tmp/pam.X (the path is fixed; TMPDIR is not read) and removes
# it only in a destructor. A preloaded process that execs (a shell running
# its last command) or is killed leaves its directory behind; the tests and
# the demo start such processes (mgtsh's commands and pagers, tmux panes).
#
#   sweep_pam_wrapper_dirs.sh MARKER
#
# Removes the leftovers made since MARKER (a file touched at the start of
# the run): directories named pam.? directly in /tmp, owned by this user,
# not links, whose pid file names a process that no longer runs (or is a
# zombie). Anything else, another user's or a live process's, stays.
set -u
marker=$1
[ -e "$marker" ] || exit 0
uid=$(id -u)
find /tmp -maxdepth 1 -name 'pam.?' -type d -user "$uid" -newer "$marker" -print0 2>/dev/null |
  while IFS= read -r -d '' dir; do
    [ -L "$dir" ] && continue
    pid=$(head -c 16 "$dir/pid" 2>/dev/null | tr -cd '0-9')
    [ -n "$pid" ] || continue
    # A zombie will never run the destructor: it counts as gone.
    if kill -0 "$pid" 2>/dev/null; then
      state=$(sed -n 's/^[0-9]* (.*) \([A-Za-z]\).*/\1/p' "/proc/$pid/stat" 2>/dev/null)
      [ "$state" = Z ] || continue
    fi
    rm -rf -- "$dir"
  done
exit 0
