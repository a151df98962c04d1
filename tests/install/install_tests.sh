#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# install_tests.sh - the suite as it is installed: one plain build installed
# into a temporary prefix (setup), then checks against that copy.
#
#   install_tests.sh setup|layout|pkgconfig|find_package|manpages|setcap|postinst|package|deb|cleanup
#   install_tests.sh examples DIR    the example programs built in DIR (no fixture)
#
# Environment (set by tests/install/CMakeLists.txt):
#   TSL_SOURCE_DIR  the project's source tree
#   TSL_WORK        work directory under /tmp: build/, prefix/, and the rest
#   TSL_CC TSL_CXX TSL_GENERATOR   compilers and generator of the outer build
#   TSL_UNPRIVILEGED=1  the unprivileged subset: a check that cannot run here
#                   (no root, a tool missing) is skipped; otherwise it fails
# Exit status: 0 passed, 1 failed, 77 skipped (with the reason on stdout).
set -u
umask 022

readonly SRC=${TSL_SOURCE_DIR:?}
readonly WORK=${TSL_WORK:?}
readonly BUILD=$WORK/build
readonly PREFIX=$WORK/prefix
readonly PACKAGE=tamsel-suite
readonly DEV_PACKAGE=libtamsel-dev
readonly PKGDIR=$WORK/pkg
# Beside the work folder, not in it: a run killed while the packages were in
# /usr leaves them, and the next run's setup, which empties the work folder,
# still knows that they are ours to remove.
readonly DEB_MARKER=$WORK.deb-installed
readonly NOBODY=(setpriv --reuid=65534 --regid=65534 --clear-groups)
# Where the checks of the example programs keep their output.
SCRATCH=$WORK

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() {
    [[ ${TSL_UNPRIVILEGED:-} == 1 ]] || fail "cannot run: $* (TSL_UNPRIVILEGED=1 leaves it out)"
    echo "SKIP: $*"
    exit 77
}
note() { echo "-- $*"; }
is_root() { [[ $(id -u) -eq 0 ]]; }
need_root() { is_root || skip "needs root ($1)"; }
need_tool() { command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"; }

# run OUT ERR CMD...: runs CMD with stdout and stderr into files, returns its status.
run() {
    local out=$1 err=$2
    shift 2
    "$@" >"$out" 2>"$err"
}

# The directory that holds an installed file (lib or lib64 or a multiarch dir).
libdir_of() {
    local file
    file=$(find "$1" -name libbrevane.a -print -quit)
    [[ -n $file ]] || fail "no libbrevane.a below $1"
    dirname "$file"
}

configure() {  # extra cache settings for the shared plain build
    cmake -S "$SRC" -B "$BUILD" -G "$TSL_GENERATOR" \
        -DCMAKE_C_COMPILER="$TSL_CC" -DCMAKE_CXX_COMPILER="$TSL_CXX" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSL_BUILD_TESTS=OFF -DTSL_SANITIZE=OFF \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" "$@" >"$WORK/configure.log" 2>&1 ||
        { cat "$WORK/configure.log" >&2; fail "configure $*"; }
}

case ${1:-} in
setup | cleanup | examples) ;;
*) [[ -d $WORK/prefix ]] || fail "no $WORK/prefix: the setup test did not run" ;;
esac

# ---------------------------------------------------------------- fixture

# Removes the packages that a killed deb test left installed; the marker
# stays until that succeeds.
remove_left_packages() {
    [[ -e $DEB_MARKER ]] && is_root || return 0
    if dpkg -r "$PACKAGE" "$DEV_PACKAGE" >/dev/null 2>&1; then
        rm -f "$DEB_MARKER"
    else
        echo "dpkg -r $PACKAGE $DEV_PACKAGE failed" >&2
    fi
}

cmd_setup() {
    remove_left_packages
    rm -rf "$WORK"
    mkdir -p "$WORK" && chmod 755 "$WORK" || fail "cannot make $WORK"
    configure -DTSL_SETCAP=OFF
    cmake --build "$BUILD" -j2 >"$WORK/build.log" 2>&1 || { tail -50 "$WORK/build.log" >&2; fail "build"; }
    cmake --install "$BUILD" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log" >&2; fail "install"; }
    # Later installs from the same build (other prefixes) rewrite the manifest.
    cp "$BUILD/install_manifest.txt" "$WORK/prefix-manifest.txt"
    note "installed into $PREFIX"
}

cmd_cleanup() {
    remove_left_packages
    rm -rf "$WORK"
}

# ---------------------------------------------------------------- layout

cmd_layout() {
    local libdir f
    libdir=$(libdir_of "$PREFIX")
    for f in bin/vennic bin/dorral bin/spindrel bin/ovintra_selftest bin/availbw; do
        [[ -x $PREFIX/$f ]] || fail "program $f not installed"
    done
    for f in libtamselGuts.a libbrevane.a libovintra.a libavailest.a pkgconfig/tamselGuts.pc pkgconfig/brevane.pc \
             pkgconfig/ovintra.pc pkgconfig/availest.pc cmake/tamsel/tamselConfig.cmake cmake/tamsel/tamselConfigVersion.cmake \
             cmake/tamsel/tamselTargets.cmake; do
        [[ -f $libdir/$f ]] || fail "$f not installed in $libdir"
    done
    for f in include/tamsel.h include/tamsel_stream.h include/brevane.h include/ovintra.h include/availest.h \
             share/man/man1/vennic.1 share/man/man1/availbw.1 \
             share/man/man1/dorral.1 share/man/man1/spindrel.1 share/man/man3/tamsel.3 \
             share/man/man3/brevane.3 share/man/man3/ovintra.3 \
             share/doc/tamsel-suite/examples/CMakeLists.txt; do
        [[ -f $PREFIX/$f ]] || fail "$f not installed"
    done
    # Every installed file is in the manifest, the generated pkg-config files included.
    grep -qx "$libdir/pkgconfig/brevane.pc" "$WORK/prefix-manifest.txt" ||
        fail "install_manifest.txt lacks brevane.pc"
    # Without TSL_SETCAP no capability is granted.
    if command -v getcap >/dev/null 2>&1; then
        [[ -z $(getcap "$PREFIX/bin/vennic" "$PREFIX/bin/dorral") ]] || fail "capability granted with TSL_SETCAP=OFF"
    fi
    run "$WORK/selftest.out" "$WORK/selftest.err" "$PREFIX/bin/ovintra_selftest" || fail "ovintra_selftest status $?"
    grep -qx 'tester: peak is 10 found in 3 sets' "$WORK/selftest.out" || fail "ovintra_selftest output"
    note "layout complete"
}

# ---------------------------------------------------------------- examples

# Checks the two example programs in DIR (built somehow against the prefix).
check_examples() {
    local dir=$1 out=$SCRATCH/ex.out err=$SCRATCH/ex.err status
    run "$out" "$err" "$dir/estimate_peak" || { status=$?; head -20 "$err" >&2; fail "$dir/estimate_peak status $status"; }
    diff -u - "$out" <<'EOF' || fail "$dir/estimate_peak output"
9 estimates in 4 intervals
peak: 6 estimates from 2 series agree on 44.46 .. 52.60 Mbit/s
EOF
    run "$out" "$err" "$dir/available_bandwidth"
    status=$?
    [[ $status -eq 1 ]] || fail "available_bandwidth without a host: status $status"
    grep -q '^Usage: ' "$err" || fail "available_bandwidth without a host: no usage text"
    is_root || skip "not root: available_bandwidth 127.0.0.1 not run"
    check_bandwidth_example "$dir/available_bandwidth"
}

# The brevane example against loopback: the library's report, then its own
# line with the figure that vennic() returned.
check_bandwidth_example() {
    local prog=$1 out=$SCRATCH/ab.out err=$SCRATCH/ab.err status result last
    run "$out" "$err" timeout 60 "$prog" 127.0.0.1
    status=$?
    result=$(sed -n 's/^vennic: probeLoop result=//p' "$out")
    last=$(tail -1 "$out")
    [[ -n $result ]] || fail "$prog 127.0.0.1: no result line (status $status)"
    case $status in
    0) [[ $last =~ ^"available bandwidth to 127.0.0.1: "([0-9.]+)" Mbit/s"$ ]] || fail "$prog: last line '$last'"
       awk -v r="$result" -v m="${BASH_REMATCH[1]}" 'BEGIN { exit !(r > 0 && (r / 1e6 - m) ^ 2 < 1e-3) }' ||
           fail "$prog: $last does not match the library's result $result" ;;
    2) [[ $last == *"no estimate"* && $result == 0.000000 ]] || fail "$prog: status 2 with '$last'" ;;
    *) fail "$prog 127.0.0.1: status $status: $(cat "$err")" ;;
    esac
    note "$prog 127.0.0.1: $last"
}

# The examples of the normal build (in CI, the sanitized one).
cmd_examples() {
    local dir=${1:?}
    SCRATCH=$(mktemp -d) || fail "mktemp"
    trap 'rm -rf "$SCRATCH"' EXIT
    check_examples "$dir"
}

cmd_pkgconfig() {
    need_tool pkg-config
    local libdir dir=$WORK/ex-pkgconfig cflags libs
    libdir=$(libdir_of "$PREFIX")
    export PKG_CONFIG_PATH=$libdir/pkgconfig
    [[ $(pkg-config --variable=prefix brevane) == "$PREFIX" ]] || fail "brevane.pc prefix is not $PREFIX"
    [[ $(pkg-config --modversion tamselGuts) == $(pkg-config --modversion brevane) ]] || fail "versions differ"
    # brevane brings tamselGuts and what its C++ objects need.
    libs=$(pkg-config --libs brevane)
    [[ $libs == *-lbrevane*-ltamselGuts* ]] || fail "pkg-config --libs brevane: $libs"
    rm -rf "$dir" && mkdir -p "$dir"
    # Plain compiler calls, as a Makefile would make them; the C example is
    # linked by the C driver, so a missing C++ runtime would show here.
    cflags=$(pkg-config --cflags brevane)
    "$TSL_CC" -Wall -Wextra -Werror -o "$dir/available_bandwidth" "$PREFIX/share/doc/tamsel-suite/examples/available_bandwidth.c" \
        $cflags $libs || fail "cc available_bandwidth.c with pkg-config brevane"
    "$TSL_CXX" -std=c++17 -Wall -Wextra -Werror -o "$dir/estimate_peak" "$PREFIX/share/doc/tamsel-suite/examples/estimate_peak.cpp" \
        $(pkg-config --cflags --libs ovintra) || fail "c++ estimate_peak.cpp with pkg-config ovintra"
    check_examples "$dir"
}

cmd_find_package() {
    local dir=$WORK/ex-cmake conly=$WORK/ex-conly
    rm -rf "$dir" "$conly"
    # The examples as installed, with their own CMakeLists.
    cmake -S "$PREFIX/share/doc/tamsel-suite/examples" -B "$dir" -G "$TSL_GENERATOR" \
        -DCMAKE_C_COMPILER="$TSL_CC" -DCMAKE_CXX_COMPILER="$TSL_CXX" \
        -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/ex-cmake.log" 2>&1 || { cat "$WORK/ex-cmake.log" >&2; fail "configure examples"; }
    grep -q "tamsel_DIR:PATH=$PREFIX/" "$dir/CMakeCache.txt" || fail "find_package(tamsel) did not find $PREFIX"
    cmake --build "$dir" >>"$WORK/ex-cmake.log" 2>&1 || { cat "$WORK/ex-cmake.log" >&2; fail "build examples"; }
    check_examples "$dir"

    # A C-only project: the imported engine must still bring the C++ runtime.
    mkdir -p "$conly"
    cat >"$conly/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(conly LANGUAGES C)
find_package(tamsel REQUIRED COMPONENTS brevane)
add_executable(available_bandwidth "$PREFIX/share/doc/tamsel-suite/examples/available_bandwidth.c")
target_link_libraries(available_bandwidth PRIVATE tamsel::brevane)
EOF
    cmake -S "$conly" -B "$conly/build" -G "$TSL_GENERATOR" -DCMAKE_C_COMPILER="$TSL_CC" \
        -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/ex-conly.log" 2>&1 &&
        cmake --build "$conly/build" >>"$WORK/ex-conly.log" 2>&1 || { cat "$WORK/ex-conly.log" >&2; fail "C-only project"; }
    # A component that does not exist is refused.
    cat >"$conly/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(nocomp LANGUAGES C CXX)
find_package(tamsel REQUIRED COMPONENTS nosuchlib)
EOF
    if cmake -S "$conly" -B "$conly/build2" -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/ex-nocomp.log" 2>&1; then
        fail "find_package(tamsel COMPONENTS nosuchlib) succeeded"
    fi
}

# ---------------------------------------------------------------- man pages

cmd_manpages() {
    need_tool groff
    need_tool man
    local page err=$WORK/man.err out=$WORK/man.out dir=$WORK/man-example
    for page in "$SRC"/man/*.[0-9]; do
        grep -q '^\.so ' "$page" && continue
        groff -man -Tutf8 -ww "$page" >"$out" 2>"$err" || fail "groff $page: status $?"
        [[ -s $err ]] && { cat "$err" >&2; fail "groff warns about $page"; }
        [[ -s $out ]] || fail "groff rendered nothing of $page"
    done
    # The installed pages, the .so links to tamsel(3) included.
    cd "$PREFIX/share/man" || fail "no installed man pages"
    for page in man1/*.1 man3/*.3; do
        MANWIDTH=80 man --warnings -l "$page" >"$out" 2>"$err" || fail "man -l $page: status $?"
        [[ -s $err ]] && { cat "$err" >&2; fail "man warns about $page"; }
        grep -q '^NAME' "$out" || fail "man -l $page has no NAME section"
    done
    # The example program of tamsel(3), copied from the rendered page as a
    # reader would, builds against the installed libraries.
    need_tool pkg-config
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(libdir_of "$PREFIX")/pkgconfig
    rm -rf "$dir" && mkdir -p "$dir"
    MANWIDTH=120 man -l man3/tamsel.3 2>/dev/null | col -b |
        awk '/\/\* trainpeak:/ { on = 1 } on && /^ *Built/ { exit } on { print }' >"$dir/trainpeak.c"
    grep -q 'int main' "$dir/trainpeak.c" || fail "no example program found in tamsel(3)"
    "$TSL_CC" -std=c99 -Wall -Wextra -Werror -o "$dir/trainpeak" "$dir/trainpeak.c" \
        $(pkg-config --cflags --libs brevane ovintra) 2>"$err" || { cat "$err" >&2; fail "the example of tamsel(3) does not build"; }
    is_root || skip "not root: the example of tamsel(3) not run"
    run "$out" "$err" timeout 60 "$dir/trainpeak" 127.0.0.1
    local status=$? last
    last=$(tail -1 "$out")
    [[ ($status -eq 0 && $last =~ ^[1-5]" of "[1-5]" estimates agree on "[0-9]+" to "[0-9]+" bit/s"$) ||
       ($status -eq 2 && $last == "no train gave an estimate") ]] || fail "trainpeak: status $status, '$last'"
    note "trainpeak 127.0.0.1: $last"
}

# ---------------------------------------------------------------- capability

# vennic 127.0.0.1 as nobody; on success prints the estimate.  A loopback run
# can lose every pass to replies stamped in the same microsecond, so a zero
# estimate is tried again.
nobody_estimate() {
    local prog=$1 try out=$WORK/cap.out err=$WORK/cap.err status value
    for try in 1 2 3; do
        run "$out" "$err" timeout 60 "${NOBODY[@]}" "$prog" 127.0.0.1
        status=$?
        [[ $status -eq 0 ]] || { cat "$err" >&2; fail "$prog as nobody: status $status"; }
        value=$(sed -n 's/^Available Bandwidth: //p' "$out")
        [[ -n $value ]] || fail "$prog as nobody: no Available Bandwidth line"
        awk -v v="$value" 'BEGIN { exit !(v > 0) }' && { echo "$value"; return; }
    done
    fail "$prog as nobody: estimate 0 in three runs"
}

cmd_setcap() {
    need_root "setcap and setpriv"
    need_tool setcap
    need_tool getcap
    need_tool setpriv
    local capprefix=$WORK/capprefix out=$WORK/cap.out err=$WORK/cap.err status prog setcap_path
    setcap_path=$(command -v setcap)

    # Without the capability an ordinary user gets "tsl: socket: REASON" and status 5.
    for prog in vennic dorral; do
        run "$out" "$err" timeout 60 "${NOBODY[@]}" "$PREFIX/bin/$prog" 127.0.0.1
        status=$?
        [[ $status -eq 5 ]] || fail "$prog as nobody without capability: status $status"
        [[ $(cat "$err") == "tsl: socket: Operation not permitted" ]] || fail "$prog as nobody: stderr '$(cat "$err")'"
    done

    # TSL_SETCAP=ON: the raw-socket programs get cap_net_raw=ep on install.
    configure -DTSL_SETCAP=ON -DTSL_SETCAP_PROGRAM="$setcap_path"
    rm -rf "$capprefix"
    cmake --install "$BUILD" --prefix "$capprefix" >"$out" 2>&1 || { cat "$out" >&2; fail "install with TSL_SETCAP=ON"; }
    for prog in vennic dorral; do
        [[ $(getcap "$capprefix/bin/$prog") == *cap_net_raw=ep* ]] || fail "$prog: no cap_net_raw=ep after install"
    done
    [[ -z $(getcap "$capprefix/bin/spindrel") ]] || fail "spindrel got a capability"
    note "vennic as nobody: $(nobody_estimate "$capprefix/bin/vennic")"
    run "$out" "$err" timeout 60 "${NOBODY[@]}" "$capprefix/bin/dorral" 127.0.0.1
    status=$?
    [[ $status -eq 0 ]] && grep -q '^dorral: probing result=' "$out" || fail "dorral as nobody with capability: status $status"

    # Under DESTDIR the grant is left to the package.
    rm -rf "$WORK/stage"
    DESTDIR=$WORK/stage cmake --install "$BUILD" --prefix /opt/tsl >"$out" 2>&1 || { cat "$out" >&2; fail "DESTDIR install"; }
    grep -q "left to the package" "$out" || fail "DESTDIR install did not say why it skipped setcap"
    [[ -x $WORK/stage/opt/tsl/bin/vennic ]] || fail "DESTDIR install put no vennic"
    [[ -z $(getcap "$WORK/stage/opt/tsl/bin/vennic") ]] || fail "capability granted under DESTDIR"

    # No setcap to be found: the install fails and says what is missing.
    configure -DTSL_SETCAP=ON -DTSL_SETCAP_PROGRAM="$WORK/no-such-setcap"
    if env PATH=/usr/bin:/bin "$(command -v cmake)" --install "$BUILD" --prefix "$capprefix" >"$out" 2>&1; then
        fail "install with TSL_SETCAP=ON and no setcap succeeded"
    fi
    grep -q "setcap program was not found" "$out" || { cat "$out" >&2; fail "no clear message without setcap"; }

    # Not root: setcap refuses, and the install fails with the reason.
    configure -DTSL_SETCAP=ON -DTSL_SETCAP_PROGRAM="$setcap_path"
    mkdir -p "$WORK/nobodyprefix" && chown 65534:65534 "$WORK/nobodyprefix"
    if "${NOBODY[@]}" env HOME=/tmp cmake --install "$BUILD" --prefix "$WORK/nobodyprefix" >"$out" 2>&1; then
        fail "install with TSL_SETCAP=ON as nobody succeeded"
    fi
    grep -q "setcap needs root" "$out" || { cat "$out" >&2; fail "no clear message when setcap is refused"; }
}

# ---------------------------------------------------------------- package

# The package's post-install step, run by itself with a setcap that fails as
# on a file system without extended attributes, and with none at all.
cmd_postinst() {
    local script=$BUILD/packaging/debian/postinst fake=$WORK/fakebin out=$WORK/pi.out err=$WORK/pi.err prog
    [[ -x $script ]] || fail "no post-install script $script"
    mkdir -p "$fake"
    cat >"$fake/setcap" <<'EOF'
#!/bin/sh
echo "Failed to set capabilities on file '$2' (Operation not supported)" >&2
exit 1
EOF
    chmod 755 "$fake/setcap"
    run "$out" "$err" env PATH="$fake:/usr/bin:/bin" sh "$script" configure
    [[ $? -eq 0 ]] || fail "postinst failed when setcap failed"
    for prog in vennic dorral; do
        grep -q "/$prog .*extended attributes" "$err" || { cat "$err" >&2; fail "postinst did not explain the failure for $prog"; }
    done
    rm "$fake/setcap"
    run "$out" "$err" env PATH="$fake:/usr/bin:/bin" sh "$script" configure
    [[ $? -eq 0 ]] || fail "postinst failed without setcap"
    grep -q 'setcap not found' "$err" || { cat "$err" >&2; fail "postinst did not say setcap is missing"; }
    # Other maintainer-script actions do nothing.
    run "$out" "$err" env PATH="$fake:/usr/bin:/bin" sh "$script" abort-upgrade
    [[ $? -eq 0 && ! -s $err ]] || fail "postinst abort-upgrade"
}

# The two Debian packages, built from a configuration for /usr with
# TSL_SETCAP=ON (the staging install must leave the grant to the post-install
# step): what each holds, and lintian on both.
cmd_package() {
    local tool out=$WORK/pkg.out runtime dev contents f prog multiarch name version
    for tool in cpack dpkg-deb dpkg-architecture lintian; do
        command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (scripts/test.sh installs it)"
    done
    configure -DTSL_SETCAP=ON -DTSL_SETCAP_PROGRAM="$(command -v setcap || echo setcap)" -DCMAKE_INSTALL_PREFIX=/usr
    rm -rf "$PKGDIR"
    (cd "$BUILD" && cpack -G DEB -B "$PKGDIR") >"$out" 2>&1 || { cat "$out" >&2; fail "cpack -G DEB"; }
    runtime=$(deb_of "$PACKAGE")
    dev=$(deb_of "$DEV_PACKAGE")

    # The programs, each with its compressed section-1 page, and the
    # post-install step; nothing of the libraries.
    contents=$(dpkg-deb -c "$runtime" | awk '{ print $6 }')
    for prog in vennic dorral spindrel ovintra_selftest; do
        grep -qx "./usr/bin/$prog" <<<"$contents" || fail "$PACKAGE lacks /usr/bin/$prog"
    done
    for prog in $(sed -n 's|^\./usr/bin/||p' <<<"$contents"); do
        grep -qx "./usr/share/man/man1/$prog.1.gz" <<<"$contents" || fail "$PACKAGE: $prog has no man page"
    done
    grep -e '\.a$' -e '^\./usr/include/' -e '/man3/' <<<"$contents" && fail "$PACKAGE holds development files"
    dpkg-deb --ctrl-tarfile "$runtime" | tar -t | grep -qx './postinst' || fail "no postinst in $PACKAGE"

    # Headers, the libraries with their pkg-config and CMake files in the
    # multiarch directory, the section-3 pages and the examples; no program.
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    contents=$(dpkg-deb -c "$dev" | awk '{ print $6 }')
    for f in include/tamsel.h include/tamsel_stream.h include/brevane.h include/ovintra.h include/availest.h \
             share/man/man3/tamsel.3.gz share/man/man3/brevane.3.gz share/doc/$DEV_PACKAGE/examples/CMakeLists.txt \
             lib/$multiarch/{libtamselGuts.a,libbrevane.a,libovintra.a,libavailest.a,pkgconfig/availest.pc,pkgconfig/brevane.pc,cmake/tamsel/tamselConfig.cmake}; do
        grep -qx "./usr/$f" <<<"$contents" || fail "$DEV_PACKAGE lacks /usr/$f"
    done
    grep -e '^\./usr/bin/' -e '/man1/' <<<"$contents" && fail "$DEV_PACKAGE holds programs"
    dpkg-deb --ctrl-tarfile "$dev" | tar -t | grep -qx './postinst' && fail "$DEV_PACKAGE has a postinst"

    # Each package's changelog starts with the version it carries; the
    # copyright file gives the licence in Debian's name for it.
    for f in "$runtime" "$dev"; do
        name=$(dpkg-deb -f "$f" Package)
        version=$(dpkg-deb -f "$f" Version)
        dpkg-deb --fsys-tarfile "$f" | tar -xO "./usr/share/doc/$name/changelog.gz" | gzip -dc | head -1 |
            grep -q "^tamsel-suite ($version) " || fail "$name: changelog does not start with version $version"
        dpkg-deb --fsys-tarfile "$f" | tar -xO "./usr/share/doc/$name/copyright" | grep -qx 'License: Expat' ||
            fail "$name: copyright file without License: Expat"
    done

    # lintian: no error, and no warning that the package does not override.
    lintian --fail-on error,warning "$runtime" "$dev" >"$out" 2>&1 || { cat "$out" >&2; fail "lintian"; }
    note "lintian: no errors, no warnings"
}

# The .deb of PACKAGE made by the package test.
deb_of() {
    local deb
    deb=$(ls "$PKGDIR/$1"_*.deb 2>/dev/null | head -1)
    [[ -f $deb ]] || fail "no $1 package in $PKGDIR"
    echo "$deb"
}

# Both packages installed with dpkg -i, used as their users would, and removed.
cmd_deb() {
    need_root "dpkg -i"
    need_tool dpkg
    local p runtime dev out=$WORK/deb.out err=$WORK/deb.err status page f
    remove_left_packages
    for p in "$PACKAGE" "$DEV_PACKAGE"; do
        if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            skip "$p is already installed on this machine; not replacing it"
        fi
    done
    runtime=$(deb_of "$PACKAGE")
    dev=$(deb_of "$DEV_PACKAGE")

    touch "$DEB_MARKER"
    trap 'dpkg -r "$PACKAGE" "$DEV_PACKAGE" >/dev/null 2>&1 && rm -f "$DEB_MARKER"' EXIT
    run "$out" "$err" dpkg -i "$runtime" "$dev" || { cat "$out" "$err" >&2; fail "dpkg -i"; }
    # The grant, or the post-install step's explanation where it cannot be given.
    if [[ $(getcap /usr/bin/vennic 2>/dev/null) != *cap_net_raw=ep* ]]; then
        grep -q -e 'extended attributes' -e 'setcap not found' "$err" ||
            fail "vennic has no capability and the package said nothing"
        note "no capability granted: $(grep "$PACKAGE:" "$err" | head -1)"
    fi
    run "$out" "$err" timeout 60 /usr/bin/vennic 127.0.0.1
    status=$?
    [[ $status -eq 0 ]] || { cat "$err" >&2; fail "/usr/bin/vennic 127.0.0.1: status $status"; }
    grep -q '^Available Bandwidth: ' "$out" || fail "/usr/bin/vennic: no Available Bandwidth line"
    note "/usr/bin/vennic 127.0.0.1: $(tail -1 "$out")"

    # Every installed page reads without warnings, the compressed .so pages
    # that lead to tamsel(3) included.
    for page in $(dpkg -L "$PACKAGE" "$DEV_PACKAGE" | sed -n 's|^/usr/share/man/||p' | grep '\.gz$'); do
        (cd /usr/share/man && MANWIDTH=80 man --warnings -l "$page") >"$out" 2>"$err" || fail "man -l $page: status $?"
        [[ -s $err ]] && { cat "$err" >&2; fail "man warns about $page"; }
        grep -q '^NAME' "$out" || fail "man -l $page has no NAME section"
    done

    # The libraries are found where the system's tools look by default: the
    # pkg-config files carry /usr (not the staging tree), and the installed
    # examples build with find_package(tamsel) without any prefix path.
    [[ $(env -u PKG_CONFIG_PATH pkg-config --variable=prefix brevane 2>/dev/null) == /usr ]] ||
        fail "installed brevane.pc does not have prefix /usr"
    rm -rf "$WORK/ex-deb"
    cmake -S "/usr/share/doc/$DEV_PACKAGE/examples" -B "$WORK/ex-deb" -G "$TSL_GENERATOR" \
        -DCMAKE_C_COMPILER="$TSL_CC" -DCMAKE_CXX_COMPILER="$TSL_CXX" >"$out" 2>&1 &&
        cmake --build "$WORK/ex-deb" >>"$out" 2>&1 || { cat "$out" >&2; fail "examples of $DEV_PACKAGE"; }
    check_examples "$WORK/ex-deb"

    run "$out" "$err" dpkg -r "$PACKAGE" "$DEV_PACKAGE" || { cat "$out" "$err" >&2; fail "dpkg -r"; }
    rm -f "$DEB_MARKER"
    trap - EXIT
    for f in /usr/bin/vennic /usr/include/brevane.h "/usr/share/doc/$PACKAGE/copyright"; do
        [[ ! -e $f ]] || fail "$f left after dpkg -r"
    done
}

case ${1:-} in
setup | cleanup | layout | pkgconfig | find_package | manpages | setcap | postinst | package | deb) "cmd_$1" ;;
examples) cmd_examples "${2:-}" ;;
*) echo "usage: $0 setup|layout|pkgconfig|find_package|manpages|setcap|postinst|package|deb|cleanup|examples DIR" >&2
   exit 2 ;;
esac
