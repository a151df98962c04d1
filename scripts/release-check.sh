#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# release-check.sh - what a maintainer runs before tagging a release.
#
#   sudo scripts/release-check.sh [CMAKE_OPTION...]
#   e.g. sudo scripts/release-check.sh -DTSL_PACKAGE_CONTACT="Jane Doe <jane@example.org>"
#
# From the committed tree (HEAD, exported into a temporary folder) it checks
# that every source file carries the licence line and that the version
# agrees everywhere, builds both Debian packages, runs lintian on them,
# installs them with dpkg -i in a fresh minimal Debian root made with
# debootstrap, runs each program briefly there, and removes them again.
# Where no fresh root can be made it says why and uses this machine instead,
# as the install tests do.  Every step runs (unless it needs the packages and
# the build failed); the summary lists those that failed.  The checked
# packages are left in build-release/.  Needs root; installs what it needs.
# Exit status: 0 when every step passed, 1 otherwise.
set -uo pipefail
umask 022
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

readonly RUNTIME=tamsel-suite DEV=libtamsel-dev
readonly OUT=$here/build-release

[[ $(id -u) -eq 0 ]] || { echo "release-check: needs root (debootstrap, chroot, dpkg -i)" >&2; exit 1; }

packages=(git cmake g++ make dpkg-dev lintian debootstrap libcap2-bin)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
        { echo "release-check: could not install ${missing[*]}" >&2; exit 1; }
fi

work=$(mktemp -d /tmp/tsl-release.XXXXXX) || exit 1
src=$work/src
root=$work/root
on_host=""
cleanup() {
    # Packages put on this machine (no fresh root) by a run that stopped early.
    [[ -n $on_host ]] && dpkg --purge "$RUNTIME" "$DEV" >/dev/null 2>&1
    # Nothing is mounted in the root; refuse to delete through a mount all the same.
    if grep -q " $work/" /proc/mounts; then
        echo "release-check: something is mounted below $work; left in place" >&2
    else
        rm -rf --one-file-system "$work"
    fi
}
trap cleanup EXIT

passed=()
failed=()
step=""
begin() { step=$1; echo; echo "== $1"; }
ok() { echo "ok: $*"; passed+=("$step"); }
bad() { echo "FAILED: $*"; failed+=("$step"); }

# ---------------------------------------------------------------- the tree

begin "committed tree"
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    git status --short --untracked-files=no
    bad "uncommitted changes: they are not in HEAD, which is what gets checked and tagged"
else
    ok "HEAD $(git rev-parse --short HEAD), no uncommitted changes"
fi
mkdir -p "$src" && git archive HEAD | tar -x -C "$src" || { echo "release-check: git archive HEAD failed" >&2; exit 1; }

begin "licence"
# C, C++, headers, shell (by name or by a shell's #! line), CMake, man pages.
unlabelled=()
while IFS= read -r f; do
    case $f in
    *.c | *.cc | *.cpp | *.h | *.hpp | *.sh | CMakeLists.txt | */CMakeLists.txt | *.cmake | *.cmake.in | man/*.[1-9]) ;;
    *) head -n 1 "$src/$f" | grep -qaE '^#!.*[/ ](ba|da)?sh( |$)' || continue ;;
    esac
    grep -q 'SPDX-License-Identifier: MIT' "$src/$f" || unlabelled+=("$f")
done < <(cd "$src" && find . -type f | sed 's|^\./||' | sort)
if [[ ! -f $src/LICENSE ]]; then
    bad "no LICENSE"
elif [[ ${#unlabelled[@]} -gt 0 ]]; then
    printf '  %s\n' "${unlabelled[@]}"
    bad "${#unlabelled[@]} source files lack an 'SPDX-License-Identifier: MIT' line"
else
    ok "LICENSE present, every source file carries the MIT licence line"
fi

begin "version"
version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
changelog=$(sed -n '1s/^tamsel-suite (\([^)]*\)).*/\1/p' "$src/packaging/debian/changelog")
problems=()
[[ -n $version ]] || problems+=("no VERSION in project() of CMakeLists.txt")
[[ $changelog == "$version" ]] || problems+=("packaging/debian/changelog starts with '$changelog', not $version")
for page in "$src"/man/*.[1-9]; do
    grep -q '^\.so ' "$page" && continue
    grep -q "^\.TH .*\"tamsel suite $version\"" "$page" || problems+=("${page#"$src/"}: .TH does not name tamsel suite $version")
done
if git rev-parse -q --verify "refs/tags/v$version" >/dev/null; then
    problems+=("tag v$version exists already")
fi
if [[ ${#problems[@]} -gt 0 ]]; then
    printf '  %s\n' "${problems[@]}"
    bad "version $version is not the same everywhere"
else
    ok "$version in CMakeLists.txt, the changelog and the man pages; not tagged yet"
fi

# ---------------------------------------------------------------- packages

runtime="" dev=""
begin "packages"
build=$work/build
# Debian's compiler and linker flags for packages, hardening included; CMake
# reads CFLAGS, CXXFLAGS and LDFLAGS, so the preprocessor's go with both.
buildflags() { (cd "$src" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }
cppflags=$(buildflags CPPFLAGS)
if CFLAGS="$cppflags $(buildflags CFLAGS)" CXXFLAGS="$cppflags $(buildflags CXXFLAGS)" LDFLAGS=$(buildflags LDFLAGS) \
   cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSL_BUILD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr "$@" >"$work/configure.log" 2>&1 &&
    cmake --build "$build" -j2 >"$work/build.log" 2>&1 &&
    (cd "$build" && cpack -G DEB -B "$work/debs") >"$work/cpack.log" 2>&1; then
    grep -A3 'CMake Warning' "$work/configure.log"
    rm -rf "$OUT" && mkdir -p "$OUT" && cp "$work"/debs/*.deb "$OUT"/
    runtime=$(ls "$OUT/${RUNTIME}"_*.deb 2>/dev/null)
    dev=$(ls "$OUT/${DEV}"_*.deb 2>/dev/null)
    if [[ -f $runtime && -f $dev ]]; then
        ok "$(cd "$OUT" && echo *.deb) in $OUT"
    else
        bad "cpack made $(ls "$work/debs")"
    fi
else
    tail -30 "$work"/*.log
    bad "configure, build or cpack failed (logs above)"
fi

have_packages() {
    [[ -f $runtime && -f $dev ]] && return 0
    bad "not run: no packages"
    return 1
}

begin "lintian"
if have_packages; then
    # Informational tags are shown, but only errors and warnings fail.
    if lintian --info --fail-on error,warning "$runtime" "$dev" >"$work/lintian.log" 2>&1; then
        grep -v 'root privileges' "$work/lintian.log"
        ok "no errors, no warnings that are not overridden"
    else
        cat "$work/lintian.log"
        bad "lintian"
    fi
fi

# ---------------------------------------------------------------- fresh root

# The Debian release and mirror of this machine's apt sources.
apt_mirror() {
    local uri
    uri=$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
          grep -oE 'https?://[^ ]*/debian/?( |$)' | head -1 | tr -d ' ')
    echo "${uri:-http://deb.debian.org/debian}"
}

# in_root CMD...: CMD in the fresh root, or on this machine when there is none.
in_root() {
    if [[ -n $root_ok ]]; then
        chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"
    else
        "$@"
    fi
}

root_ok=""
begin "fresh root"
if have_packages; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    mirror=$(apt_mirror)
    if [[ -n $codename ]] &&
       debootstrap --variant=minbase "$codename" "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
        root_ok=yes
        ok "minimal $codename root from $mirror"
    else
        tail -5 "$work/debootstrap.log" 2>/dev/null
        echo "No fresh root could be made (debootstrap ${codename:-?} from $mirror failed, log above):"
        echo "installing on this machine instead, as the install tests do."
        for p in "$RUNTIME" "$DEV"; do
            if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
                bad "$p is installed on this machine already; not replacing it"
                runtime="" dev=""
            fi
        done
        [[ -n $runtime ]] && ok "no fresh root: this machine instead (see above)"
    fi
fi

begin "install"
installed=""
if have_packages; then
    debs=$OUT
    if [[ -n $root_ok ]]; then
        cp "$runtime" "$dev" "$root/tmp/" && debs=/tmp
    fi
    # What dpkg -i needs first: the packages' dependencies, and the
    # recommended setcap so that the post-install step can grant the capability.
    needs="$(dpkg-deb -f "$runtime" Depends), $(dpkg-deb -f "$dev" Depends), $(dpkg-deb -f "$runtime" Recommends)"
    if ! { [[ -z $root_ok ]] || in_root apt-get update -qq >"$work/apt.log" 2>&1; } ||
       ! in_root env DEBIAN_FRONTEND=noninteractive apt-get satisfy -y -qq --no-install-recommends "$needs" >>"$work/apt.log" 2>&1; then
        tail -20 "$work/apt.log"
        bad "could not install the dependencies: $needs"
    elif in_root dpkg -i "$debs/${runtime##*/}" "$debs/${dev##*/}" >"$work/dpkg.log" 2>&1; then
        installed=yes
        [[ -n $root_ok ]] || on_host=yes
        grep "$RUNTIME:" "$work/dpkg.log" # what the post-install step had to say
        ok "dpkg -i ${runtime##*/} ${dev##*/}"
    else
        cat "$work/dpkg.log"
        bad "dpkg -i"
    fi
fi

# run_program NAME EXPECTED_STATUS PATTERN ARGS...: runs the installed program,
# and checks its exit status and that its output has a line matching PATTERN.
run_program() {
    local name=$1 expect=$2 pattern=$3 status
    shift 3
    begin "$name${*:+ $*}"
    if [[ -z $installed ]]; then
        bad "not run: the packages are not installed"
        return
    fi
    in_root timeout 30 "/usr/bin/$name" "$@" >"$work/prog.log" 2>&1
    status=$?
    sed 's/^/  | /' "$work/prog.log" | head -8
    if [[ $status -ne $expect ]]; then
        bad "status $status, expected $expect"
    elif ! grep -qE "$pattern" "$work/prog.log"; then
        bad "no line matching '$pattern'"
    else
        ok "status $status"
    fi
}
run_program vennic 1 '^Usage: vennic '
run_program availbw 0 "${version//./\\.}" --version
run_program ovintra_selftest 0 '^tester: peak is 10 found in 3 sets$'

begin "capability"
if [[ -z $installed ]]; then
    bad "not run: the packages are not installed"
else
    caps=$(in_root getcap /usr/bin/vennic /usr/bin/dorral /usr/bin/availbw 2>&1)
    echo "$caps" | sed 's/^/  | /'
    lacking=()
    for name in vennic dorral availbw; do
        grep -q "^/usr/bin/$name cap_net_raw=ep" <<<"$caps" || lacking+=("$name")
    done
    if [[ ${#lacking[@]} -gt 0 ]]; then
        bad "no cap_net_raw=ep on ${lacking[*]}"
    else
        ok "the raw-socket programs have cap_net_raw=ep"
    fi
fi

begin "removal"
if [[ -z $installed ]]; then
    bad "not run: the packages are not installed"
elif ! in_root dpkg --purge "$RUNTIME" "$DEV" >"$work/purge.log" 2>&1; then
    cat "$work/purge.log"
    bad "dpkg --purge"
else
    left=$(in_root sh -c "ls -d /usr/bin/vennic /usr/include/brevane.h /usr/share/doc/$RUNTIME /usr/share/doc/$DEV 2>/dev/null")
    if [[ -n $left ]]; then
        bad "left after dpkg --purge: $left"
    else
        ok "dpkg --purge $RUNTIME $DEV left nothing behind"
    fi
    on_host=""
fi

# ---------------------------------------------------------------- summary

echo
if [[ ${#failed[@]} -eq 0 ]]; then
    echo "release check passed (${#passed[@]} steps); tag with: git tag -a v$version -m 'tamsel suite $version'"
    exit 0
fi
echo "release check FAILED (${#passed[@]} steps passed, ${#failed[@]} failed):"
printf '  %s\n' "${failed[@]}"
exit 1
