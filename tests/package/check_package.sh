#!/usr/bin/env bash
# Builds this build's Debian package and checks it as a user gets it: its control fields, exactly the
# expected files (dpkg-deb -c), and, unpacked into a scratch root (dpkg -x), the installed devhost driving
# the installed plug-in against the installed simulator. Cross-built packages run under the emulator.
set -euo pipefail

emulator=() tools=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cpack) cpack=$2; shift ;;
    --config) config=$2; shift ;;
    --scratch) scratch=$2; shift ;;
    --arch) arch=$2; shift ;;
    --plugindir) plugindir=$2; shift ;;
    --datadir) datadir=$2; shift ;;
    --bindir) bindir=$2; shift ;;
    --examples) examples=$2; shift ;;
    --tools=*) IFS=';' read -r -a tools <<<"${1#--tools=}" ;;
    --emulator=*) IFS=';' read -r -a emulator <<<"${1#--emulator=}" ;;
    *) echo "check_package: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

fail() { echo "package_deb: $*" >&2; exit 1; }
has_tool() { local t; for t in "${tools[@]}"; do [ "$t" = "$1" ] && return 0; done; return 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
"$cpack" -G DEB --config "$config" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Control fields: the architecture of the build, the run-time libraries the binaries link.
[ "$(dpkg-deb -f "$deb" Package)" = vadid-ev7 ] || fail "Package is $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture is $(dpkg-deb -f "$deb" Architecture), not $arch"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
needed=(libc6 'libstdc\+\+6' 'libjsoncpp[0-9]+' 'libyaml-cpp[0-9.]+')
has_tool devhost && needed+=('libmodbus[0-9]+' 'libsqlite3-0')
for lib in "${needed[@]}"; do
  grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# Files: exactly the plug-in, the examples and the tools, nothing else.
expected=$(
  echo "./usr/$plugindir/vadid_ev7.so"
  (cd "$examples" && find . -type f -printf "./usr/$datadir/%P\n")
  for t in "${tools[@]}"; do echo "./usr/$bindir/$t"; done
)
listing=$(dpkg-deb -c "$deb")
actual=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing")
if ! diff -u <(sort <<<"$expected") <(sort <<<"$actual") >"$scratch/files.diff"; then
  cat "$scratch/files.diff" >&2
  fail "the package's files differ from the expected ones (- expected, + in the package)"
fi
echo "files: $(wc -l <<<"$actual") as expected"

root="$scratch/root"
dpkg -x "$deb" "$root"
case "$arch" in
  amd64) elf="x86-64" ;;
  armhf) elf="ARM, EABI5" ;;
  arm64) elf="ARM aarch64" ;;
  *) elf="" ;;
esac
file -b "$root/usr/$plugindir/vadid_ev7.so" | grep -q "ELF .*$elf" || fail "the plug-in is not an $arch ELF: $(file -b "$root/usr/$plugindir/vadid_ev7.so")"

if ! has_tool devhost || ! has_tool vu7-sim; then
  echo "the package has no devhost and vu7-sim: the installed pair is not run"
  exit 0
fi

# The installed pair: the simulator on a pseudo-terminal, devhost with the example configuration, the
# plug-in from its installed folder and the example ./ini/.
run="$scratch/run"
mkdir -p "$run"
ln -s "$root/usr/$datadir/ini" "$run/ini"
"${emulator[@]}" "$root/usr/$bindir/vu7-sim" --pty "$run/vu7.pty" --seed 7 >"$run/sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  [ -L "$run/vu7.pty" ] && break
  kill -0 "$sim" 2>/dev/null || { cat "$run/sim.log" >&2; fail "vu7-sim stopped"; }
  sleep 0.05
done
[ -L "$run/vu7.pty" ] || fail "vu7-sim made no pseudo-terminal"

rounds=3
status=0
"${emulator[@]}" "$root/usr/$bindir/devhost" -C "$run" --config "$root/usr/$datadir/devhost.json" \
  --plugin-dir "$root/usr/$plugindir" --rounds "$rounds" --interval 0.2 --history history.sqlite \
  >"$run/events.jsonl" 2>"$run/devhost.log" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$run/devhost.log" >&2
  fail "devhost exited with $status"
fi
records=$(grep -c '"event":"record"' "$run/events.jsonl" || true)
readings=$(grep -c '"event":"readings"' "$run/events.jsonl" || true)
errors=$(grep -c '"event":"error"' "$run/events.jsonl" || true)
# Each round hands over one 21-byte record of data type 5156 that starts with the data id, little-endian.
id=$(jq '.devices[0].dataId' "$root/usr/$datadir/devhost.json")
id_hex=$(printf '%02x%02x%02x%02x' $((id & 255)) $((id >> 8 & 255)) $((id >> 16 & 255)) $((id >> 24 & 255)))
good=$(grep '"event":"record"' "$run/events.jsonl" | grep '"dataType":5156' | grep -Ec "\"hex\":\"$id_hex[0-9a-f]{34}\"" || true)
echo "installed pair: $records records ($good of 21 bytes, type 5156), $readings readings, $errors errors"
if [ "$records" -ne "$rounds" ] || [ "$good" -ne "$rounds" ] || [ "$readings" -lt 1 ] || [ "$errors" -ne 0 ]; then
  cat "$run/devhost.log" >&2
  head -n 20 "$run/events.jsonl" >&2
  fail "the installed devhost did not complete $rounds rounds with the installed plug-in"
fi
