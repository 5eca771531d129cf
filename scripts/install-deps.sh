#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need, as root.
# Does nothing, and says nothing, when everything is there already.
#
# A package mirror in the middle of a sync can fail one index ("File has
# unexpected size ... Mirror sync in progress?") while the others are fine.
# The index update is then tried a few times and, if one list still fails, the
# install goes on with the lists apt has. When the install then fails because
# one architecture's list of a suite is missing or older than the other's (a
# multiarch pair must have one version), it is tried once more with that suite
# ranked below the release's own (an apt preferences file, removed afterwards,
# however the script ends; a file that a killed run left is removed first, so
# that no machine keeps security updates ranked low).
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev zlib1g-dev python3 locales tmux
          clang libclang-rt-14-dev valgrind mingw-w64 wine wine64
          # the benchmark's real corpora: Japanese manual pages (converted to
          # code page 932), icons (converted to 24-bit bitmaps with PIL); the
          # Windows DLLs come with wine32
          manpages-ja python3-pil oxygen-icon-theme
          # the archive trailer's digest and signatures on the host (libcrypto;
          # openssl reads the public key a key build embeds, and makes keys);
          # Authenticode signing of the release programs
          libssl-dev openssl osslsigncode
          # the tests that watch which files a program creates (keygen, a refused
          # signed archive)
          strace
          # zlib for the 32-bit Windows benchmark (linked statically)
          libz-mingw-w64-dev
          # the hardening check that each rename is followed by its folder's flush
          strace)

# The retry check (tests/scripts/install_deps_check.sh) shortens the pause and
# keeps the preferences file in its own folder.
retry_pause=${INSTALL_DEPS_RETRY_PAUSE:-5}
preferences=${INSTALL_DEPS_PREFERENCES:-/etc/apt/preferences.d/zz-install-deps-skew}
update_tries=3

say() { echo "install-deps: $*" >&2; }

# The preferences file exists only while the second install runs; one found
# now was left by a run that was killed then. The trap removes the file
# however this run ends (an error, Ctrl-C, SIGTERM).
if [ -e "$preferences" ]; then
  say "removing $preferences, left by an interrupted run"
  rm -f "$preferences" || say "cannot remove it: run as root"
fi
trap 'rm -f "$preferences"' EXIT

# Wine's 32-bit loader only where this machine runs 32-bit code: on a
# 64-bit-only kernel the Windows suites run the 64-bit build under wine64
# (scripts/wine-build.sh), and an installed 32-bit loader could not start.
runs32=$(bash "$(dirname "$0")/wine-build.sh" | sed -n 's/^WINE_RUNS_32BIT=//p')
if [ "$runs32" = yes ]; then packages+=(wine32); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# Updates the package lists, a few tries; a list that still fails is reported
# and the install goes on with what apt has (exit 0 either way).
update_lists() {
  local try
  for ((try = 1; try <= update_tries; try++)); do
    apt-get update -qq && return 0
    if ((try < update_tries)); then
      say "index update failed (try $try of $update_tries); trying again in ${retry_pause}s"
      sleep "$retry_pause"
    fi
  done
  say "index update still fails on some lists; going on with the lists apt has"
}

# Installs the missing packages; on failure, once more with the security suite
# ranked below the release (the usual source of a version skew between the
# amd64 and i386 halves of a multiarch pair while a mirror syncs).
install_missing() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" && return 0
  say "install failed; trying again with the security suite ranked below the release"
  printf '%s\n' 'Package: *' 'Pin: release l=Debian-Security' 'Pin-Priority: 100' >"$preferences"
  local status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" || status=$?
  rm -f "$preferences"
  if ((status == 0)); then
    say "installed with the security suite ranked below the release (some packages may lack the latest security update until the mirror settles)"
  else
    say "install failed again (status $status)"
  fi
  return "$status"
}

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    say "missing packages (${missing[*]}); run as root"
    exit 1
  fi
  # Wine's 32-bit half needs the i386 architecture.
  if [ "$runs32" = yes ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  update_lists
  install_missing "${missing[@]}"
fi

# Wine runs need a Japanese locale so that its ANSI code page is 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
