#!/usr/bin/env bash
# Lock annotations of the code that only the Windows build compiles (src/mfsource,
# src/platform/win32, tools/vcam) checked by clang's thread-safety analysis against the
# MinGW-w64 headers, with the same definitions and include folders as the Windows build.
# Only the analysis runs (no code is generated); any finding fails.
# Usage: thread-safety-windows.sh <configured mingw build folder>
# Exit status: 0 clean; 1 a finding or a file clang could not read; 2 no build folder.
set -uo pipefail
build=${1:?usage: thread-safety-windows.sh <mingw build folder>}
db="$build/compile_commands.json"
[ -f "$db" ] || { echo "thread-safety: $db is missing (configure the mingw preset first)"; exit 2; }
root=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
target=$(basename "$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | head -n 1)")
cxx=/usr/lib/gcc/x86_64-w64-mingw32/$target/include/c++

# One line per Windows-only product file: the file, then its -D/-I/-isystem/-std flags.
python3 - "$db" "$root" >"$build/thread-safety-units.txt" <<'PY' || exit 2
import json, os, shlex, sys
db, root = sys.argv[1], sys.argv[2]
for entry in json.load(open(db)):
    path = os.path.relpath(entry['file'], root)
    if not (path.startswith(('src/mfsource/', 'src/platform/win32/', 'tools/vcam/'))):
        continue
    words = shlex.split(entry['command'])
    keep, take_next = [], False
    for word in words[1:]:
        if take_next:
            keep.append(word); take_next = False
        elif word in ('-isystem', '-I', '-D', '-include'):
            keep.append(word); take_next = True
        elif word.startswith(('-D', '-I', '-std=')):
            keep.append(word)
    print(entry['file'] + '\t' + ' '.join(shlex.quote(w) for w in keep))
PY
count=$(wc -l <"$build/thread-safety-units.txt")
[ "$count" -gt 0 ] || { echo "thread-safety: no Windows-only files in $db"; exit 1; }

check_one() {
  local file=$1 flags=$2
  eval "clang++-14 --target=x86_64-w64-mingw32 -fsyntax-only -nostdinc++ \
    -isystem $cxx -isystem $cxx/x86_64-w64-mingw32 -isystem $cxx/backward $flags \
    -Wno-everything -Wthread-safety -Wthread-safety-beta -Werror \"\$file\""
}
export -f check_one
export cxx
failed=0
while IFS=$'\t' read -r file flags; do
  if ! out=$(check_one "$file" "$flags" 2>&1); then
    echo "$out"
    failed=$((failed + 1))
  fi
done <"$build/thread-safety-units.txt"
if [ "$failed" -ne 0 ]; then
  echo "thread-safety: $failed of $count Windows-only files have findings"
  exit 1
fi
echo "thread-safety: $count Windows-only files checked, no findings"
