#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds an example against
# the installed copy twice, through pkg-config and through find_package, then
# runs both builds against a simulated module.
#
#   package_test.sh BUILD_DIR EXAMPLE_C KR2270_TOOL [SANITIZE]
#
# Exits 77 (skipped) for sanitizer builds: the installed library then needs
# the sanitizer runtime loaded first, which a plain C program does not do.
set -euo pipefail

build=$1
example=$2
tool=$3
sanitize=${4:-}
if [[ -n "$sanitize" ]]; then
  echo "skipped: sanitizer build ($sanitize)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kr2270-package-XXXXXX")
sim_pid=
cleanup() {
  if [[ -n "$sim_pid" ]]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package_test: $*" >&2
  exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install failed"
pc=$(find "$prefix" -name kr2270c.pc | head -n 1)
[[ -n "$pc" ]] || fail "no kr2270c.pc installed"
libdir=$(dirname "$(dirname "$pc")")
[[ -f "$prefix/include/kr2270c.h" ]] || fail "no kr2270c.h installed"
[[ -e "$libdir/libkr2270c.so" ]] || fail "no libkr2270c.so in $libdir"

# The installed tool finds the installed library on its own.
"$prefix/bin/kr2270" --help >/dev/null || fail "the installed kr2270 does not run"
found=$(ldd "$prefix/bin/kr2270" | awk '/libkr2270c/ {print $3}')
[[ "$(dirname "$(realpath "$found")")" == "$(realpath "$libdir")" ]] ||
  fail "the installed kr2270 uses $found, not the installed library"

# 1. pkg-config. The .pc file finds its prefix relative to itself, so an
# install into any prefix works as it is.
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs kr2270c)
cc -std=c11 -Wall -Werror -o "$work/example_pc" "$example" $flags || fail "pkg-config build failed"

# 2. find_package(kr2270c) and the imported target.
cmake -S "$(dirname "$0")/package_consumer" -B "$work/consumer/build" -DEXAMPLE_C="$example" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "find_package configure failed"; }
cmake --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "find_package build failed"; }

# Both run against the installed library only.
export LD_LIBRARY_PATH=$libdir
for program in "$work/example_pc" "$work/consumer/build/example_cmake"; do
  status=0
  "$program" >/dev/null 2>"$work/usage.txt" || status=$?
  [[ $status -eq 2 ]] && grep -q usage "$work/usage.txt" || fail "$program: no usage message"
done

# A simulated module to talk to: its first line names the ports,
# "command_port=N data_port=M".
mkfifo "$work/sim.out"
"$tool" sim >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 20 ports <&3 || fail "the simulated module did not start"
port=$(sed -n 's/^command_port=\([0-9]*\) data_port=[0-9]*$/\1/p' <<<"$ports")
data_port=$(sed -n 's/^command_port=[0-9]* data_port=\([0-9]*\)$/\1/p' <<<"$ports")
[[ -n "$port" && -n "$data_port" ]] || fail "the simulated module named no ports: $ports"

for program in "$work/example_pc" "$work/consumer/build/example_cmake"; do
  output=$(timeout 60 "$program" 127.0.0.1 "$port" "$data_port") || fail "$program failed"
  [[ $(grep -c '^ai[1-8] ' <<<"$output") -eq 8 ]] || fail "$program: unexpected output: $output"
  libraries=$(ldd "$program")
  grep -q "$libdir/libkr2270c.so" <<<"$libraries" || fail "$program does not use the installed library"
done
# The Python package, installed beside the library, loads the installed one.
package=$(find "$prefix" -path '*/kr2270/__init__.py' | head -n 1)
[[ -n "$package" ]] || fail "no Python package installed"
site=$(dirname "$(dirname "$package")")
if /usr/bin/python3 -c 'import numpy' 2>/dev/null; then
  loaded=$(cd "$work" && env -u KR2270C_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$site" \
    timeout 60 /usr/bin/python3 -c "
import kr2270
with kr2270.Device('127.0.0.1', $port, $data_port) as dev:
    assert 'ai1' in dev.snapshot()
print(kr2270.find_library())") || fail "the installed Python package does not work"
  [[ "$(dirname "$(realpath "$loaded")")" == "$(realpath "$libdir")" ]] ||
    fail "the installed Python package loads $loaded, not the installed library"
fi
echo "package_test: pkg-config, find_package and Python work against $prefix"
