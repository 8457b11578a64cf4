#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the Debian package,
# then checks what lands where, that the data files are valid and agree with
# each other, that the package's dependencies resolve on this system and that
# the installed program starts.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

BUILD="$(cd "$1" && pwd)"
SOURCE="$(cd "$2" && pwd)"
APP_ID=org.stemloft.Stemloft

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; }

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
[ -n "$VERSION" ] || fail "no project version in $BUILD/CMakeCache.txt"

# Regular files and links under $1, as paths relative to it, sorted.
list_files() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }

# --- The install tree ---------------------------------------------------------
PREFIX="$WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1 \
    || { cat "$WORK/install.log" >&2; fail "cmake --install failed"; }

MAN=share/man/man1/stemloft.1.gz
[ -e "$PREFIX/$MAN" ] || MAN=share/man/man1/stemloft.1  # built without gzip
EXPECTED="$(LC_ALL=C sort <<EOF
bin/stemloft
share/applications/$APP_ID.desktop
share/icons/hicolor/scalable/apps/$APP_ID.svg
share/metainfo/$APP_ID.metainfo.xml
$MAN
EOF
)"
ACTUAL="$(list_files "$PREFIX")"
[ "$ACTUAL" = "$EXPECTED" ] \
    || fail "installed files differ (test or bench programs must not be installed):
$(diff <(echo "$EXPECTED") <(echo "$ACTUAL") || true)"
[ -x "$PREFIX/bin/stemloft" ] || fail "bin/stemloft is not executable"

DESKTOP="$PREFIX/share/applications/$APP_ID.desktop"
ICON="$PREFIX/share/icons/hicolor/scalable/apps/$APP_ID.svg"
METAINFO="$PREFIX/share/metainfo/$APP_ID.metainfo.xml"

if command -v desktop-file-validate >/dev/null; then
    # It exits 0 on warnings too; any output at all is a complaint.
    out="$(desktop-file-validate "$DESKTOP" 2>&1)" || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
else
    skip "desktop-file-validate not installed (desktop-file-utils)"
fi

if command -v appstreamcli >/dev/null; then
    # Errors and warnings fail; infos and pedantic hints do not.
    appstreamcli validate --no-net "$METAINFO" >"$WORK/appstream.log" 2>&1 \
        || { cat "$WORK/appstream.log" >&2; fail "appstreamcli validate failed"; }
    ! grep -q '^W:' "$WORK/appstream.log" \
        || { cat "$WORK/appstream.log" >&2; fail "appstreamcli validate warns"; }
else
    skip "appstreamcli not installed (appstream)"
fi

desktop_key() { sed -n "s/^$1=//p" "$DESKTOP"; }
[ "$(desktop_key Icon)" = "$(basename "$ICON" .svg)" ] \
    || fail "Icon=$(desktop_key Icon) is not the installed icon $(basename "$ICON" .svg)"
[ "$(desktop_key Exec | cut -d' ' -f1)" = stemloft ] \
    || fail "Exec=$(desktop_key Exec) does not run the installed bin/stemloft"

python3 - "$METAINFO" "$ICON" "$APP_ID" "$VERSION" <<'EOF' 2>&1 || fail "metainfo or icon (see above)"
import sys, xml.dom.minidom, xml.etree.ElementTree as ET
metainfo, icon, app_id, version = sys.argv[1:]
try:
    xml.dom.minidom.parse(icon)
except Exception as e:
    sys.exit(f"{icon} is not well-formed XML: {e}")
root = ET.parse(metainfo).getroot()
def text(path):
    node = root.find(path)
    return None if node is None else node.text
newest = root.find("releases/release")
checks = [
    ("id", text("id"), app_id),
    ("launchable", text("launchable[@type='desktop-id']"), app_id + ".desktop"),
    ("provided binary", text("provides/binary"), "stemloft"),
    ("newest release", None if newest is None else newest.get("version"), version),
]
for what, got, want in checks:
    if got != want:
        sys.exit(f"metainfo {what} is {got!r}, expected {want!r}")
EOF

# What is installed is the current text of data/, not a stale copy.
for f in "$DESKTOP" "$ICON" "$METAINFO"; do
    cmp -s "$f" "$SOURCE/data/$(basename "$f")" || fail "$f differs from data/$(basename "$f")"
done
page() { if [[ "$1" == *.gz ]]; then gzip -dc "$1"; else cat "$1"; fi; }
cmp -s <(page "$PREFIX/$MAN") "$BUILD/stemloft.1" || fail "$MAN differs from the configured data/stemloft.1.in"
page "$PREFIX/$MAN" | grep -q "^\.TH STEMLOFT 1 .*\"Stemloft $VERSION\"" \
    || fail "$MAN does not have a .TH line for Stemloft $VERSION"
if [[ "$MAN" == *.gz ]]; then
    # gzip -n: no file name and a zero time in the header (bytes 3-7).
    [ "$(od -An -tx1 -j3 -N5 "$PREFIX/$MAN" | tr -d ' \n')" = 0000000000 ] \
        || fail "$MAN carries a name or a time stamp (not gzip -n)"
fi
if command -v man >/dev/null; then
    warnings="$(MANWIDTH=80 man --warnings -E UTF-8 -l "$PREFIX/$MAN" 2>&1 >/dev/null)" \
        || fail "man cannot format $MAN: $warnings"
    [ -z "$warnings" ] || fail "man warns about $MAN: $warnings"
else
    skip "man not installed (man-db)"
fi

# --- The Debian package ---------------------------------------------------------
if ! command -v dpkg-deb >/dev/null; then
    skip "dpkg-deb not installed: no Debian package checks"
else
    ARCH="$(dpkg --print-architecture)"
    DEB="$WORK/package/stemloft_${VERSION}_${ARCH}.deb"
    cpack -G DEB -B "$WORK/package" --config "$BUILD/CPackConfig.cmake" >"$WORK/cpack.log" 2>&1 \
        || { cat "$WORK/cpack.log" >&2; fail "cpack -G DEB failed"; }
    [ -f "$DEB" ] || fail "no $(basename "$DEB"); cpack made: $(cd "$WORK/package" && echo ./*.deb)"

    dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | LC_ALL=C sort \
        >"$WORK/deb-files"
    [ "$(cat "$WORK/deb-files")" = "$EXPECTED" ] \
        || fail "package files differ (test or bench programs must not be packaged):
$(diff <(echo "$EXPECTED") "$WORK/deb-files" || true)"

    field() { dpkg-deb -f "$DEB" "$1"; }
    [ "$(field Package)" = stemloft ] || fail "Package: $(field Package)"
    [ "$(field Version)" = "$VERSION" ] || fail "Version: $(field Version), expected $VERSION"
    [ "$(field Architecture)" = "$ARCH" ] || fail "Architecture: $(field Architecture)"
    DEPENDS="$(field Depends)"
    echo "Depends: $DEPENDS"
    # Each name must be a whole entry, not the start of a longer name.
    for dep in libqt6core6 libqt6widgets6 ffmpeg curl unzip gpgv python3-venv; do
        grep -Eq "(^|, )$dep( |,|$)" <<<"$DEPENDS" || fail "Depends lacks $dep: $DEPENDS"
    done
    [ "$(field Recommends)" = yt-dlp ] || fail "Recommends: $(field Recommends)"

    dpkg-deb -x "$DEB" "$WORK/unpacked"
    file "$WORK/unpacked/usr/bin/stemloft" | grep -q 'ELF.*, stripped' \
        || fail "the packaged program is not stripped: $(file "$WORK/unpacked/usr/bin/stemloft")"

    # The dependencies must resolve. apt resolves against its package lists and
    # what is installed; without lists (no apt-get update yet) a failure says
    # nothing about the package, so that case is skipped, not failed.
    if ! command -v apt-get >/dev/null; then
        skip "apt-get not installed: dependencies not resolved"
    elif apt-get install -s -q "$DEB" >"$WORK/apt.log" 2>&1; then
        grep -q '^Inst stemloft ' "$WORK/apt.log" \
            || { cat "$WORK/apt.log" >&2; fail "apt-get would not install stemloft"; }
    elif LISTS=/var/lib/apt/lists/ && eval "$(apt-config shell LISTS Dir::State::lists/d)" \
            && ! compgen -G "${LISTS}*_Packages*" >/dev/null; then
        skip "apt has no package lists in $LISTS (apt-get update): $(grep '^E:' "$WORK/apt.log" | head -1)"
    else
        cat "$WORK/apt.log" >&2
        fail "apt-get cannot install $(basename "$DEB")"
    fi
fi

# --- The installed program starts -------------------------------------------------
# Without a display and with a time limit: --version must neither need a
# window nor wait for one.
version_out="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    timeout -k 5 30 "$PREFIX/bin/stemloft" --version </dev/null 2>"$WORK/version.err")" \
    || fail "installed stemloft --version exited with $? ($(head -c 300 "$WORK/version.err"))"
[[ "$(head -n1 <<<"$version_out")" == "Stemloft "* ]] \
    || fail "installed stemloft --version printed '$(head -n1 <<<"$version_out")', not 'Stemloft VERSION'"

echo "PASS: install tree and package"
