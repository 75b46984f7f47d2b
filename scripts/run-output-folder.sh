# prepare_output_folder FOLDER ENTRY...: makes FOLDER ready for a run that writes ENTRY...
# into it. FOLDER is used when it is new (created here), empty, or marked by an earlier
# run (the file .amberline-run); then only the named entries are removed, nothing else.
# Any other folder is refused with a message and status 1, and left exactly as it is, so
# that OUT=~ or OUT=/ can never empty a folder this script did not make.
prepare_output_folder() {
  local out=$1
  shift
  local marker="$out/.amberline-run"
  if [ -e "$out" ] && [ ! -d "$out" ]; then
    echo "run.sh: $out exists and is not a folder; choose another with OUT=<folder>" >&2
    return 1
  fi
  if [ -d "$out" ] && [ ! -e "$marker" ] && [ -n "$(ls -A "$out")" ]; then
    echo "run.sh: $out is not empty and was not made by run.sh; it is left as it is." >&2
    echo "        Choose a new or empty folder with OUT=<folder>." >&2
    return 1
  fi
  mkdir -p "$out" && touch "$marker" || return 1
  local entry
  for entry in "$@"; do
    case "$entry" in
      "" | */* | . | ..) echo "run.sh: refusing to remove '$entry'" >&2; return 1 ;;
    esac
    rm -rf -- "${out:?}/$entry"
  done
}
