#!/usr/bin/env bash
# Builds the command-line player and runs the main job: the bundled demo
# played on a simulated board.
# Extra arguments go to klinkplay instead of the default job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target klinkplay klinksim
if [ $# -gt 0 ]; then
  exec ./build/src/app/klinkplay "$@"
fi
exec ./build/src/app/klinkplay play samples/demo_ym2151.vgm
