#!/usr/bin/env bash
# The main job, end to end on Linux: a real plug-in module is signed, verified,
# copied, loaded, started, fed data requests and stopped by the host's module
# runner, a tampered copy is refused, and the sealed log is decrypted and its
# hash chain verified.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

scripts/install-deps.sh

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "Building (native preset)"
cmake --preset native >/dev/null
cmake --build --preset native -j "${JOBS:-$(nproc)}" --target zrlog zrsign zrmodrun echo
bin=$root/build/native
zrlog=$bin/tools/zrlog/zrlog
zrsign=$bin/tools/zrsign/zrsign
zrmodrun=$bin/tools/zrmodrun/zrmodrun

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/pki" "$demo/modules"
cd "$demo"

# The log level comes from the registry; on Linux the registry is a .reg file.
cat > registry.reg <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\KVL\zrmodproc]
"debug"=dword:00000004
EOF
export ZRWIN_REGISTRY=$demo/registry.reg

say "A certificate authority and a code-signing certificate for the expected publisher"
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

say "Signing the echo sample module"
cp "$bin/modules/echo.kvl" modules/echo.kvl
run "$zrsign" sign --cert pki/signer.pem --key pki/signer.key modules/echo.kvl
run "$zrsign" list modules/echo.kvl
run "$zrsign" verify modules/echo.kvl

say "The host's module runner: verify, private copy, load, Start, data requests, Stop"
run "$zrmodrun" --params "demo=1" modules/echo.kvl \
  --data ZR_GETOPTION proxy.host \
  --data ZR_SETOPTION "proxy.port=8080" \
  --data ZR_RUN_SCRIPT "print('hello from the agent')"
echo "files left beside the module (the private copy is gone):"
ls -A modules

say "The same module on the threaded strategy"
run "$zrmodrun" --threaded modules/echo.kvl --data ZR_IS_CURRUSER_LOCAL_ADMIN ""

say "A tampered module is refused before anything of it is loaded"
cp modules/echo.kvl modules/tampered.kvl
printf 'X' | dd of=modules/tampered.kvl bs=1 seek=100 conv=notrunc 2>/dev/null
if "$zrmodrun" modules/tampered.kvl --data ZR_GETOPTION x; then
  echo "unexpected: the tampered module was accepted" >&2
  exit 1
fi
echo "(refused, as it must be)"

say "An unsigned module is refused too, and runs only with the check switched off"
cp "$bin/modules/echo.kvl" modules/unsigned.kvl
if "$zrmodrun" modules/unsigned.kvl; then
  echo "unexpected: the unsigned module was accepted" >&2
  exit 1
fi
run "$zrmodrun" --no-check modules/unsigned.kvl --data ZR_GETOPTION x

say "The sealed log: raw records, decrypted lines, chain verification"
echo "first raw record:"
head -n 1 kvlzrmodproc.log | cut -c1-120
echo "..."
run "$zrlog" show kvlzrmodproc.log | tail -n 40
run "$zrlog" verify kvlzrmodproc.log

say "Done: everything above ran in $demo"
