#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need, as root.
# Does nothing when everything is there already.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev zlib1g-dev python3 locales tmux
          clang libclang-rt-14-dev valgrind mingw-w64 wine wine32 wine64
          # the benchmark's real corpora: Japanese manual pages (converted to
          # code page 932), icons (converted to 24-bit bitmaps with PIL); the
          # Windows DLLs come with wine32
          manpages-ja python3-pil oxygen-icon-theme)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  # Wine's 32-bit half needs the i386 architecture.
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# Wine runs need a Japanese locale so that its ANSI code page is 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
