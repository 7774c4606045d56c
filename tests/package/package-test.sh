#!/usr/bin/env bash
# Builds the Debian package from this build with CPack in a scratch folder,
# unpacks it into a scratch root, and checks the installed programs and
# desktop files from there: both programs run, a 2-second clip converts,
# `velmora FILE` starts with FILE as the source, the desktop entry and the
# AppStream file validate, the manual page renders, every icon size is there,
# the copyright file states the licence.
#   package-test.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
root=$scratch/root

fail() {
  echo "FAIL: $*"
  exit 1
}
step() { echo "== $*"; }

step "cpack"
cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
shopt -s nullglob
debs=("$scratch"/out/velmora_*_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one velmora_<version>_<arch>.deb, got: ${debs[*]:-none}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

step "package control fields"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Found by dpkg-shlibdeps from the binaries, not listed by hand.
for lib in libavcodec libavformat libqt6widgets6 libqt6gui6 libc6; do
  case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib" ;; esac
done

step "contents"
dpkg-deb -x "$deb" "$root"
# Only what a user needs: no test or benchmark programs, nothing outside /usr.
stray=$(cd "$root" && find . -type f | grep -v -E '^\./usr/(bin/velmora(-encode)?|share/(applications/velmora\.desktop|doc/velmora/copyright|metainfo/org\.velmora\.Velmora\.metainfo\.xml|man/man1/velmora-encode\.1\.gz|icons/hicolor/[0-9]+x[0-9]+/apps/velmora\.png))$' || true)
[ -z "$stray" ] || fail "unexpected files in the package: $stray"
for size in 16 22 24 32 48 64 128 256; do
  icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/velmora.png
  file -b "$icon" | grep -q "PNG image data, $size x $size," || fail "icon $size: $(file -b "$icon" 2>&1)"
done

grep -qx 'License: GPL-3.0-or-later' "$root/usr/share/doc/velmora/copyright" ||
  fail "the copyright file does not state GPL-3.0-or-later"

step "desktop entry and AppStream file"
desktop-file-validate "$root/usr/share/applications/velmora.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.velmora.Velmora.metainfo.xml" ||
  fail "appstreamcli validate"

step "manual page"
page=$(LANG=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/velmora-encode.1.gz" 2>"$scratch/man.err") ||
  { cat "$scratch/man.err"; fail "man -l"; }
for option in --audience --audio-content --video-quality --muxer --output-dir --overwrite --skip-existing \
  --shard --json --print-plan --help; do
  grep -q -e "$option" <<<"$page" || fail "manual page lacks $option"
done

encode=$root/usr/bin/velmora-encode
step "velmora-encode --help"
help=$("$encode" --help) || fail "--help exit status $?"
for option in --audience --audio-content --video-quality --muxer --output-dir --overwrite --skip-existing \
  --shard --json --print-plan; do
  grep -q -e "$option" <<<"$help" || fail "--help lacks $option"
done

step "a 2-second clip converts"
clip=$scratch/clip.mp4
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=320x240:rate=25:duration=2" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
  -c:v mpeg4 -c:a aac -shortest "$clip"
"$encode" --audience 56k "$clip" "$scratch/clip.rm" || fail "velmora-encode exit status $?"
probe=$(ffprobe -v error -show_entries format=format_name,duration -of default=nw=1 "$scratch/clip.rm")
echo "$probe"
grep -q '^format_name=rm$' <<<"$probe" || fail "not RealMedia"
duration=$(sed -n 's/^duration=//p' <<<"$probe")
awk -v d="$duration" 'BEGIN { exit !(d > 1.5 && d < 2.5) }' || fail "duration $duration"

step "velmora FILE starts with FILE as the source"
state=$scratch/state.txt
QT_QPA_PLATFORM=offscreen VELMORA_NO_LOGOFF=1 VELMORA_STATE_FILE=$state \
  "$root/usr/bin/velmora" "$clip" >"$scratch/velmora.log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
# SIGUSR1 ends the program until the state report handles it: wait for that.
for _ in $(seq 100); do
  mask=$(sed -n 's/^SigCgt:\s*//p' "/proc/$app/status" 2>/dev/null || true)
  [ -n "$mask" ] && (((0x$mask >> 9) & 1)) && break
  sleep 0.1
done
kill -USR1 $app
for _ in $(seq 50); do [ -s "$state" ] && break; sleep 0.1; done
[ -s "$state" ] || { cat "$scratch/velmora.log"; fail "no state report"; }
kill $app
grep -q -F -x "$(printf 'Textopen\t%s\t11' "$clip")" "$state" ||
  fail "Textopen: $(grep '^Textopen' "$state")"
grep -q -x "$(printf 'Cmdsave\t.*\t11')" "$state" || fail "Cmdsave: $(grep '^Cmdsave' "$state")"
echo "PASS"
