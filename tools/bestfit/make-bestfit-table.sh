#!/usr/bin/env bash
# Regenerates the POSIX layer's best-fit table of code page 1252 from the
# answers of Windows' WideCharToMultiByte, here those of wine64.
#   tools/bestfit/make-bestfit-table.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64 --target make_bestfit_table >/dev/null
out=src/platform/posix/kernel32/bestfit_1252.cpp
scripts/wine-run.sh build/mingw-x86_64/tools/bestfit/make_bestfit_table.exe 1252 | tr -d '\r' >"$out.new"
mv "$out.new" "$out"
echo "wrote $out ($(grep -o '{0x' "$out" | wc -l) entries)"
