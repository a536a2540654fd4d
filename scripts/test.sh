#!/usr/bin/env bash
# Builds everything into build/ and runs every test; fails when any test fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build.sh
source "$root/scripts/build.sh"
nusk_build all

cd "$root/build"
ctest --output-on-failure -j "${NUSK_JOBS:-$(nproc)}"
