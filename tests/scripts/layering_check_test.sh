#!/usr/bin/env bash
# The layering check refuses an include that points up, a folder it has no rule for and
# a kept exception that no longer exists, and accepts a tree whose arrows all point down.
# Usage: layering_check_test.sh <check-layering.py>
set -u
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tree() {  # a small tree: channel below composer, one kept exception
  rm -rf "$work/t" && mkdir -p "$work/t/src/channel" "$work/t/src/composer" "$work/t/cmake"
  printf 'src/channel: platform\nsrc/composer: channel\nsrc/composer/keep.cpp > filter/old.h\n' >"$work/t/cmake/layering.txt"
  printf '#include "channel/region.h"\n#include "beside.h"\n' >"$work/t/src/composer/image.cpp"
  printf '#include "filter/old.h"\n' >"$work/t/src/composer/keep.cpp"
  printf '#include "platform/clock.h"\n' >"$work/t/src/channel/region.h"
}

tree
python3 "$check" "$work/t" >"$work/out" || fail "a tree whose includes point down was refused: $(cat "$work/out")"

tree
printf '#include "composer/image.h"\n' >>"$work/t/src/channel/region.h"
if python3 "$check" "$work/t" >"$work/out"; then fail "an upward include was accepted"; fi
grep -q 'src/channel/region.h:2: includes "composer/image.h", but src/channel may include only from: platform' "$work/out" ||
  fail "the refusal does not name the file, line and rule: $(cat "$work/out")"

tree
mkdir -p "$work/t/src/stream" && printf '\n' >"$work/t/src/stream/step.cpp"
if python3 "$check" "$work/t" >"$work/out"; then fail "a folder without a rule was accepted"; fi
grep -q 'src/stream has no line' "$work/out" || fail "the missing rule is not named: $(cat "$work/out")"

tree
rm "$work/t/src/composer/keep.cpp"
if python3 "$check" "$work/t" >"$work/out"; then fail "a stale kept include was accepted"; fi
grep -q 'src/composer/keep.cpp > filter/old.h is gone' "$work/out" || fail "the stale line is not named: $(cat "$work/out")"

tree
printf 'src/channel platform\n' >"$work/t/cmake/layering.txt"
python3 "$check" "$work/t" >"$work/out"
[ $? -eq 2 ] || fail "unreadable rules did not give status 2"

[ "$failures" -eq 0 ] && echo "layering check: all cases pass"
exit "$failures"
