#!/usr/bin/env bash
# The whole system, end to end on Linux, as a newcomer should first see it:
# the reference parent `zragent` starts a real host process, the host
# verifies and starts a signed module, data requests go through and come
# back, a module's window messages reach the parent, the module is stopped
# and the host ends; a tampered module is refused with the host's verdict;
# the host's sealed log is verified and read.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

scripts/install-deps.sh

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Commands are printed quoted, so each can be pasted back into a shell (from build/demo).
run() {
  local shown=("${@/#$bin\//..\/native\/}")
  printf '$'; printf ' %q' "${shown[@]}"; printf '\n'
  "$@"
}

step "Building (native preset)"
cmake --preset native >/dev/null
cmake --build --preset native -j "${JOBS:-$(nproc)}" \
  --target zrlog zrsign zragent zrrundll zrmodproc echo relay | tail -n 1
bin=$root/build/native
zrlog=$bin/tools/zrlog/zrlog
zrsign=$bin/tools/zrsign/zrsign
zragent=$bin/tools/zragent/zragent

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/pki" "$demo/modules"
cd "$demo"

# The host reads its log level from the registry; on Linux that is a .reg file.
cat > registry.reg <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\KVL\zrmodproc]
"debug"=dword:00000003
REG
export ZRWIN_REGISTRY=$demo/registry.reg

step "A test certificate authority and a code-signing certificate for the expected publisher"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout pki/ca.key -out pki/ca.pem \
  -subj "/CN=zrmodproc demo root" -days 30 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout pki/signer.key -out pki/signer.csr \
  -subj "/O=Demo/CN=Vorlandix Pertholme GmbH" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nbasicConstraints=CA:FALSE\n' > pki/signer.ext
openssl x509 -req -in pki/signer.csr -CA pki/ca.pem -CAkey pki/ca.key -CAcreateserial -out pki/signer.pem \
  -days 7 -extfile pki/signer.ext 2>/dev/null
openssl x509 -in pki/signer.pem -noout -subject -issuer
export ZRWIN_TRUST_ROOTS=$demo/pki/ca.pem

step "Signing the echo and relay sample modules"
for m in echo relay; do
  cp "$bin/modules/$m.kvl" modules/$m.kvl
  run "$zrsign" sign --cert pki/signer.pem --key pki/signer.key modules/$m.kvl
done
run "$zrsign" verify modules/echo.kvl

step "zragent starts a real host; the host verifies and starts echo; data requests go through and back"
run "$zragent" run modules/echo.kvl \
  --data ZR_GETOPTION:proxy.host \
  --data ZR_SETOPTION:proxy.port=8080 \
  --data "ZR_RUN_SCRIPT:print('hello from the agent')"
echo "left beside the module (no private copy, no lock file):"
ls -A modules

step "The module talks back: relay sends window messages through the host's window"
run "$zragent" run modules/relay.kvl --window \
  --data ZR_SETOPTION:proxy.port=8080 \
  --data ZR_GETOPTION:proxy.host \
  --data "ZR_RUN_SCRIPT:7 -1"

step "The same conversation for machines: one JSON object per event (raw MStartModule start)"
run "$zragent" run modules/echo.kvl --json --raw-start --data 2:proxy.host

step "A tampered module is refused with the host's verdict"
cp modules/echo.kvl modules/tampered.kvl
printf 'X' | dd of=modules/tampered.kvl bs=1 seek=100 conv=notrunc 2>/dev/null
status=0
run "$zragent" run modules/tampered.kvl --data ZR_GETOPTION:x || status=$?
if [ "$status" -ne 1 ]; then
  echo "unexpected: zragent gave $status for a tampered module" >&2
  exit 1
fi
echo "(refused, zragent exit status $status)"

step "The host's sealed log: chain verification, then the last decrypted lines"
run "$zrlog" verify kvlzrmodproc.log
echo "(the host's own account of the tampered module, the last conversation:)"
run "$zrlog" show kvlzrmodproc.log | grep -aE "not signed|Start failed|Reply to MStartModuleExec|WM_QUIT|Exiting" \
  | tail -n 6 | cut -c26-

step "Done: everything above ran in $demo"
