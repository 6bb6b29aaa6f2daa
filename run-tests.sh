#!/usr/bin/env bash
# Builds zrmodproc and runs every test:
#   1. the product library cross-built for 32-bit Windows (mingw-w64 i686) and
#      for 64-bit Windows with the tests that run under wine64; both DLLs must
#      import only system DLLs,
#   2. short libFuzzer runs of every message decoder,
#   3. the whole suite under ThreadSanitizer,
#   4. the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer,
#   5. the whole suite in the native build (its CTest summary ends the output).
# Stops at the first failure. JOBS sets the build parallelism, FUZZ_SECONDS the
# length of each fuzz run (0 skips fuzzing).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
step() { printf '\n==== %s\n' "$*"; }

# A Windows build's DLLs stand on their own: system imports only; the host
# exports exactly what its module definition file lists (once it has one), the
# echo module its three entry points; zragent.exe needs nothing beside it.
check_dlls() {
  local build=$1 def=src/host/zrmodproc.def module
  scripts/check-windows-dll.sh "$build/src/host/zrmodproc.dll" $([ -f "$def" ] && echo "$def")
  scripts/check-windows-dll.sh "$build/modules/echo.kvl" Data Start Stop
  for module in "$build"/modules/zrtest_*.kvl; do scripts/check-windows-dll.sh "$module"; done
  scripts/check-windows-dll.sh "$build/tools/zragent/zragent.exe"
}

step "32-bit Windows cross build (mingw-w64 i686)"
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 -j "$JOBS"
check_dlls build/mingw-i686

step "64-bit Windows build, its tests under wine64 (mingw-w64 x86_64)"
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64 -j "$JOBS"
check_dlls build/mingw-x86_64
# Under wine64, in the prefix build/wineprefix (made by the first run).
ctest --preset mingw-x86_64 -j "$JOBS"

if [ "$FUZZ_SECONDS" != 0 ] && [ -x fuzz/run-fuzz.sh ]; then
  step "fuzzing every decoder for ${FUZZ_SECONDS}s each"
  fuzz/run-fuzz.sh "$FUZZ_SECONDS"
fi

for preset in tsan asan native; do
  step "build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS"
done
