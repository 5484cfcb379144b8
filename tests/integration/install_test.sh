#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: the layout, then the tree moved
# elsewhere and run from there alone (scripts/check-tree): provision a root,
# load the driver, read $RTTMC from COM9, unload, stop.
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -uo pipefail
cmake=$1 build=$2 source=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tervalon-install-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install_test: $*" >&2
  exit 1
}

"$cmake" --install "$build" --prefix "$work/staged" >"$work/install.log" 2>&1 || {
  cat "$work/install.log"
  fail "cmake --install failed"
}
cd "$work/staged" || exit 1
for f in bin/cectl bin/cehost bin/KvorClient bin/KvorClientSP bin/Kvor_Switch; do
  [ -x "$f" ] || fail "no program $f"
done
for f in lib/tervalon/libce.so lib/tervalon/libceui.so lib/tervalon/libTervalon.so lib/tervalon/libWavelo.so \
  lib/tervalon/libFMS_API.so share/doc/tervalon/README.md share/doc/tervalon/docs/usage.md; do
  [ -f "$f" ] || fail "no $f"
done
# Every built file a declaration names is in the tree, where the declaration says.
for list in share/tervalon/components/*.files; do
  while read -r from _; do
    case $from in '' | ';'*) continue ;; esac
    [ -f "$from" ] || fail "$list names $from, which the tree lacks"
  done <"$list"
done
[ -n "$(ls share/tervalon/components/*.reg 2>/dev/null)" ] || fail "no registry defaults in share/tervalon/components"

cd "$work" || exit 1
mv staged moved
"$source/scripts/check-tree" "$work/moved"
