#!/usr/bin/env bash
# Drives scripts/install-deps.sh through a package mirror in the middle of a
# sync, with stand-ins for apt-get, dpkg and the other system commands on the
# PATH: an index update that fails, an install that fails until the security
# suite is ranked lower, an install that fails for good, a run killed during
# that second install, a preferences file such a run left, and a machine that
# lacks nothing (no output at all).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# apt-get: logs each call; "update" fails while the file update-failures holds
# a count above zero; "install" fails unless the preferences file exists (or
# always, with install-fails-always), keeps a copy of that file as it found it
# (prefs-seen), and with killed-during-install kills the script that called it.
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $1" >>"$STANDIN_DIR/calls"
case $1 in
  update)
    n=$(cat "$STANDIN_DIR/update-failures" 2>/dev/null || echo 0)
    if [ "$n" -gt 0 ]; then echo $((n - 1)) >"$STANDIN_DIR/update-failures"; echo "E: Mirror sync in progress?" >&2; exit 100; fi ;;
  install)
    [ -e "$INSTALL_DEPS_PREFERENCES" ] && cp "$INSTALL_DEPS_PREFERENCES" "$STANDIN_DIR/prefs-seen"
    [ -e "$INSTALL_DEPS_PREFERENCES" ] && [ -e "$STANDIN_DIR/killed-during-install" ] &&
      { kill -TERM "$PPID"; exit 100; }
    [ -e "$STANDIN_DIR/install-fails-always" ] && exit 100
    [ -e "$INSTALL_DEPS_PREFERENCES" ] || { echo "E: Unable to correct problems" >&2; exit 100; } ;;
esac
exit 0
STANDIN
# dpkg-query: every package missing unless nothing-missing exists.
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
[ -e "$STANDIN_DIR/nothing-missing" ] && printf 'install ok installed'
exit 0
STANDIN
printf '#!/bin/sh\necho i386\n' >"$work/bin/dpkg"
printf '#!/bin/sh\necho ja_JP.utf8\n' >"$work/bin/locale"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin"/*

failures=0
failed_names=""
# Counts a failure of the current case (named by the FAIL line before it).
fail_case() {
  failures=$((failures + 1))
  case $'\n'$failed_names$'\n' in *$'\n'"$(basename "$STANDIN_DIR")"$'\n'*) ;;
    *) failed_names+="$(basename "$STANDIN_DIR")"$'\n' ;; esac
}
# Runs install-deps in a fresh stand-in folder; $1 is the expected status.
run_case() {
  local name=$1 expected=$2 setup=$3 status=0
  export STANDIN_DIR="$work/$name"
  mkdir "$STANDIN_DIR"
  eval "$setup"
  # (in a subshell of its own, which tells of a run killed into out)
  (PATH="$work/bin:$PATH" INSTALL_DEPS_RETRY_PAUSE=0 INSTALL_DEPS_PREFERENCES="$STANDIN_DIR/prefs" \
    bash "$repo/scripts/install-deps.sh"; exit $?) >"$STANDIN_DIR/out" 2>&1 || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL $name: status $status, expected $expected"; sed 's/^/  /' "$STANDIN_DIR/out"
    fail_case
  fi
}
# Fails the case when file $2 of case $1 does not hold the line $3 exactly $4 times.
expect_count() {
  local got
  got=$(grep -c -x -F -- "$3" "$work/$1/$2" || true)
  [ "$got" -eq "$4" ] || { echo "FAIL $1: '$3' $got times in $2, expected $4"; fail_case; }
}
expect_no_preferences() {
  [ ! -e "$work/$1/prefs" ] || { echo "FAIL $1: the preferences file was left behind"; fail_case; }
}
# Fails the case unless the second install saw the preferences file with
# exactly the lines that rank the security suite below the release.
expect_preferences_seen() {
  printf '%s\n' 'Package: *' 'Pin: release l=Debian-Security' 'Pin-Priority: 100' >"$work/$1/prefs-wanted"
  cmp -s "$work/$1/prefs-wanted" "$work/$1/prefs-seen" ||
    { echo "FAIL $1: the second install saw another preferences file"; fail_case; }
}

run_case nothing-missing 0 'touch "$STANDIN_DIR/nothing-missing"'
[ ! -s "$work/nothing-missing/out" ] && [ ! -e "$work/nothing-missing/calls" ] ||
  { echo "FAIL nothing-missing: it spoke or called apt-get"; fail_case; }

# The index fails twice, then updates; the install goes through only with the
# security suite ranked lower.
run_case sync-then-skew 0 'echo 2 >"$STANDIN_DIR/update-failures"'
expect_count sync-then-skew calls "apt-get update" 3
expect_count sync-then-skew calls "apt-get install" 2
expect_no_preferences sync-then-skew
expect_preferences_seen sync-then-skew

# The index fails once: it is tried exactly once more, and nobody hears of
# lists that still fail.
run_case sync-once 0 'echo 1 >"$STANDIN_DIR/update-failures"'
expect_count sync-once calls "apt-get update" 2
! grep -q 'going on with the lists apt has' "$work/sync-once/out" ||
  { echo "FAIL sync-once: the index settled, yet it says it goes on without"; fail_case; }

# A run killed while the security suite is ranked lower leaves no
# preferences file behind.
run_case killed 143 'touch "$STANDIN_DIR/killed-during-install"'
expect_no_preferences killed

# A preferences file that a killed run left (by SIGKILL, or a power cut) is
# removed by the next run, even one that has nothing to install.
run_case leftover 0 'touch "$STANDIN_DIR/nothing-missing"; echo "Pin-Priority: 100" >"$STANDIN_DIR/prefs"'
expect_no_preferences leftover

# The index never settles: the install still goes on with the lists apt has.
run_case index-never-settles 0 'echo 99 >"$STANDIN_DIR/update-failures"'
expect_count index-never-settles calls "apt-get update" 3
grep -q 'going on with the lists apt has' "$work/index-never-settles/out" ||
  { echo "FAIL index-never-settles: no word of going on"; fail_case; }

# An install that fails both ways fails the script, and cleans up.
run_case install-fails 100 'touch "$STANDIN_DIR/install-fails-always"'
expect_count install-fails calls "apt-get install" 2
expect_no_preferences install-fails

failed_cases=$(grep -c . <<<"$failed_names" || true)
echo "$((7 - failed_cases)) passed, $failed_cases failed"
[ "$failures" -eq 0 ]
