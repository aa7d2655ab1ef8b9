#!/usr/bin/env bash
# `cmake --install` into a throw-away prefix: the programs run from there,
# the desktop entry and the autostart entry pass desktop-file-validate, the
# icons are where icon themes look.
#   install-test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
# shellcheck source=../support/shell-helpers.sh
. "$(dirname "$0")/../support/shell-helpers.sh"

cmake --install "$build" --prefix "$prefix" >/dev/null
for program in dravelin dravelin-cli dravelin-server dravelin-model; do
    [ -x "$prefix/bin/$program" ] || fail "$program was not installed"
done
"$prefix/bin/dravelin-cli" --help >/dev/null || fail "the installed dravelin-cli does not run"
"$prefix/bin/dravelin-server" --help >/dev/null || fail "the installed dravelin-server does not run"

desktop-file-validate "$prefix/share/applications/dravelin.desktop" || fail "desktop entry"
desktop-file-validate "$prefix/etc/xdg/autostart/dravelin.desktop" || fail "autostart entry"
grep -q '^Hidden=true' "$prefix/etc/xdg/autostart/dravelin.desktop" || fail "the autostart entry is on for everyone"
for icon in scalable/apps/dravelin.svg symbolic/apps/dravelin-symbolic.svg 48x48/apps/dravelin.png \
    256x256/apps/dravelin.png; do
    [ -s "$prefix/share/icons/hicolor/$icon" ] || fail "icon $icon missing"
done

# The speech model comes along, and an installed program finds it there
# when the user has none of their own.
model="$prefix/share/dravelin/models/ggml-tiny.en.bin"
[ -s "$model" ] || fail "the speech model was not installed"
found=$(HOME="$prefix/home" XDG_DATA_HOME="$prefix/home/data" XDG_DATA_DIRS="$prefix/share" \
    "$prefix/bin/dravelin-server" --print-model)
[ "$found" = "$model" ] || fail "the installed server looks for its model at $found"

echo "install layout ok: $(find "$prefix" -type f | wc -l) files"
