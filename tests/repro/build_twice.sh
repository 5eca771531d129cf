#!/usr/bin/env bash
# Builds the programs twice from the same commit, in two folders of
# different names and depths, and compares them byte for byte:
# 3pupdate.exe and 3ppack.exe (win32 preset), 3pupdate and 3ppack (host).
# A difference means a build path, a time stamp or some other trace of the
# build has crept into a program.
#   tests/repro/build_twice.sh [COMMIT]     (default HEAD)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=${1:-HEAD}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/a
second=$work/a-second-copy/deeper
programs=(win32/bin/3pupdate.exe win32/bin/3ppack.exe host/bin/3pupdate host/bin/3ppack)

for tree in "$first" "$second"; do
  mkdir -p "$tree"
  git -C "$repo" archive "$commit" | tar -x -C "$tree"
  for preset in host win32; do
    (cd "$tree" && cmake --preset "$preset" -DUPDATER_TESTS=OFF >/dev/null &&
      cmake --build --preset "$preset" -j 2 --target 3pupdate 3ppack >/dev/null)
  done
done

status=0
for program in "${programs[@]}"; do
  if cmp -s "$first/build/$program" "$second/build/$program"; then
    echo "same       $program ($(stat -c %s "$first/build/$program") bytes)"
  else
    echo "DIFFERENT  $program"
    cmp -l "$first/build/$program" "$second/build/$program" | head -5 || true
    status=1
  fi
done
# The PE header's TimeDateStamp (at the header's offset, read from 0x3C, plus 8).
for program in win32/bin/3pupdate.exe win32/bin/3ppack.exe; do
  file=$first/build/$program
  header=$(od -An -tu4 -j 60 -N 4 "$file" | tr -d ' ')
  stamp=$(od -An -tu4 -j $((header + 8)) -N 4 "$file" | tr -d ' ')
  if [ "$stamp" != 0 ]; then
    echo "TIME STAMP $program: $stamp"
    status=1
  fi
done
for program in "${programs[@]}"; do
  if grep -q -a -e "$work" "$first/build/$program"; then
    echo "BUILD PATH in $program"
    status=1
  fi
done
[ $status -eq 0 ] && echo "build_twice: every program is the same byte for byte"
exit $status
