#!/usr/bin/env bash
# ThreadSanitizer over the threaded code: the serial writer, the link on
# scripted and simulated boards, the playback thread on every path, and the
# window's call queue. Builds only those tests (tsan preset, with the Qt
# part for the call queue) and runs them; any report fails the run. Prints
# how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
start=$(date +%s)

tests=(
  transport_tests                 # the buffered writer's thread
  protocol_serial_link_tests      # the link and its writer
  protocol_connection_tests
  protocol_serial_link_sim_tests  # the link against board threads
  player_thread_tests             # the playback thread: register and ADPCM paths
  kl2_dac_player_tests            # the playback thread: the KL2 DAC path
  fault_matrix_tests              # every path failing on every board fault
  gui_call_queue_tests            # calls from playback threads to the GUI thread
)

cmake --preset tsan -DKLINK_BUILD_GUI=ON >/dev/null
cmake --build --preset tsan -j "$jobs" --target "${tests[@]}"

labels=$(IFS='|'; echo "${tests[*]}")
# halt_on_error: the first report fails its test. A test's own time limits
# stay as they are: the simulated boards run in real time under the sanitizer too.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
QT_QPA_PLATFORM=offscreen ctest --preset tsan -j "$jobs" -L "^(${labels})\$"

echo "== tsan: $(($(date +%s) - start)) s"
