#!/usr/bin/env bash
# Builds the package with scripts/package.sh into SCRATCH and checks what a Debian install
# would get: files, dependencies, conffiles, the user, the ldconfig trigger, the unit.
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
            opt/tolvane/cfg/mq.conf opt/tolvane/lib/libecho.so opt/tolvane/lib/libvorn.so \
            opt/tolvane/log/; do
    grep -qx "\./$path" <<<"$listing" || fail "package lacks /$path"
done
grep -q '^\./usr/local' <<<"$listing" && fail "package puts files under /usr/local"

depends=$(dpkg-deb -f "$deb" Depends)
for dep in librabbitmq4 libcurl4 libstdc++6 adduser; do
    grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done

ctrl=$SCRATCH/control
mkdir -p "$ctrl" && dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$ctrl"
grep -qx "$HOME_DIR/cfg/mq.conf" "$ctrl/conffiles" || fail "mq.conf is not a conffile"
grep -qx 'activate-noawait ldconfig' "$ctrl/triggers" || fail "no ldconfig trigger"
grep -q 'adduser --system --group --no-create-home .* tolvane' "$ctrl/postinst" ||
    fail "postinst does not create the tolvane user"
grep -q "own tolvane:tolvane .*/log\"" "$ctrl/postinst" || fail "postinst does not hand log/ to tolvane"
sh -n "$ctrl/postinst" && sh -n "$ctrl/prerm" && sh -n "$ctrl/postrm" || fail "maintainer script syntax"
grep -q "^e $HOME_DIR/log .* 14d$" "$SCRATCH/build/packaging/tmpfiles.conf" || fail "no 14-day log retention"

tree=$SCRATCH/tree
dpkg-deb -x "$deb" "$tree"
# Programs find the libraries by plain name through the loader's path, never through a run path.
for elf in usr/sbin/tolvane $LIB/libdravik.so; do
    readelf -d "$tree/$elf" | grep -qE 'RPATH|RUNPATH' && fail "/$elf carries a run path"
done
readelf -d "$tree/usr/sbin/tolvane" | grep -q 'NEEDED.*\[libdravik.so\]' || fail "tolvane does not need libdravik.so"
for h in dravik/tools.h tarrin/config.h morrow/LogFile.h morrow/log.h defines.h plugin.h; do
    printf '#include "%s"\n' "$h" | g++ -std=c++17 -fsyntax-only -I "$tree/usr/include/tolvane" -x c++ - ||
        fail "installed $h does not compile on its own"
done

# verify wants the program to exist, so point a copy of the unit at the unpacked one.
unit=$tree/lib/systemd/system/tolvane.service
mkdir -p "$SCRATCH/unit"
sed "s|^ExecStart=/usr/sbin/|ExecStart=$tree/usr/sbin/|" "$unit" >"$SCRATCH/unit/tolvane.service"
out=$(systemd-analyze verify "$SCRATCH/unit/tolvane.service" 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify: $out"
grep -qx "ReadWritePaths=$HOME_DIR/cfg $HOME_DIR/log" "$unit" || fail "unit may write elsewhere"
score=$(systemd-analyze security --offline=yes "$unit" | sed -n 's/.*exposure level for tolvane.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security exposure: $score"
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 3.5) }' || fail "exposure $score above 3.5"

[ $failures -eq 0 ] && echo "package checks passed"
exit $((failures > 0))
