#!/usr/bin/env bash
# The archive tool's own suite: round trips of 3ppack create/list/test/extract
# over odd inputs, refusals, damaged archives. Prints "N passed, N failed"
# last and fails when any case fails.
#   tests/pack/run_pack_tests.sh [PATH_TO_3PPACK]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pack=${1:-$here/../../build/host/bin/3ppack}
exec python3 "$here/pack_cli_test.py" "$pack"
