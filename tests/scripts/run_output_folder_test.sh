#!/usr/bin/env bash
# The main job's output folder: a folder it did not make is never emptied; its own
# folder loses only the entries the job writes. Usage: run_output_folder_test.sh <lib>
set -u
. "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A user's folder with files in it (as OUT=~ would be): refused, left exactly as it was.
mkdir -p "$work/home/Documents" && echo keep >"$work/home/notes.txt" && echo keep >"$work/home/live"
if prepare_output_folder "$work/home" live placeholder 2>"$work/err"; then fail "a foreign non-empty folder was accepted"; fi
[ -f "$work/home/notes.txt" ] && [ -d "$work/home/Documents" ] && [ -f "$work/home/live" ] || fail "a foreign folder lost entries"
[ -e "$work/home/.amberline-run" ] && fail "a foreign folder was marked"
grep -q "not made by run.sh" "$work/err" || fail "the refusal does not say why: $(cat "$work/err")"

# A file in place of the folder: refused.
echo x >"$work/file"
prepare_output_folder "$work/file" live 2>/dev/null && fail "a file was accepted as the output folder"
[ "$(cat "$work/file")" = x ] || fail "the file was changed"

# New and empty folders are taken and marked.
prepare_output_folder "$work/new/out" live || fail "a new folder was refused"
[ -e "$work/new/out/.amberline-run" ] || fail "a new folder was not marked"
mkdir "$work/empty"
prepare_output_folder "$work/empty" live || fail "an empty folder was refused"

# An earlier run's folder: its own entries go, anything the user put beside them stays.
mkdir -p "$work/new/out/live/sub" && echo old >"$work/new/out/producer.log" && echo mine >"$work/new/out/mine.txt"
prepare_output_folder "$work/new/out" live placeholder producer.log || fail "the job's own folder was refused"
[ -e "$work/new/out/live" ] && fail "an own entry was kept"
[ -e "$work/new/out/producer.log" ] && fail "an own file was kept"
[ -f "$work/new/out/mine.txt" ] || fail "a file the job did not write was removed"

# An entry name that reaches outside the folder is refused.
prepare_output_folder "$work/new/out" ../home 2>/dev/null && fail "an entry outside the folder was accepted"
[ -f "$work/home/notes.txt" ] || fail "an entry outside the folder was removed"

[ "$failures" -eq 0 ] && echo "run output folder: all checks passed"
exit $((failures != 0))
