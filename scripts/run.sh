#!/usr/bin/env bash
# Builds nusk into build/ and starts build/bin/nusk (under xvfb-run when there is no display).
# Arguments are passed to the program, e.g. scripts/run.sh --config-dir=/tmp/nusk-test
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build.sh
source "$root/scripts/build.sh"
nusk_build nusk

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display; the window runs on a virtual one (xvfb-run) and is not seen" >&2
  exec xvfb-run -a "$root/build/bin/nusk" "$@"
fi
exec "$root/build/bin/nusk" "$@"
