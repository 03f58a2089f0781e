#!/usr/bin/env bash
# Installs the Debian package with dpkg (as root), builds a C program against
# the installed library through pkg-config and through find_package and runs
# both against the installed kr2270-sim, checks kr2270 and the Python package
# from Debian's python3, then removes (purges) the package again. Refuses to run
# where kr2270c is installed already: that copy is not this test's to remove.
#
#   tests/deb_test.sh PACKAGE.deb
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deb=$(realpath "$1")

fail() {
  echo "deb_test: $*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || fail "needs root for dpkg -i"
if dpkg-query -W -f='${Status}' kr2270c 2>/dev/null | grep -q "install ok installed"; then
  fail "kr2270c is installed already; remove it first (dpkg -r kr2270c)"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kr2270-deb-XXXXXX")
sim_pid=
installed=0
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [[ $installed -eq 0 ]] || dpkg --purge kr2270c >/dev/null || echo "deb_test: dpkg --purge kr2270c failed" >&2
  rm -rf "$work"
}
trap cleanup EXIT

# Other engineers' apt runs may hold the lock for a while.
dpkg_wait() {
  local tries=0
  until "$@" >"$work/dpkg.log" 2>&1; do
    grep -q "lock" "$work/dpkg.log" && [[ $tries -lt 120 ]] || { cat "$work/dpkg.log"; return 1; }
    tries=$((tries + 1))
    sleep 5
  done
}
installed=1
dpkg_wait dpkg -i "$deb" || fail "dpkg -i failed"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch

# The files where Debian keeps them.
for file in "$libdir/libkr2270c.so.1" "$libdir/libkr2270c.so" "$libdir/pkgconfig/kr2270c.pc" \
            "$libdir/cmake/kr2270c/kr2270cConfig.cmake" /usr/include/kr2270c.h /usr/bin/kr2270 \
            /usr/bin/kr2270-sim /usr/lib/python3/dist-packages/kr2270/__init__.py \
            /usr/share/doc/kr2270c/copyright /usr/share/doc/kr2270c/README.md; do
  [[ -e $file ]] || fail "$file is not installed"
done
[[ $(readlink "$libdir/libkr2270c.so.1") == libkr2270c.so.1.* ]] || fail "no soname link"
# Whole outputs first: grep -q leaving early would break the pipe (pipefail).
headers=$(objdump -p "$libdir/libkr2270c.so.1")
grep -q "SONAME *libkr2270c.so.1" <<<"$headers" || fail "wrong soname"
headers=$(objdump -p /usr/bin/kr2270)
if grep -qE "R(UN)?PATH" <<<"$headers"; then fail "kr2270 carries a run path"; fi

# A consumer, built both ways against the system copy only.
example=$root/examples/snapshot.c
cc -std=c11 -Wall -Werror -o "$work/example_pc" "$example" $(pkg-config --cflags --libs kr2270c) ||
  fail "pkg-config build failed"
{ cmake -S tests/package_consumer -B "$work/consumer/build" -DEXAMPLE_C="$example" &&
    cmake --build "$work/consumer/build"; } >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "find_package build failed"; }

/usr/bin/kr2270-sim >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
ports=
for _ in $(seq 100); do
  ports=$(grep -o 'command_port=[0-9]* data_port=[0-9]*' "$work/sim.out" || true)
  [[ -n $ports ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1  # the simulator gives no other sign that it listens
done
[[ -n $ports ]] || { cat "$work/sim.err"; fail "the installed kr2270-sim did not start"; }
port=$(sed 's/command_port=\([0-9]*\).*/\1/' <<<"$ports")
data_port=$(sed 's/.*data_port=//' <<<"$ports")

for program in "$work/example_pc" "$work/consumer/build/example_cmake"; do
  output=$(env -u LD_LIBRARY_PATH timeout 60 "$program" 127.0.0.1 "$port" "$data_port") ||
    fail "$program failed"
  [[ $(grep -c '^ai[1-8] ' <<<"$output") -eq 8 ]] || fail "$program: unexpected output: $output"
  used=$(ldd "$program" | awk '/libkr2270c/ {print $3}')
  [[ $(realpath "$used") == $(realpath "$libdir/libkr2270c.so.1") ]] || fail "$program uses $used"
done
env -u LD_LIBRARY_PATH /usr/bin/kr2270 info --host 127.0.0.1 --port "$port" --data-port "$data_port" \
  >"$work/info.out" || fail "the installed kr2270 failed"
grep -q '^ai8 ' "$work/info.out" || fail "kr2270 info printed no snapshot"

# Debian's python3 finds the package without PYTHONPATH, and it loads the
# installed library.
loaded=$(cd "$work" && env -u PYTHONPATH -u KR2270C_LIBRARY -u KR2270_SIM -u LD_LIBRARY_PATH \
  timeout 60 /usr/bin/python3 -c "
import kr2270
with kr2270.Device('127.0.0.1', $port, $data_port) as dev:
    assert 'ai1' in dev.snapshot()
print(kr2270.find_library())") || fail "import kr2270 failed"
[[ $(realpath "$loaded") == $(realpath "$libdir/libkr2270c.so.1") ]] || fail "Python loads $loaded"

kill -INT "$sim_pid"
wait "$sim_pid" || true
sim_pid=
dpkg_wait dpkg --purge kr2270c || fail "dpkg --purge failed"
installed=0
for file in "$libdir/libkr2270c.so.1" /usr/bin/kr2270 /usr/lib/python3/dist-packages/kr2270; do
  [[ ! -e $file ]] || fail "$file is left after dpkg --purge"
done
echo "deb_test: installed, built against with pkg-config and find_package, imported, removed"
