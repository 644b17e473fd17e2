#!/bin/sh
# build-thirdparty.sh PREFIX [TOOLCHAIN_FILE]
#
# Builds static libraries of bcg729 (G.729) and speexdsp (echo canceller,
# preprocessor) from Debian's source packages and installs them under PREFIX
# (include/, lib/): for Windows (i686-w64-mingw32) with TOOLCHAIN_FILE, for
# this machine without it. Both get the same optimisation, so the native
# benchmarks count the code the Windows program runs. Natively they compute
# exactly what Debian's packaged builds compute (G.729 on any target, a test
# checks it), in about 40 % fewer instructions (figures in THIRD_PARTY.md).
# CMake runs it while configuring a tree when PREFIX holds no finished build;
# by hand it rebuilds.
#
#  - The source entries are this machine's own apt entries with their type
#    turned into deb-src, written to a private apt directory beside PREFIX;
#    the system's apt state is not touched.
#  - The versions are those of the installed native -dev packages when the
#    archive still has them, so both trees use the same code.
#  - The downloaded source packages are kept in src/ beside PREFIX, so the
#    second target (and any rebuild) works without the network.
#  - The build goes to PREFIX.partial and is moved into place only when
#    complete; a lock keeps two configure runs from building at once.
set -eu

[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 PREFIX [TOOLCHAIN_FILE]" >&2; exit 2; }
PREFIX=$1
if [ $# -eq 2 ]; then
    TOOLCHAIN=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    HOST=i686-w64-mingw32
    CC=$HOST-gcc-posix
    PIC=OFF
else
    TOOLCHAIN=""
    HOST=""
    CC=cc
    # Position-independent natively, so that the libraries may end up in a
    # shared object (the Windows objects stay as they were: libtool's "PIC"
    # there means DLL exports).
    PIC=ON
fi
SRCDIR=$(dirname "$PREFIX")/src
STAMP=quillon-thirdparty.stamp
# The recipe's identity: a changed script means a rebuild.
RECIPE=$(sha256sum "$0" | cut -c1-16)

say() { echo "build-thirdparty: $*" >&2; }
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

# The source cache is shared by both targets.
mkdir -p "$SRCDIR"
exec 9>"$SRCDIR.lock"
flock 9

START=$(date +%s)
WORK=$PREFIX.work
STAGE=$PREFIX.partial
rm -rf "$WORK" "$STAGE"
mkdir -p "$WORK/apt/sources.list.d" "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial" \
         "$WORK/src" "$STAGE"

# --- source entries derived from the machine's apt configuration -------------
apt_private() {
    apt-get -q \
        -o Dir::Etc::sourcelist="$WORK/apt/derived.list" \
        -o Dir::Etc::sourceparts="$WORK/apt/sources.list.d" \
        -o Dir::State::Lists="$WORK/apt/lists" \
        -o Dir::Cache="$WORK/apt/cache" \
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
        -o APT::Sandbox::User="$(id -un)" \
        "$@"
}

# (set up only when a source package is not in the cache)
APT_READY=no
apt_setup() {
    [ $APT_READY = no ] || return 0
    APT_READY=yes
    for tool in apt-get apt-config; do
        command -v "$tool" >/dev/null 2>&1 || die "$tool is missing (scripts/setup installs it)"
    done
    eval "$(apt-config shell SOURCELIST Dir::Etc::sourcelist/f SOURCEPARTS Dir::Etc::sourceparts/d)"
    : >"$WORK/apt/derived.list"
    for f in "$SOURCELIST" "$SOURCEPARTS"*.list; do
        [ -f "$f" ] || continue
        # one-line style: every "deb ..." line again as "deb-src ..."
        sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f" >>"$WORK/apt/derived.list"
    done
    for f in "$SOURCEPARTS"*.sources; do
        [ -f "$f" ] || continue
        # deb822 style: every stanza's Types becomes deb-src
        sed -E 's/^Types:.*/Types: deb-src/I' "$f" >"$WORK/apt/sources.list.d/$(basename "$f")"
    done
    if [ ! -s "$WORK/apt/derived.list" ] && [ -z "$(ls "$WORK/apt/sources.list.d")" ]; then
        die "no apt source entries found in $SOURCELIST or $SOURCEPARTS"
    fi

    say "reading source indexes"
    # An entry without source indexes (a third-party repository) fails alone;
    # what matters is whether the two packages are found below.
    apt_private update >"$WORK/apt-update.log" 2>&1 || say "apt-get update reported errors (see $WORK/apt-update.log)"
}

# checksum_ok DSC FILE: FILE is in the .dsc's Checksums-Sha256 with its hash.
checksum_ok() {
    want=$(sed -n "/^Checksums-Sha256:/,/^[^ ]/s/^ \([0-9a-f]\{64\}\) [0-9]* $2\$/\1/p" "$1" | head -n1)
    [ -n "$want" ] && [ "$want" = "$(sha256sum "$WORK/src/$2" | cut -d' ' -f1)" ]
}

# get_source SOURCE_PACKAGE NATIVE_DEV_PACKAGE: downloads the source package
# and unpacks it (Debian patches applied) to $WORK/src/SOURCE_PACKAGE.
# dpkg-source unpacks it when the download is complete and dpkg-dev is
# installed. Otherwise the files are checked against the .dsc (which apt
# checked against the signed index) and unpacked here: the upstream tarball,
# then the Debian part with its patches when it was fetched. The stamp notes
# when the Debian part could not be fetched.
NOTES=""
get_source() {
    ver=$(dpkg-query -W -f='${source:Version}' "$2" 2>/dev/null || true)
    ok=no
    cached=$(ls "$SRCDIR/$1_${ver:-}"*.dsc 2>/dev/null | head -n1)
    if [ -n "$cached" ]; then
        say "$1: source from $SRCDIR"
        cp "$cached" "$WORK/src/"
        ok=yes
        for f in $(sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ [0-9a-f]\{64\} [0-9]* //p' "$cached"); do
            if [ -f "$SRCDIR/$f" ]; then cp "$SRCDIR/$f" "$WORK/src/"; else ok=no; fi
        done
    else
        apt_setup
        for want in ${ver:+"$1=$ver"} "$1"; do
            for try in 1 2; do
                if (cd "$WORK/src" && apt_private source --download-only "$want") >>"$WORK/apt-source.log" 2>&1; then
                    ok=yes; break 2
                fi
                sleep "$try"
            done
        done
    fi
    dsc=$(ls "$WORK/src/$1"_*.dsc 2>/dev/null | head -n1)
    [ -n "$dsc" ] || { cat "$WORK/apt-source.log" >&2; die "apt-get source $1 failed"; }
    for f in "$WORK/src/$1"_*; do
        if [ -f "$f" ]; then cp "$f" "$SRCDIR/"; fi
    done
    if [ $ok = yes ] && command -v dpkg-source >/dev/null 2>&1; then
        (cd "$WORK/src" && dpkg-source -q -x "$dsc" "$1") >>"$WORK/unpack.log" 2>&1 ||
            { cat "$WORK/unpack.log" >&2; die "dpkg-source -x $dsc failed"; }
        return 0
    fi
    orig="" deb=""
    for f in $(sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ [0-9a-f]\{64\} [0-9]* //p' "$dsc"); do
        case $f in
            *.orig.tar.*.asc) ;;
            *.orig.tar.*) orig=$f ;;
            *.debian.tar.*) deb=$f ;;
        esac
    done
    [ -n "$orig" ] && [ -f "$WORK/src/$orig" ] || { cat "$WORK/apt-source.log" >&2 2>/dev/null; die "apt-get source $1 failed"; }
    checksum_ok "$dsc" "$orig" || die "$orig does not match its checksum in $(basename "$dsc")"
    mkdir -p "$WORK/src/$1"
    tar -xf "$WORK/src/$orig" -C "$WORK/src/$1" --strip-components=1
    if [ -n "$deb" ] && [ -f "$WORK/src/$deb" ]; then
        checksum_ok "$dsc" "$deb" || die "$deb does not match its checksum in $(basename "$dsc")"
        tar -xf "$WORK/src/$deb" -C "$WORK/src/$1"
        series="$WORK/src/$1/debian/patches/series"
        if [ -s "$series" ]; then
            command -v patch >/dev/null 2>&1 || die "$1 has Debian patches: install dpkg-dev or patch"
            sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$series" | while read -r p rest; do
                patch -d "$WORK/src/$1" -p1 -s <"$WORK/src/$1/debian/patches/$p" ||
                    die "Debian patch $p of $1 does not apply"
            done
        fi
    else
        say "$1: the Debian part could not be fetched; using the verified upstream tarball $orig"
        NOTES="$NOTES
note $1: upstream tarball only ($orig), Debian part not fetched"
    fi
}

# licence_of SOURCE_PACKAGE NATIVE_DEV_PACKAGE: Debian's copyright file of the
# source, or of the installed package, or the upstream licence file.
licence_of() {
    mkdir -p "$STAGE/share/licenses"
    for f in "$WORK/src/$1/debian/copyright" "/usr/share/doc/$2/copyright" \
             "$WORK/src/$1/LICENSE.txt" "$WORK/src/$1/COPYING"; do
        if [ -f "$f" ]; then cp "$f" "$STAGE/share/licenses/$1.copyright"; return 0; fi
    done
    die "no licence file found for $1"
}

get_source bcg729 libbcg729-dev
get_source speexdsp libspeexdsp-dev

# Both libraries spend their time in short loops of fixed trip counts
# (correlations over a 40-sample subframe, spectra of 160 bins); unrolled,
# the G.729 encoder runs about 4 % fewer instructions, the echo canceller and
# preprocessor about 8 % fewer, computing exactly the same.
UNROLL=-funroll-loops

# --- bcg729: its own CMake, static only --------------------------------------
src=$WORK/src/bcg729
say "building bcg729 ($(basename "$(ls "$WORK/src/"bcg729_*.dsc)" .dsc)) for ${HOST:-this machine}"
cmake -S "$src" -B "$WORK/build-bcg729" \
    ${TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"} -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=$UNROLL \
    -DCMAKE_POSITION_INDEPENDENT_CODE=$PIC \
    -DCMAKE_INSTALL_PREFIX="$STAGE" -DCMAKE_INSTALL_LIBDIR=lib \
    -DENABLE_SHARED=NO -DENABLE_STATIC=YES -DENABLE_TESTS=NO \
    >"$WORK/bcg729.log" 2>&1 &&
cmake --build "$WORK/build-bcg729" -j2 >>"$WORK/bcg729.log" 2>&1 &&
cmake --install "$WORK/build-bcg729" >>"$WORK/bcg729.log" 2>&1 ||
    { tail -n 40 "$WORK/bcg729.log" >&2; die "bcg729 build failed (log: $WORK/bcg729.log)"; }

# --- speexdsp: autoconf, static only, floating point (the AGC needs it) ------
# Single-precision float in SSE registers, as the native x86-64 build computes it,
# rather than in the x87 unit with its wider intermediates; with speexdsp's SSE code
# paths on (its configure then compiles with -O3). Every processor the supported
# Windows versions run on has SSE. Other native processors get the plain build.
src=$WORK/src/speexdsp
say "building speexdsp ($(basename "$(ls "$WORK/src/"speexdsp_*.dsc)" .dsc)) for ${HOST:-this machine}"
case ${HOST:-$(uname -m)} in
    i686-*|x86_64|i?86) SIMD="--enable-sse" SIMD_CFLAGS="-msse -mfpmath=sse" ;;
    *) SIMD="" SIMD_CFLAGS="" ;;
esac
(
    cd "$src"
    [ -x configure ] || autoreconf -fi
    ./configure ${HOST:+--host=$HOST} --prefix="$STAGE" --disable-shared --enable-static $([ $PIC = OFF ] || echo --with-pic) \
        --disable-examples $SIMD CC="$CC" ${HOST:+AR=$HOST-ar RANLIB=$HOST-ranlib} \
        CFLAGS="-O2 $SIMD_CFLAGS $UNROLL"
    make -j2
    make install
) >"$WORK/speexdsp.log" 2>&1 ||
    { tail -n 40 "$WORK/speexdsp.log" >&2; die "speexdsp build failed (log: $WORK/speexdsp.log)"; }

# --- licences and versions, then into place ----------------------------------
licence_of bcg729 libbcg729-dev
licence_of speexdsp libspeexdsp-dev
for lib in "$STAGE/lib/libbcg729.a" "$STAGE/lib/libspeexdsp.a" \
           "$STAGE/include/bcg729/encoder.h" "$STAGE/include/speex/speex_echo.h"; do
    [ -f "$lib" ] || die "$lib was not installed"
done
{
    echo "recipe $RECIPE"
    for p in bcg729 speexdsp; do basename "$(ls "$WORK/src/${p}"_*.dsc)" .dsc; done
    [ -z "$NOTES" ] || echo "${NOTES#?}"
    echo "seconds $(( $(date +%s) - START ))"
} >"$STAGE/$STAMP"
rm -rf "$PREFIX"
mv "$STAGE" "$PREFIX"
rm -rf "$WORK"
say "done in $(( $(date +%s) - START )) s: $PREFIX"
