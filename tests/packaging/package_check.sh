#!/usr/bin/env bash
# The Debian package: made with CPack from the build folder into a temporary folder, checked
# without installing it on this machine (its contents are extracted into a temporary root),
# then removed again.
#   package_check.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
here="$(cd "$(dirname "$0")/../.." && pwd)"
work=$(mktemp -d /tmp/tarvino-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
deb="$work/out/tarvino_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$work/out"; echo "FAIL: no $deb"; exit 1; }

# The control fields: the project's version, and dependencies found in the binaries.
[ "$(dpkg-deb -f "$deb" Package)" = tarvino ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version), not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libqt6core6 libqt6widgets6 libqt6network6 qt6-qpa-plugins iproute2; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

# The file list: everything that belongs, and nothing of the tests, benchmarks or examples.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
expected=(
    /usr/bin/tarvino /usr/bin/tarvino-devsim /usr/bin/tarvino-cli /usr/share/tarvino/lab
    /usr/share/applications/org.tarvino.Tarvino.desktop
    /usr/share/metainfo/org.tarvino.Tarvino.metainfo.xml
    /usr/share/icons/hicolor/scalable/apps/org.tarvino.Tarvino.svg
    /usr/share/man/man1/tarvino.1.gz /usr/share/man/man1/tarvino-devsim.1.gz /usr/share/man/man1/tarvino-cli.1.gz
    /usr/share/doc/tarvino/copyright /usr/share/doc/tarvino/changelog.gz
    /usr/share/tarvino/tarvino-cli.schema.json
    /usr/share/bash-completion/completions/tarvino-cli /usr/share/zsh/vendor-completions/_tarvino-cli
    "/usr/lib/$multiarch/wireshark/plugins/tarvino.lua"
    /usr/share/ansible/collections/ansible_collections/tarvino/fleet/galaxy.yml
    /usr/share/ansible/collections/ansible_collections/tarvino/fleet/plugins/modules/config.py
)
for size in 16 24 32 48 64 128 256; do expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/org.tarvino.Tarvino.png"); done
for path in "${expected[@]}"; do grep -qxF "$path" "$work/files" || fail "missing $path"; done
if grep -E 'tst_|bench|fuzz|example|capture-driver|render-icons|/include/|\.a$' "$work/files"; then
    fail "test, benchmark or example files in the package"
fi

dpkg-deb -x "$deb" "$work/root"
root="$work/root"

# The versions agree: the package, --version and the version record the about box shows.
[ "$("$root/usr/bin/tarvino" --version)" = "tarvino $version" ] || fail "tarvino --version: $("$root/usr/bin/tarvino" --version)"
readelf -p .tarvino_version "$root/usr/bin/tarvino" | sed -n 's/^ *\[ *[0-9a-f]*\]  //p' >"$work/record"
grep -A1 '\\ProductVersion$' "$work/record" | tail -n 1 | grep -qxF "$version" \
    || fail "the version record of the packaged program does not show $version"
[ -x "$root/usr/share/tarvino/lab" ] || fail "the lab script is not executable"
"$root/usr/share/tarvino/lab" --help | grep -q 'lab up' || fail "lab --help"

# The simulator's manual page lists exactly the options of its --help.
"$root/usr/bin/tarvino-devsim" --help >"$work/devsim-help" || fail "tarvino-devsim --help"
grep -q '^Usage: ' "$work/devsim-help" || fail "tarvino-devsim --help prints no usage"
grep -oE '^ +(-h, )?--[a-z-]+' "$work/devsim-help" | grep -oE -- '--[a-z-]+' | sort -u >"$work/help-options"
MANWIDTH=200 man -l "$root/usr/share/man/man1/tarvino-devsim.1.gz" 2>/dev/null | col -b \
    | grep -oE '^ {7}(-h, )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u >"$work/man-options"
diff -u "$work/help-options" "$work/man-options" || fail "tarvino-devsim(1) options differ from --help"
[ "$(wc -l <"$work/help-options")" -ge 20 ] || fail "too few options read from --help"
for page in tarvino tarvino-devsim tarvino-cli; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
done

# The desktop entry and the metainfo validate; they name what the package installs.
desktop="$root/usr/share/applications/org.tarvino.Tarvino.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.tarvino.Tarvino.metainfo.xml" || fail "appstreamcli validate"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/org.tarvino.Tarvino.metainfo.xml" || fail "metainfo release"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not in the package"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not in the package"
for size in 16 256; do
    file "$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" | grep -q "PNG image data, $size x $size" \
        || fail "the ${size} px icon is not ${size} x ${size}"
done

# The dissector as installed loads in tshark and registers its protocols.
if command -v tshark >/dev/null; then
    protocols=$(tshark -G protocols -X "lua_script:$root/usr/lib/$multiarch/wireshark/plugins/tarvino.lua" 2>&1)
    for name in tarvino tarvino_tcp tarvinobus; do
        grep -qP "\t$name$" <<<"$protocols" || fail "tshark has no protocol $name: $(grep -i lua <<<"$protocols")"
    done
else
    fail "tshark is not installed (scripts/deps.sh)"
fi

# tarvino-cli's completion: bash reads its script, and it offers the verbs.
bash -n "$root/usr/share/bash-completion/completions/tarvino-cli" || fail "the bash completion does not parse"
complete_words() { # the words bash offers for a command line whose last word is being typed
    XDG_CACHE_HOME="$work/cache" bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        _tarvino_cli tarvino-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[*]}"' \
        _ "$root/usr/share/bash-completion/completions/tarvino-cli" "$@"
}
if [ -r /usr/share/bash-completion/bash_completion ]; then
    mkdir -p "$work/cache/tarvino"
    printf '198.18.1.1\n00:50:c2:02:5c:c1\nPump-3\n' >"$work/cache/tarvino/devices.txt" # as scan keeps them
    [ "$(complete_words tarvino-cli up)" = "upgrade-board upgrade-controller" ] || fail "bash completion of a verb"
    [ "$(complete_words tarvino-cli config '')" = "get put" ] || fail "bash completion of config"
    [ "$(complete_words tarvino-cli reset --dr)" = "--dry-run" ] || fail "bash completion of an option"
    [ "$(complete_words tarvino-cli reset 198)" = "198.18.1.1" ] || fail "bash completion of a scanned address"
    [ "$(complete_words tarvino-cli logs get P)" = "Pump-3" ] || fail "bash completion of a scanned name"
else
    fail "bash-completion is not installed (scripts/deps.sh)"
fi

# The Ansible collection tarvino.fleet: Ansible finds it in the package's folder and shows each module's help.
if [ -x /usr/bin/ansible-doc ]; then
    for module in devices config backup firmware; do
        HOME="$work" ANSIBLE_COLLECTIONS_PATH="$root/usr/share/ansible/collections" /usr/bin/ansible-doc \
            "tarvino.fleet.$module" >"$work/ansible-doc" 2>&1 || { cat "$work/ansible-doc"; fail "ansible-doc tarvino.fleet.$module"; }
    done
else
    fail "ansible-core is not installed (scripts/deps.sh)"
fi

# Debian's own checks: no error and no warning.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 \
        || { cat "$work/lintian"; fail "lintian"; }
else
    fail "lintian is not installed (scripts/deps.sh)"
fi

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "package $(basename "$deb") checked: $(wc -l <"$work/files") entries"
