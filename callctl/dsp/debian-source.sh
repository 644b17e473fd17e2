# debian-source.sh: fetching and unpacking Debian source packages for the
# scripts that build third-party libraries (sourced, not run).
#
# The caller sets WORK (a scratch directory of this build, with apt/ and
# src/ made here), SRCDIR (the source cache shared by every target) and
# STAGE (the install prefix being built), and defines say and die.
#
#  - The source entries are this machine's own apt entries with their type
#    turned into deb-src, written to a private apt directory under WORK;
#    the system's apt state is not touched.
#  - The versions are those of the installed native -dev packages when the
#    archive still has them, so both trees use the same code.
#  - The downloaded source packages are kept in SRCDIR, so the second
#    target (and any rebuild) works without the network.

mkdir -p "$WORK/apt/sources.list.d" "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial" "$WORK/src"

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
    # what matters is whether the package is found below.
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
# then the Debian part with its patches when it was fetched. NOTES tells
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
             "$WORK/src/$1/LICENSE.txt" "$WORK/src/$1/LICENSE" "$WORK/src/$1/COPYING"; do
        if [ -f "$f" ]; then cp "$f" "$STAGE/share/licenses/$1.copyright"; return 0; fi
    done
    die "no licence file found for $1"
}
