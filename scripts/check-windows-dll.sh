#!/usr/bin/env bash
# Checks that a Windows DLL (or EXE) stands on its own on a clean Windows
# machine: it imports only DLLs that ship with Windows, and, when a module
# definition file or export names are given, exports exactly those names,
# undecorated.
#
#   scripts/check-windows-dll.sh <file.dll> [<exports.def> | NAME...]
#
# Exit status 0 when the file passes, 1 with the reasons otherwise.
set -euo pipefail

# The system DLLs a product binary may import (lower case). Extend here.
system_dlls=(
  kernel32.dll user32.dll advapi32.dll version.dll oleaut32.dll ole32.dll
  msvcrt.dll ucrtbase.dll ntdll.dll gdi32.dll shell32.dll ws2_32.dll
  crypt32.dll wintrust.dll imagehlp.dll psapi.dll bcrypt.dll
)

binary=${1:?usage: check-windows-dll.sh <file.dll> [<exports.def> | NAME...]}
shift
def=
names=()
if [ $# = 1 ] && [[ "$1" == *.def ]]; then def=$1; elif [ $# -gt 0 ]; then names=("$@"); fi
[ -f "$binary" ] || { echo "check-windows-dll: $binary: no such file" >&2; exit 1; }

case "$(objdump -f "$binary" 2>/dev/null | sed -n 's/.*file format //p')" in
  pei-i386) objdump=i686-w64-mingw32-objdump ;;
  pei-x86-64) objdump=x86_64-w64-mingw32-objdump ;;
  *) case "$(od -An -tx1 -j0 -N2 "$binary" | tr -d ' ')" in
       4d5a) objdump=x86_64-w64-mingw32-objdump; command -v "$objdump" >/dev/null || objdump=i686-w64-mingw32-objdump ;;
       *) echo "check-windows-dll: $binary is not a PE file" >&2; exit 1 ;;
     esac ;;
esac
headers=$("$objdump" -p "$binary")

failed=0
wanted=
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  allowed=0
  for s in "${system_dlls[@]}"; do [ "$dll" = "$s" ] && allowed=1; done
  # The universal C run-time comes as api-ms-win-crt-*.dll forwarders.
  [[ "$dll" == api-ms-win-crt-*.dll ]] && allowed=1
  if [ $allowed = 0 ]; then
    echo "check-windows-dll: $binary imports $dll, which Windows does not ship" >&2
    failed=1
  fi
done

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$headers" | sort -u)
if [ -n "$def" ] || [ ${#names[@]} -gt 0 ]; then
  if [ -n "$def" ]; then
    # The names left of any '=' in the EXPORTS section, without ordinals or flags.
    wanted=$(sed -n '/^[[:space:]]*EXPORTS/,$p' "$def" | sed '1d; s/;.*//' |
             awk 'NF { split($1, a, "="); print a[1] }' | sort -u)
  else
    wanted=$(printf '%s\n' "${names[@]}" | sort -u)
  fi
  missing=$(comm -23 <(echo "$wanted") <(echo "$exports"))
  extra=$(comm -13 <(echo "$wanted") <(echo "$exports"))
  if [ -n "$missing" ]; then
    echo "check-windows-dll: $binary does not export (undecorated): $(echo $missing)" >&2
    failed=1
  fi
  if [ -n "$extra" ]; then
    echo "check-windows-dll: $binary exports names not asked for: $(echo $extra | cut -c1-300)" >&2
    failed=1
  fi
fi

if [ $failed = 0 ]; then
  echo "check-windows-dll: $binary ok: imports $(echo $imports)${wanted:+; exports $(echo $exports)}"
fi
exit $failed
