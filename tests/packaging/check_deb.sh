#!/usr/bin/env bash
# Builds the package with scripts/package.sh into SCRATCH and checks what a Debian install
# would get: files, dependencies, no conffiles, the user, the ldconfig trigger, the unit,
# lintian's verdict, and plug-ins built with the packaged kit (pkg-config and CMake).
# Usage: check_deb.sh SOURCE_DIR SCRATCH
set -uo pipefail
ROOT=$1
SCRATCH=$2
HOME_DIR=/opt/tolvane
LIB=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"
if ! TOLVANE_PACKAGE_BUILD="$SCRATCH/build" "$ROOT/scripts/package.sh" >"$SCRATCH/package.log" 2>&1; then
    tail -n 30 "$SCRATCH/package.log"
    echo "FAIL: scripts/package.sh"
    exit 1
fi
deb=$(ls "$SCRATCH"/build/tolvane_*.deb)
dpkg-deb -I "$deb"

listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in usr/sbin/tolvane usr/bin/tolvane-call \
            $LIB/libdravik.so $LIB/libtarrin.so \
            $LIB/libmorrow.so \
            usr/include/tolvane/dravik/tools.h usr/include/tolvane/tarrin/config.h \
            usr/include/tolvane/morrow/LogFile.h usr/include/tolvane/morrow/log.h \
            usr/include/tolvane/defines.h usr/include/tolvane/plugin.h \
            lib/systemd/system/tolvane.service usr/lib/tmpfiles.d/tolvane.conf \
            opt/tolvane/cfg/mq.conf.sample opt/tolvane/lib/libecho.so opt/tolvane/lib/libvorn.so \
            opt/tolvane/log/ usr/share/man/man8/tolvane.8.gz usr/share/man/man1/tolvane-call.1.gz \
            usr/share/doc/tolvane/copyright usr/share/doc/tolvane/changelog.gz \
            $LIB/pkgconfig/tolvane-plugin.pc $LIB/cmake/tolvane/tolvaneConfig.cmake \
            usr/share/doc/tolvane/plugin-template/CMakeLists.txt; do
    grep -qx "\./$path" <<<"$listing" || fail "package lacks /$path"
done
grep -q '^\./usr/local' <<<"$listing" && fail "package puts files under /usr/local"

depends=$(dpkg-deb -f "$deb" Depends)
for dep in librabbitmq4 libcurl4 libstdc++6 adduser; do
    grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done

ctrl=$SCRATCH/control
mkdir -p "$ctrl" && dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$ctrl"
# The daemon rewrites mq.conf: postinst makes it from the sample, purge takes it.
[ -e "$ctrl/conffiles" ] && fail "conffiles: $(cat "$ctrl/conffiles")"
grep -q 'cp "$home/cfg/mq.conf.sample" "$home/cfg/mq.conf"' "$ctrl/postinst" ||
    fail "postinst does not create mq.conf"
grep -q 'rm -f "$home/cfg/mq.conf"' "$ctrl/postrm" || fail "purge leaves mq.conf"
grep -qx 'activate-noawait ldconfig' "$ctrl/triggers" || fail "no ldconfig trigger"
grep -q 'adduser --system --group --no-create-home .* tolvane' "$ctrl/postinst" ||
    fail "postinst does not create the tolvane user"
grep -q "own tolvane:tolvane .*/log\"" "$ctrl/postinst" || fail "postinst does not hand log/ to tolvane"
grep -q 'runuser -u tolvane -- tolvane --check-config' "$ctrl/postinst" ||
    fail "postinst does not check the settings as the tolvane user"
sh -n "$ctrl/postinst" && sh -n "$ctrl/prerm" && sh -n "$ctrl/postrm" || fail "maintainer script syntax"
grep -q "^e $HOME_DIR/log .* 14d$" "$SCRATCH/build/packaging/tmpfiles.conf" || fail "no 14-day log retention"

tree=$SCRATCH/tree
dpkg-deb -x "$deb" "$tree"
# Programs find the libraries by plain name through the loader's path, never through a run path.
for elf in usr/sbin/tolvane $LIB/libdravik.so; do
    readelf -d "$tree/$elf" | grep -qE 'RPATH|RUNPATH' && fail "/$elf carries a run path"
done
readelf -d "$tree/usr/sbin/tolvane" | grep -q 'NEEDED.*\[libdravik.so\]' || fail "tolvane does not need libdravik.so"

# No errors, warnings or missing hardening, and every override has its reason above it.
lintian -I "$deb" | tee "$SCRATCH/lintian.txt"
grep -qE '^[EW]: |hardening' "$SCRATCH/lintian.txt" && fail "lintian: errors, warnings or hardening"
awk '/^tolvane:/ && prev !~ /^#/ { bad = 1 } { prev = $0 } END { exit bad }' \
    "$tree/usr/share/lintian/overrides/tolvane" || fail "an override without its reason"

# The kit: the template plug-in built with pkg-config and with CMake, both answer a local call.
kit=$SCRATCH/kit
mkdir -p "$kit/pc/lib" "$kit/cmake"
export LD_LIBRARY_PATH=$tree/$LIB
cflags=$(PKG_CONFIG_PATH=$tree/$LIB/pkgconfig pkg-config --cflags tolvane-plugin)
template=$tree/usr/share/doc/tolvane/plugin-template
# shellcheck disable=SC2086  # the flags are words
g++ -shared -fPIC $cflags -o "$kit/pc/lib/libhello.so" "$template/hello.cpp" || fail "pkg-config build"
cmake -S "$template" -B "$kit/cmake/build" -DCMAKE_PREFIX_PATH="$tree/usr" >"$kit/cmake.log" &&
    cmake --build "$kit/cmake/build" >>"$kit/cmake.log" &&
    DESTDIR=$kit/cmake cmake --install "$kit/cmake/build" >>"$kit/cmake.log" || fail "CMake build"
for home in "$kit/pc" "$kit/cmake$HOME_DIR"; do
    out=$("$tree/usr/bin/tolvane-call" --local --home "$home" comtype=hello nfunc=hello name=kit 2>/dev/null)
    [ "$out" = "10000:hello, kit" ] || fail "plug-in in $home answered \"$out\""
done
for h in dravik/tools.h tarrin/config.h morrow/LogFile.h morrow/log.h defines.h plugin.h; do
    printf '#include "%s"\n' "$h" | g++ -std=c++17 -fsyntax-only -I "$tree/usr/include/tolvane" -x c++ - ||
        fail "installed $h does not compile on its own"
done

# The requesters' packages: their files, none of them in tolvane, lintian-clean, and the
# library built against with pkg-config and with CMake.
req=$SCRATCH/requesters
mkdir -p "$req"
for pkg in libtolvane-client0 libtolvane-client-dev python3-tolvane; do
    file=$(ls "$SCRATCH"/build/${pkg}_*.deb 2>/dev/null) || { fail "no package $pkg"; continue; }
    dpkg-deb -x "$file" "$req/tree"
    lintian -I "$file" | tee "$req/$pkg.lintian"
    grep -qE '^[EW]: |hardening' "$req/$pkg.lintian" && fail "lintian on $pkg: errors or warnings"
done
for path in $LIB/libtolvane-client.so.0 $LIB/libtolvane-client.so usr/include/tolvane/client.h \
            $LIB/pkgconfig/tolvane-client.pc $LIB/cmake/tolvane-client/tolvane-client-config.cmake \
            usr/lib/python3/dist-packages/tolvane/__init__.py; do
    [ -e "$req/tree/$path" ] || fail "the requesters' packages lack /$path"
    grep -qx "\./$path" <<<"$listing" && fail "tolvane holds /$path"
done
dpkg-deb -f "$SCRATCH"/build/libtolvane-client-dev_*.deb Depends | grep -q 'libtolvane-client0 (= ' ||
    fail "libtolvane-client-dev does not depend on its library"
dpkg-deb -f "$SCRATCH"/build/python3-tolvane_*.deb Depends | grep -q python3-pika ||
    fail "python3-tolvane does not depend on python3-pika"
example=$ROOT/requester/examples/hello.cpp
# shellcheck disable=SC2046  # the flags are words
g++ -std=c++17 -o "$req/hello-pc" "$example" $(PKG_CONFIG_PATH=$req/tree/$LIB/pkgconfig \
    PKG_CONFIG_SYSROOT_DIR=$req/tree pkg-config --cflags --libs tolvane-client) ||
    fail "pkg-config build of the client example"
mkdir -p "$req/cmake"
printf 'cmake_minimum_required(VERSION 3.18)\nproject(hello CXX)\nfind_package(tolvane-client REQUIRED)\nadd_executable(hello %s)\ntarget_link_libraries(hello tolvane::client)\n' \
    "$example" >"$req/cmake/CMakeLists.txt"
cmake -S "$req/cmake" -B "$req/cmake/build" -DCMAKE_PREFIX_PATH="$req/tree/usr" >"$req/cmake.log" &&
    cmake --build "$req/cmake/build" >>"$req/cmake.log" || fail "CMake build of the client example"

# verify wants the program to exist, so point a copy of the unit at the unpacked one.
unit=$tree/lib/systemd/system/tolvane.service
mkdir -p "$SCRATCH/unit"
sed "s|^ExecStart=/usr/sbin/|ExecStart=$tree/usr/sbin/|" "$unit" >"$SCRATCH/unit/tolvane.service"
# Its Documentation= names the packaged manual page.
out=$(MANPATH=$tree/usr/share/man systemd-analyze verify "$SCRATCH/unit/tolvane.service" 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify: $out"
grep -qx "ReadWritePaths=$HOME_DIR/cfg $HOME_DIR/log" "$unit" || fail "unit may write elsewhere"
score=$(systemd-analyze security --offline=yes "$unit" | sed -n 's/.*exposure level for tolvane.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security exposure: $score"
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 3.5) }' || fail "exposure $score above 3.5"

[ $failures -eq 0 ] && echo "package checks passed"
exit $((failures > 0))
