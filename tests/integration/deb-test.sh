#!/usr/bin/env bash
# cpack into a throw-away directory: the two Debian packages have the right
# names, version and relations, hold what they should (and no file twice),
# and their programs run from the unpacked tree. Nothing is installed.
#   deb-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../support/shell-helpers.sh
. "$(dirname "$0")/../support/shell-helpers.sh"

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
app=$work/out/dravelin_${version}_$arch.deb
server=$work/out/dravelin-server_${version}_$arch.deb
[ -f "$app" ] && [ -f "$server" ] || fail "expected dravelin and dravelin-server $version, got: $(ls "$work/out")"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$app" Package)" = dravelin ] && [ "$(field "$server" Package)" = dravelin-server ] ||
    fail "package names"
# Shared libraries come from dpkg-shlibdeps; the rest is what loads at run time.
names() { field "$1" "$2" | tr ',' '\n' | sed 's/^ *//'; } # package field
has() {                                                      # package field entry
    names "$1" "$2" | grep -qE "^($3)( |$)" || fail "$(basename "$1") $2 lacks $3: $(field "$1" "$2")"
}
has "$app" Depends 'libqt6widgets6'
has "$app" Depends 'qt6-qpa-plugins'
has "$app" Depends 'libsecret-1-0'
has "$app" Recommends "dravelin-server \\(= $version\\)"
has "$server" Depends 'libqt6network6'
has "$server" Depends 'pocketsphinx-en-us'
# A server host needs no desktop libraries.
! names "$server" Depends | grep -E '^(libqt6(gui|widgets)6|libx11-6)( |$)' ||
    fail "dravelin-server depends on desktop libraries"
dpkg-deb -I "$app" conffiles | grep -qx /etc/xdg/autostart/dravelin.desktop ||
    fail "the autostart entry is not a conffile"

# Contents. dpkg refuses a second package that brings a file the first has.
dpkg-deb -c "$app" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/app.files"
dpkg-deb -c "$server" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/server.files"
for file in ./usr/bin/dravelin ./usr/bin/dravelin-cli ./usr/share/applications/dravelin.desktop \
    ./etc/xdg/autostart/dravelin.desktop ./usr/share/icons/hicolor/scalable/apps/dravelin.svg \
    ./usr/share/icons/hicolor/48x48/apps/dravelin.png ./usr/share/man/man1/dravelin.1.gz \
    ./usr/share/man/man1/dravelin-cli.1.gz; do
    grep -qx "$file" "$work/app.files" || fail "dravelin lacks $file"
done
for file in ./usr/bin/dravelin-server ./usr/bin/dravelin-model ./usr/lib/systemd/user/dravelin-server.service \
    ./usr/share/dravelin/models/ggml-tiny.en.bin ./usr/share/man/man1/dravelin-server.1.gz \
    ./usr/share/man/man1/dravelin-model.1.gz; do
    grep -qx "$file" "$work/server.files" || fail "dravelin-server lacks $file"
done
both=$(comm -12 "$work/app.files" "$work/server.files")
[ -z "$both" ] || fail "in both packages: $both"

# Unpacked, the programs run (all our libraries are linked in), say the
# package's version and carry no debug sections.
root=$work/root
dpkg-deb -x "$app" "$root"
dpkg-deb -x "$server" "$root"
for program in dravelin-cli dravelin-server; do
    "$root/usr/bin/$program" --help >/dev/null || fail "the packaged $program --help"
    [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
for program in "$root"/usr/bin/*; do
    ! readelf -S "$program" | grep -q '\.debug_info' || fail "$(basename "$program") is not stripped"
done

# The unit runs the packaged server, in the foreground, again after a crash.
unit=$root/usr/lib/systemd/user/dravelin-server.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${exec_start%% *}" = /usr/bin/dravelin-server ] || fail "the unit starts $exec_start"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit is not restarted on failure"
# systemd's own check, but for the program not being installed here.
if command -v systemd-analyze >/dev/null; then
    complaints=$(systemd-analyze verify --man=no "$unit" 2>&1 | grep -v 'dravelin-server is not executable' || true)
    [ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
fi

# Each man page is the program's own help, with no build path in it.
for page in dravelin:--check dravelin-cli:--help dravelin-server:--data-dir dravelin-model:--weights; do
    name=${page%%:*}
    text=$(zcat "$root/usr/share/man/man1/$name.1.gz" | sed 's/\\-/-/g')
    grep -q "^\.TH \"\?${name^^}" <<<"$text" || fail "$name.1 has no title"
    grep -q -- "${page#*:}" <<<"$text" || fail "$name.1 does not describe ${page#*:}"
    ! grep -q "$build" <<<"$text" || fail "$name.1 names the build directory"
done

echo "packages ok: dravelin $(du -k "$app" | cut -f1) KiB, dravelin-server $(du -k "$server" | cut -f1) KiB"
