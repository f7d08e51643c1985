#!/usr/bin/env bash
# shellcheck disable=SC2046  # pkg-config output is split into words on purpose
# Installs the build into a scratch prefix, moves the prefix, and builds and
# runs hosts against the moved tree with pkg-config and with find_package.
# The host linked with -lpam_lib alone makes a remote call to the installed mgtd.
#   check_install.sh BUILD_DIR HOST_SOURCE_DIR
set -euo pipefail
build=$1 hosts=$2 daemon=""
work=$(mktemp -d "${TMPDIR:-/tmp}/pam_lib_install.XXXXXX")
cleanup() {
  [ -z "$daemon" ] || { kill -TERM "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null; } || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/staged" >"$work/log" || fail "install failed"
mv "$work/staged" "$work/moved"
prefix=$work/moved
for f in include/pam_lib/{pam_lib,database,linked_list,util_linux}.h \
  share/doc/pam_lib/{host-guide.md,examples/first_call.c}; do
  [ -f "$prefix/$f" ] || fail "$f missing"
done
[ ! -e "$prefix/include/pam_lib.h" ] || fail "headers installed outside include/pam_lib/"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name pam_lib.pc)")
libdir=$(dirname "$(find "$prefix" -name libpam_lib.so)")
export PKG_CONFIG_PATH
printf '<list><item><name>a</name></item><item><name>b</name></item></list>\n' >"$work/items.xml"

# -lpam_lib alone (pkg-config pam_lib), and pam_lib-xml, which brings expat.
cc "$hosts/remote.c" -o "$work/remote_pc" $(pkg-config --cflags --libs pam_lib) -Wl,-rpath,"$libdir"
cc "$hosts/xml.c" -o "$work/xml_pc" $(pkg-config --cflags --libs pam_lib-xml) -Wl,-rpath,"$libdir"
"$work/xml_pc" "$work/items.xml" || fail "the pam_lib-xml host could not parse: $?"

{ cmake -S "$hosts" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" && cmake --build "$work/host"; } \
  >"$work/log" 2>&1 || { cat "$work/log"; fail "building the find_package host failed"; }
"$work/host/host_xml" "$work/items.xml" || fail "the pam_lib::xml host could not parse: $?"

[ -x "$prefix/sbin/mgtd" ] || { echo "check_install: no installed mgtd: remote call not checked"; exit 0; }
"$prefix/sbin/mgtd" --model "$prefix/share/pam_lib/example.model" --socket "$work/mgtd.sock" \
  --security-log "$work/security.log" --foreground >"$work/mgtd.out" 2>&1 &
daemon=$!
for _ in $(seq 200); do
  grep -q '^mgtd: ready' "$work/mgtd.out" && break
  kill -0 "$daemon" 2>/dev/null || { cat "$work/mgtd.out"; fail "mgtd did not start"; }
  sleep 0.05
done
for h in "$work/remote_pc" "$work/host/host_remote"; do
  "$h" "$work/mgtd.sock" "$work/items.xml" || fail "$h failed: $?"
done
echo "check_install: moved prefix works with pkg-config and find_package"
