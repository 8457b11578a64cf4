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
share/doc/stemloft/changelog.gz
share/doc/stemloft/copyright
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

# The copyright file: Debian's machine-readable format, with the text of LICENSE.
COPYRIGHT="$PREFIX/share/doc/stemloft/copyright"
python3 - "$COPYRIGHT" "$SOURCE/LICENSE" <<'EOF' 2>&1 || fail "copyright (see above)"
import sys
copyright, license = (open(p, encoding="utf-8").read() for p in sys.argv[1:])
paragraphs = [p for p in copyright.split("\n\n") if p.strip()]
header = dict(line.split(": ", 1) for line in paragraphs[0].splitlines())
if header.get("Format") != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/":
    sys.exit(f"copyright: Format is {header.get('Format')!r}")
files = dict(line.split(": ", 1) for line in paragraphs[1].splitlines())
if files != {"Files": "*", "Copyright": "2026 The Stemloft developers", "License": "MIT"}:
    sys.exit(f"copyright: the Files paragraph reads {files}")
lines = paragraphs[2].splitlines()
if lines[0] != "License: MIT":
    sys.exit(f"copyright: the license paragraph starts {lines[0]!r}")
text = "\n".join("" if l == " ." else l[1:] for l in lines[1:])
if text.split() != license[license.index("Permission"):].split():
    sys.exit("copyright: the MIT text differs from LICENSE")
if "Copyright (c) 2026 The Stemloft developers" not in license:
    sys.exit("LICENSE lacks its copyright line")
EOF

# The changelog: a native package's, gzipped without name or time, its
# newest entry the project's version on the date of the newest release.
CHANGELOG="$PREFIX/share/doc/stemloft/changelog.gz"
if command -v dpkg-parsechangelog >/dev/null; then
    gzip -dc "$CHANGELOG" >"$WORK/changelog"
    [ "$(dpkg-parsechangelog -l "$WORK/changelog" -S Version)" = "$VERSION" ] \
        || fail "the changelog's newest entry is $(dpkg-parsechangelog -l "$WORK/changelog" -S Version), not $VERSION"
    released="$(python3 -c 'import sys, xml.etree.ElementTree as ET; print(ET.parse(sys.argv[1]).getroot().find("releases/release").get("date"))' "$METAINFO")"
    [ "$(date -u -d "$(dpkg-parsechangelog -l "$WORK/changelog" -S Date)" +%F)" = "$released" ] \
        || fail "the changelog's newest entry is not dated $released, as the newest release"
else
    skip "dpkg-parsechangelog not installed (dpkg-dev)"
fi

# The bundle's Info.plist (made on every system) and its icon (where the
# tools to draw one exist).
python3 - "$BUILD/Info.plist" "$VERSION" <<'EOF' 2>&1 || fail "Info.plist (see above)"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    plist = plistlib.load(f)
for key in ("CFBundleShortVersionString", "CFBundleVersion"):
    if plist.get(key) != sys.argv[2]:
        sys.exit(f"Info.plist {key} is {plist.get(key)!r}, expected {sys.argv[2]!r}")
if plist.get("CFBundleIconFile") != "Stemloft" or plist.get("CFBundleExecutable") != "stemloft":
    sys.exit("Info.plist names another icon or program")
EOF
if command -v plutil >/dev/null; then
    plutil -lint "$BUILD/Info.plist" >/dev/null || fail "plutil -lint rejects Info.plist"
fi
if [ -e "$BUILD/Stemloft.icns" ] && command -v icns2png >/dev/null; then
    sizes="$(icns2png -l "$BUILD/Stemloft.icns" | grep -Eo '[0-9]+x[0-9]+ 32-bit' | cut -dx -f1 | tr '\n' ' ')"
    [ "$sizes" = "16 32 128 256 512 1024 " ] || fail "Stemloft.icns holds the sizes '$sizes'"
elif command -v rsvg-convert >/dev/null && command -v png2icns >/dev/null; then
    fail "the tools to draw Stemloft.icns exist, but the build has none"
else
    skip "no rsvg-convert and png2icns: Stemloft.icns not checked"
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
    for dep in libqt6core6 libqt6widgets6 ffmpeg curl unzip gpgv; do
        grep -Eq "(^|, )$dep( |,|$)" <<<"$DEPENDS" || fail "Depends lacks $dep: $DEPENDS"
    done
    # Stemloft installs a Python of its own where the system's does not fit.
    ! grep -q python3 <<<"$DEPENDS" || fail "Depends names python3: $DEPENDS"
    [ "$(field Recommends)" = "yt-dlp, python3-venv" ] || fail "Recommends: $(field Recommends)"

    dpkg-deb -x "$DEB" "$WORK/unpacked"
    file "$WORK/unpacked/usr/bin/stemloft" | grep -q 'ELF.*, stripped' \
        || fail "the packaged program is not stripped: $(file "$WORK/unpacked/usr/bin/stemloft")"

    # Debian's own checker: no error and no warning. Infos and pedantic
    # notes are shown, not failed.
    if command -v lintian >/dev/null; then
        lintian --pedantic --display-info "$DEB" >"$WORK/lintian.log" 2>&1 \
            || { cat "$WORK/lintian.log" >&2; fail "lintian finds errors or warnings, or cannot run"; }
        grep -E '^[IP]: ' "$WORK/lintian.log" || true
        ! grep -Eq '^[EWX]: ' "$WORK/lintian.log" \
            || { cat "$WORK/lintian.log" >&2; fail "lintian finds errors or warnings"; }
    else
        skip "lintian not installed"
    fi

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
# The same number as the package, the manual page and the metadata: all come
# from the project's version, which the program may follow with its label.
first="$(head -n1 <<<"$version_out")"
[[ "$first" == "Stemloft $VERSION" || "$first" == "Stemloft $VERSION-"* ]] \
    || fail "installed stemloft --version printed '$first', not 'Stemloft $VERSION'"

echo "PASS: install tree and package"
