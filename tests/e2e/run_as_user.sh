#!/usr/bin/env bash
# Runs a Wine suite a second way: as an unprivileged user, where Wine itself
# refuses to open a read-only file for writing, as Windows does even for an
# administrator (Wine running as root does not). Creates the user once
# (updater-wine, no login, no home), gives it a work folder of its own under
# build/, and runs the command there:
#
#     tests/e2e/run_as_user.sh tests/e2e/run_scenarios.py --target wine ...
#     tests/e2e/run_as_user.sh tests/e2e/run_scenarios.py --target wine \
#         --scenarios tests/e2e/wine_only ...
#
# Must be started as root; the repository and the builds need only be
# readable by others.
set -euo pipefail
cd "$(dirname "$0")/../.."
user=updater-wine
if [ "$(id -u)" != 0 ]; then
  echo "run_as_user.sh: must be started as root (it creates the user $user)"; exit 1
fi
if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$user"
fi
# The user must reach the repository: a folder above it that others may not
# pass through (a private temporary folder, say) gets the search bit for
# others, and nothing more (its listing stays private).
folder=$PWD
while [ "$folder" != / ]; do
  if [ -n "$(find "$folder" -maxdepth 0 ! -perm -o=x)" ]; then chmod o+x "$folder"; fi
  folder=$(dirname "$folder")
done
work=$PWD/build/as-user
mkdir -p "$work"
chown "$user:" "$work"
script=$1; shift
exec runuser -u "$user" -- env PYTHONDONTWRITEBYTECODE=1 \
  python3 "$script" --work-dir "$work" "$@"
