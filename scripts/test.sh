#!/usr/bin/env bash
# Builds everything into build/ and runs every test; then builds the tests that guard memory
# and thread safety with AddressSanitizer (build-asan/) and ThreadSanitizer (build-tsan/) and
# runs them there. Fails when any test fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build.sh
source "$root/scripts/build.sh"
"$root/scripts/check-layers.sh"
nusk_build all

cd "$root/build"
ctest --output-on-failure -j "${NUSK_JOBS:-$(nproc)}"

# Decoders of peer input, the channel, the file server and the image decoders under
# AddressSanitizer and UBSan.
ASAN_TESTS=(tst_termstream tst_fsoparser tst_fsoclient fso_corpus_replay tst_link tst_crypto tst_descriptorstream
            tst_access tst_server tst_serverstress tst_copyjob tst_jobmodel
            tst_decoders tst_imagepipeline tst_preview tst_svgtext)
# The file server's workers and open-file table, the version guard's lingering files, the link's
# batched sealing and the UDP transport's datagram tags on helper threads, under ThreadSanitizer.
TSAN_TESTS=(tst_serverstress tst_server tst_jobrunner tst_serverlisting tst_link tst_descriptorstream
            tst_udptransport tst_versionguard)
[ -n "${NUSK_ASAN_EXTRA:-}" ] && ASAN_TESTS+=(${NUSK_ASAN_EXTRA})

nusk_sanitizer_run() {
  local dir="$1" option="$2"; shift 2
  local tests=("$@")
  [ ${#tests[@]} -gt 0 ] || return 0
  local gen=()
  [ -f "$root/$dir/CMakeCache.txt" ] || gen=(-G Ninja)
  cmake -S "$root" -B "$root/$dir" "${gen[@]}" -D"$option"=ON -DNUSK_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$root/$dir" --target "${tests[@]}" -j "${NUSK_JOBS:-$(nproc)}"
  local regex
  regex="($(IFS='|'; echo "${tests[*]}"))\$"
  # Sanitized code runs several times slower: the tests' wait limits stretch with it.
  (cd "$root/$dir" && NUSK_TEST_TIMEOUT_SCALE="${NUSK_TEST_TIMEOUT_SCALE:-3}" ASAN_OPTIONS=detect_leaks=0 TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
     ctest --output-on-failure -R "$regex")
}

nusk_sanitizer_run build-asan NUSK_SANITIZE "${ASAN_TESTS[@]}"
nusk_sanitizer_run build-tsan NUSK_TSAN "${TSAN_TESTS[@]}"
