#!/bin/sh
# `cmake --install` run as root gives the capture helper its group, mode and
# capabilities, and says what it did. Skipped (77) when not root.
#   install_test.sh BUILD_DIR
build="$1"
[ "$(id -u)" = 0 ] || exit 77
command -v getcap >/dev/null 2>&1 || exit 77
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
out="$(cmake --install "$build" --prefix "$prefix" 2>&1)" || { echo "$out"; exit 1; }
helper="$prefix/bin/kestrel-capture"
mode="$(stat -c '%U:%G %a' "$helper")"
[ "$mode" = "root:kestrel 750" ] || { echo "kestrel-capture is $mode"; exit 1; }
getcap "$helper" | grep -q 'cap_net_admin,cap_net_raw=ep' || { getcap "$helper"; exit 1; }
echo "$out" | grep -q 'usermod -aG kestrel' || { echo "$out"; exit 1; }
# The programs users run hold no privilege.
for program in kestrel kestrel-dump; do
    [ -e "$prefix/bin/$program" ] || continue
    [ -z "$(getcap "$prefix/bin/$program")" ] || { echo "$program has capabilities"; exit 1; }
done
exit 0
