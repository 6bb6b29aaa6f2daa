#!/usr/bin/env bash
# Builds the message-decoder fuzz targets with the "fuzz" preset and runs each
# for SECONDS seconds on a scratch copy of its seed corpus.
#
#   fuzz/run-fuzz.sh SECONDS
#
# ZR_FUZZ_BUILD_DIR  build folder (default: build/fuzz in the source tree)
# ZR_FUZZ_JOBS       parallel build jobs (default: 2)
#
# Fails when the build fails or any target crashes, leaks or breaks a round
# trip; the crashing input is kept under <build>/fuzz-findings/<target>/.
set -euo pipefail

if [[ $# -ne 1 || ! "$1" =~ ^[0-9]+$ || "$1" -eq 0 ]]; then
    echo "usage: $0 SECONDS" >&2
    exit 2
fi
seconds=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZR_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${ZR_FUZZ_JOBS:-2}

targets=(
    fuzz_msg_start_arguments
    fuzz_msg_start_exec
    fuzz_data_parameters
    fuzz_window_message_data
    fuzz_start_parameters
    fuzz_stop_parameters
    fuzz_lpc_process_request
    fuzz_port_frame
    fuzz_host_commands
)

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "$jobs"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zr-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz-findings"

failed=0
printf '%-28s %12s %8s  %s\n' target executions seconds result
for target in "${targets[@]}"; do
    work="$scratch/$target"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$root/fuzz/corpus/$target/"* "$work/corpus/"
    # The fuzzer's log folder and the decoders' current directory are the
    # scratch folder, never the repository.
    set +e
    (cd "$work" && "$build/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -timeout=25 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/output.txt" 2>&1)
    rc=$?
    set -e
    executions=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$work/output.txt" | tail -1)
    result=ok
    if [[ $rc -ne 0 ]]; then
        result="FAILED (exit $rc)"
        failed=1
        mkdir -p "$findings/$target"
        cp "$work/artifacts/"* "$findings/$target/" 2>/dev/null || true
        cp "$work/output.txt" "$findings/$target/output.txt"
    fi
    printf '%-28s %12s %8s  %s\n' "$target" "${executions:-?}" "$seconds" "$result"
    if [[ $rc -ne 0 ]]; then
        grep -E 'ERROR|SUMMARY|round trip|==[0-9]+==' "$work/output.txt" | head -20 >&2 || true
        echo "  input and output kept in $findings/$target" >&2
    fi
done
exit $failed
