# fetch_debian_source PACKAGE DIR_GLOB CACHE: prints the folder of Debian's source package
# PACKAGE, unpacked under CACHE/src (fetched with apt-get source the first time, reused
# afterwards; DIR_GLOB names the unpacked folder, e.g. 'opencv-4*'). apt-get source needs
# source entries: when the machine has none, the machine's own lists are copied as
# source lists (never a registry's address written by hand).
fetch_debian_source() {
  local package=$1 glob=$2 cache=$3 sudo="" srclist=/etc/apt/sources.list.d/amberline-deb-src.sources src f
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! apt-get source --print-uris "$package" >/dev/null 2>&1; then
    for f in /etc/apt/sources.list.d/*.sources; do
      [ "$f" = "$srclist" ] && continue
      sed 's/^Types: deb$/Types: deb-src/' "$f"
      echo
    done | $sudo tee "$srclist" >/dev/null
    $sudo apt-get update -qq >/dev/null
  fi
  mkdir -p "$cache/src"
  # shellcheck disable=SC2086 # the glob is meant to expand
  src=$(ls -d "$cache"/src/$glob/ 2>/dev/null | head -n1 || true)
  if [ -z "$src" ]; then
    (cd "$cache/src" && apt-get source -qq "$package" >/dev/null 2>&1)
    # shellcheck disable=SC2086
    src=$(ls -d "$cache"/src/$glob/ | head -n1)
  fi
  echo "$src"
}
