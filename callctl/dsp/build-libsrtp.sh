#!/bin/sh
# build-libsrtp.sh PREFIX [TOOLCHAIN_FILE]
#
# Builds a static libsrtp2 (SRTP and SRTCP, RFC 3711) from Debian's source
# package and installs it under PREFIX (include/srtp2, lib/): for Windows
# (i686-w64-mingw32) with TOOLCHAIN_FILE, for this machine without it. It
# uses libsrtp's own AES and HMAC-SHA1, not OpenSSL: nothing else to ship
# beside callctl.dll. CMake runs it while configuring a tree when PREFIX
# holds no finished build of this recipe; by hand it rebuilds.
#
# A sibling of build-thirdparty.sh (the audio libraries) with its own
# prefix and stamp, so that a change to one recipe does not rebuild the
# other; the source cache (PREFIX/../src) is the same, and so is the way
# sources are fetched (debian-source.sh). The build goes to PREFIX.partial
# and is moved into place only when complete; a lock keeps two configure
# runs from building at once.
set -eu

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 PREFIX [TOOLCHAIN_FILE]" >&2; exit 2; }
PREFIX=$1
HERE=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 2 ]; then
    TOOLCHAIN=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    HOST=i686-w64-mingw32
    CC=$HOST-gcc-posix
    PIC=OFF
else
    TOOLCHAIN=""
    HOST=""
    CC=cc
    PIC=ON  # may end up in a shared object natively
fi
SRCDIR=$(dirname "$PREFIX")/src
STAMP=quillon-thirdparty.stamp
# The recipe's identity: this script and the source fetching it uses.
RECIPE=$(cat "$0" "$HERE/debian-source.sh" | sha256sum | cut -c1-16)

say() { echo "build-libsrtp: $*" >&2; }
die() { say "$*"; exit 1; }

for tool in cmake make "$CC" flock sha256sum; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool is missing (scripts/setup installs it)"
done

mkdir -p "$(dirname "$PREFIX")"
exec 8>"$PREFIX.lock"
flock 8
if [ "$(cat "$PREFIX/$STAMP" 2>/dev/null | head -n1)" = "recipe $RECIPE" ]; then
    say "already built in $PREFIX"
    exit 0
fi

mkdir -p "$SRCDIR"
exec 9>"$SRCDIR.lock"
flock 9

START=$(date +%s)
WORK=$PREFIX.work
STAGE=$PREFIX.partial
rm -rf "$WORK" "$STAGE"
mkdir -p "$WORK" "$STAGE"
. "$HERE/debian-source.sh"

get_source libsrtp2 libsrtp2-dev

# --- libsrtp2: its own CMake, static, built-in crypto -------------------------
# Without its test programs, and without its warnings-as-errors (another
# compiler's new warning must not stop our build).
src=$WORK/src/libsrtp2
say "building libsrtp2 ($(basename "$(ls "$WORK/src/"libsrtp2_*.dsc)" .dsc)) for ${HOST:-this machine}"
cmake -S "$src" -B "$WORK/build" \
    ${TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"} -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POSITION_INDEPENDENT_CODE=$PIC \
    -DCMAKE_INSTALL_PREFIX="$STAGE" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NSS=OFF \
    -DTEST_APPS=OFF -DBUILD_WITH_WARNINGS=OFF \
    >"$WORK/libsrtp2.log" 2>&1 &&
cmake --build "$WORK/build" -j2 >>"$WORK/libsrtp2.log" 2>&1 &&
cmake --install "$WORK/build" >>"$WORK/libsrtp2.log" 2>&1 ||
    { tail -n 40 "$WORK/libsrtp2.log" >&2; die "libsrtp2 build failed (log: $WORK/libsrtp2.log)"; }

licence_of libsrtp2 libsrtp2-dev
for f in "$STAGE/lib/libsrtp2.a" "$STAGE/include/srtp2/srtp.h"; do
    [ -f "$f" ] || die "$f was not installed"
done
{
    echo "recipe $RECIPE"
    basename "$(ls "$WORK/src/"libsrtp2_*.dsc)" .dsc
    [ -z "$NOTES" ] || echo "${NOTES#?}"
    echo "seconds $(( $(date +%s) - START ))"
} >"$STAGE/$STAMP"
rm -rf "$PREFIX"
mv "$STAGE" "$PREFIX"
rm -rf "$WORK"
say "done in $(( $(date +%s) - START )) s: $PREFIX"
