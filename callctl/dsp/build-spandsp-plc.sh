#!/bin/sh
# build-spandsp-plc.sh PREFIX [TOOLCHAIN_FILE]
#
# Builds spandsp's packet loss concealer (src/plc.c: pitch-period waveform
# repetition with overlap-add, after ITU-T G.711 Appendix I) from Debian's
# spandsp source package as a static library, libspandsp_plc.a, and installs
# it under PREFIX (include/spandsp/plc.h, lib/): for Windows
# (i686-w64-mingw32) with TOOLCHAIN_FILE, for this machine without it. CMake
# runs it while configuring a tree when PREFIX holds no finished build of
# this recipe; by hand it rebuilds.
#
# Only plc.c is compiled: it needs nothing of spandsp beyond a few headers
# (telephony.h, fast_convert.h, saturated.h, floating_fudge.h, plc.h) and the
# C library's maths, so none of the rest of spandsp (and none of its
# dependencies, such as libtiff) is built or linked. The configure results
# plc.c and those headers ask for are given on the command line.
#
# The functions are plain C functions of a static library on both targets:
# telephony.h would declare them __stdcall DLL imports or exports on
# Windows (it looks for _M_IX86, which MinGW's headers define), so it is
# kept out (its include guard defined) and SPAN_DECLARE given here; a
# program declares them the same way (see callctl/codec/plc.cpp).
#
# A sibling of build-libsrtp.sh: its own prefix and stamp, the same source
# cache (PREFIX/../src) and fetching (debian-source.sh). The build goes to
# PREFIX.partial and is moved into place only when complete; a lock keeps
# two configure runs from building at once.
set -eu

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 PREFIX [TOOLCHAIN_FILE]" >&2; exit 2; }
PREFIX=$1
HERE=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 2 ]; then
    HOST=i686-w64-mingw32
    CC=$HOST-gcc-posix
    AR=$HOST-ar
    PIC=""
else
    HOST=""
    CC=cc
    AR=ar
    PIC=-fPIC  # may end up in a shared object natively
fi
SRCDIR=$(dirname "$PREFIX")/src
STAMP=quillon-thirdparty.stamp
# The recipe's identity: this script and the source fetching it uses.
RECIPE=$(cat "$0" "$HERE/debian-source.sh" | sha256sum | cut -c1-16)

say() { echo "build-spandsp-plc: $*" >&2; }
die() { say "$*"; exit 1; }

for tool in "$CC" "$AR" flock sha256sum; do
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

# The version of the installed runtime package when there is one, so both
# trees use the same code.
get_source spandsp libspandsp2

src=$WORK/src/spandsp/src
say "building spandsp's plc.c ($(basename "$(ls "$WORK/src/"spandsp_*.dsc)" .dsc)) for ${HOST:-this machine}"
# What spandsp's configure finds on any C99 system: <math.h> and the float
# functions floating_fudge.h would otherwise define itself. <tgmath.h> stays
# off, so the arithmetic is plain C whatever the compiler.
HAVES="-D_SPANDSP_TELEPHONY_H_ -DHAVE_MATH_H -DHAVE_SINF -DHAVE_COSF -DHAVE_TANF -DHAVE_ASINF -DHAVE_ACOSF -DHAVE_ATANF -DHAVE_ATAN2F \
-DHAVE_CEILF -DHAVE_FLOORF -DHAVE_POWF -DHAVE_EXPF -DHAVE_LOGF -DHAVE_LOG10F"
for f in plc.c floating_fudge.h spandsp/telephony.h spandsp/fast_convert.h spandsp/saturated.h spandsp/plc.h; do
    [ -f "$src/$f" ] || die "$f is not in the source package"
done
mkdir -p "$STAGE/lib" "$STAGE/include/spandsp"
# shellcheck disable=SC2086
"$CC" -O2 $PIC -std=gnu99 "-DSPAN_DECLARE(type)=type" $HAVES -I"$src" -c "$src/plc.c" -o "$WORK/plc.o" >"$WORK/plc.log" 2>&1 &&
"$AR" rcs "$STAGE/lib/libspandsp_plc.a" "$WORK/plc.o" >>"$WORK/plc.log" 2>&1 ||
    { cat "$WORK/plc.log" >&2; die "plc.c did not build (log: $WORK/plc.log)"; }
cp "$src/spandsp/plc.h" "$STAGE/include/spandsp/"

licence_of spandsp libspandsp2
{
    echo "recipe $RECIPE"
    basename "$(ls "$WORK/src/"spandsp_*.dsc)" .dsc
    [ -z "$NOTES" ] || echo "${NOTES#?}"
    echo "seconds $(( $(date +%s) - START ))"
} >"$STAGE/$STAMP"
rm -rf "$PREFIX"
mv "$STAGE" "$PREFIX"
rm -rf "$WORK"
say "done in $(( $(date +%s) - START )) s: $PREFIX"
