#!/usr/bin/env bash
# Builds Amberline-<version>-x64.msi: build_msi.sh VERSION STAGE64 STAGE32 WORKDIR OUTPUT TOOL.exe...
#
# 1. Registers the 64-bit stage's camera (amberline.dll) and Media Foundation source
#    (amberline-mf.dll) with Wine's regsvr32 in a scratch prefix (WORKDIR/wineprefix), the
#    stage copied to where the installer puts it, and exports the registry before, between
#    and after; then unregisters them again. The installer's rows are exactly what the
#    modules' own DllRegisterServer wrote, so the two cannot drift apart.
# 2. make_wxs.py turns the stages, the tools and those rows into WORKDIR/Amberline.wxs.
# 3. wixl builds the MSI; its binary registry values are then put in their binary form
#    (wixl can only write them as strings).
# Exits 1 with a sentence when a step fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 6 ] || { echo "usage: build_msi.sh VERSION STAGE64 STAGE32 WORKDIR OUTPUT TOOL.exe..." >&2; exit 2; }
version=$1 stage64=$(realpath "$2") stage32=$3 work=$4 output=$5
shift 5
fail() { echo "build_msi: $*" >&2; exit 1; }
[ -f "$stage32/Bin/amberline.dll" ] ||
  fail "$stage32/Bin/amberline.dll is missing: build the 32-bit stage first (cmake --preset mingw32 && cmake --build --preset mingw32)"
stage32=$(realpath "$stage32")
command -v wixl >/dev/null || fail "wixl is missing (Debian package wixl; scripts/bootstrap.sh installs it)"
command -v msibuild >/dev/null || fail "msibuild is missing (Debian package msitools)"

mkdir -p "$work"
work=$(realpath "$work")
export WINEPREFIX="$work/wineprefix"
# The prefix is made on first use, as for every Windows program the build runs.
wine() { "$here/../../scripts/wine-run.sh" "$WINEPREFIX" "$@"; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
capture_dir="$WINEPREFIX/drive_c/Program Files/Amberline"
capture_root='C:\Program Files\Amberline\'
cleanup() {
  wine regsvr32 /u /s "${capture_root}Bin\\amberline-mf.dll" >/dev/null 2>&1 || true
  wine regsvr32 /u /s "${capture_root}Bin\\amberline.dll" >/dev/null 2>&1 || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$capture_dir"
}
trap cleanup EXIT
# Registration writes below HKEY_LOCAL_MACHINE\Software; only that part is exported.
export_software() {
  local file
  file=$(python3 "$here/registry_export.py" export "$WINEPREFIX" "$1") ||
    fail "Wine's regedit could not export the registry to $1"
  cp "$file" "$work/$1"
}
# The first Wine call makes the prefix; the stage goes in after it.
export_software before.reg
rm -rf "$capture_dir"
mkdir -p "$capture_dir"
cp -r "$stage64/." "$capture_dir/"
wine regsvr32 /s "${capture_root}Bin\\amberline.dll" ||
  fail "regsvr32 could not register the camera (amberline.dll) in the scratch prefix"
export_software camera.reg
wine regsvr32 /s "${capture_root}Bin\\amberline-mf.dll" ||
  fail "regsvr32 could not register the Media Foundation source (amberline-mf.dll) in the scratch prefix"
export_software source.reg
cleanup
trap - EXIT

tools=()
for tool in "$@"; do tools+=(--tool "$tool"); done
python3 "$here/make_wxs.py" --version "$version" --stage64 "$stage64" --stage32 "$stage32" "${tools[@]}" \
  --registry "$work/before.reg" "$work/camera.reg" "$work/source.reg" --capture-root "$capture_root" \
  --output "$work/Amberline.wxs"

rm -f "$work/Amberline.msi"
(cd "$work" && wixl -a x64 -o Amberline.msi Amberline.wxs) || fail "wixl could not build the installer from $work/Amberline.wxs"
# wixl writes "#x<hex>" string values as "##x<hex>"; the Registry table's binary form is "#x<hex>".
msiinfo export "$work/Amberline.msi" Registry >"$work/Registry.idt"
sed -i 's/\t##x\([0-9a-f]*\)\t/\t#x\1\t/' "$work/Registry.idt"
(cd "$work" && msibuild Amberline.msi -i Registry.idt) || fail "msibuild could not put the binary registry values back"
mv "$work/Amberline.msi" "$output"
echo "build_msi: $(basename "$output"), $(stat -c %s "$output") bytes"
