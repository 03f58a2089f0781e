#!/usr/bin/env bash
# Cross-builds the library (kr2270c.dll), the tool (kr2270.exe), the examples
# and the tests for 64-bit Windows with mingw-w64 and runs them under Wine:
#   1. the export table of kr2270c.dll against the header and the Linux library,
#   2. the test suite (ctest in build-win),
#   3. recordings exchanged between the Linux and the Windows build,
#   4. the C example and kr2270.exe against the Linux simulated module on 127.0.0.1,
#   5. files: an existing CSV kept or replaced, a recording in a non-ASCII folder,
#   6. kr2270.exe scope: the Linux scope tests over HTTP against it.
# Uses the Linux build in build/ (made here when missing) for the simulator.
#   KR2270_WINDOWS_BUILD  build folder (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 googletest libcli11-dev libasio-dev cmake ninja-build

win=${KR2270_WINDOWS_BUILD:-build-win}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== Linux build (simulator, tool, exchange test)"
[ -f build/CMakeCache.txt ] ||
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKR2270_WERROR=ON -DKR2270_BUILD_BENCH=OFF \
    "${launcher[@]}" >/dev/null
cmake --build build -j2 --target kr2270c kr2270-sim kr2270 recording_exchange_test scope_http_test >/dev/null

echo "== Windows build"
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKR2270_WERROR=ON -DKR2270_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$win" -j2 >/dev/null
bin=$win/bin

passed=0
failed=0
check() {  # check NAME COMMAND...: runs one check of this script and counts it
  local name=$1
  shift
  if "$@"; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAILED: $name"
    failed=$((failed + 1))
  fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kr2270-windows-XXXXXX")
sim_pid=
export WINEDEBUG=-all WINEPREFIX=$work/wineprefix
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== exports of kr2270c.dll"
exports_match() {
  x86_64-w64-mingw32-objdump -p "$bin/kr2270c.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\] ' | awk '{print $NF}' | sort >"$work/dll"
  nm -D --defined-only build/libkr2270c.so | awk '$2 == "T" {sub(/@.*/, "", $3); print $3}' | sort >"$work/so"
  sed -n 's/^KR2270_API[^(]*[ *]\(KR2270_[A-Za-z0-9_]*\)(.*/\1/p' include/kr2270c.h | sort >"$work/header"
  echo "kr2270c.dll exports $(wc -l <"$work/dll") functions, the header declares $(wc -l <"$work/header")"
  # Exactly what the Linux library exports, and nothing the header does not declare.
  diff "$work/so" "$work/dll" && [ -z "$(comm -13 "$work/header" "$work/dll")" ] || return 1
  local undefined
  undefined=$(comm -23 "$work/header" "$work/dll" | tr '\n' ' ')
  [ -z "$undefined" ] || echo "declared, not defined in either build yet: $undefined"
}
check "kr2270c.dll exports the library's KR2270_* functions only" exports_match

# A wineserver started by the first test would inherit ctest's output pipe
# and keep that test from ending: start it, and the prefix, first.
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i >/dev/null 2>&1

echo "== test suite under Wine"
check "ctest under Wine" ctest --test-dir "$win" --output-on-failure -j2 --timeout 120

echo "== recordings between the builds"
exchange() {
  export KR2270_EXCHANGE_DIR=$work/exchange
  mkdir -p "$KR2270_EXCHANGE_DIR"
  # Each run writes its own recording and replays all it finds: the second
  # run of the Linux build sees the Windows one.
  build/tests/recording_exchange_test >"$work/exchange-1.out" &&
    wine "$bin/recording_exchange_test.exe" >"$work/exchange-2.out" &&
    build/tests/recording_exchange_test >"$work/exchange-3.out" &&
    grep -q "compared with 1 other" "$work/exchange-2.out" &&
    grep -q "compared with 1 other" "$work/exchange-3.out"
}
check "recordings are byte-identical and replay across the builds" exchange

echo "== against the Linux simulated module"
build/sim/kr2270-sim >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
ports=
for _ in $(seq 100); do
  ports=$(grep -o 'command_port=[0-9]* data_port=[0-9]*' "$work/sim.out" || true)
  [ -n "$ports" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1  # the simulator gives no other sign that it listens
done
[ -n "$ports" ] || { cat "$work/sim.err" >&2; echo "FAILED: the simulator did not start"; exit 1; }
cport=$(echo "$ports" | sed 's/command_port=\([0-9]*\).*/\1/')
dport=$(echo "$ports" | sed 's/.*data_port=\([0-9]*\)/\1/')
echo "simulator on 127.0.0.1, command port $cport, data port $dport"

continuous() {
  # Windows' text-mode output ends lines with CR LF.
  timeout 120 wine "$bin/continuous.exe" 127.0.0.1 "$cport" "$dport" 40000 | tr -d '\r' >"$work/continuous.out" &&
    cat "$work/continuous.out" && grep -qx "groups 40000 lost 0" "$work/continuous.out"
}
check "the C example streams 40000 groups through kr2270c.dll with none lost" continuous

demo() {
  timeout 120 wine "$bin/kr2270.exe" demo --host 127.0.0.1 --port "$cport" --data-port "$dport" \
    --seconds 1 >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; return 1; }
  tail -n 4 "$work/demo.out"
}
check "kr2270.exe demo: record, replay and compare, nothing lost" demo

cross_play() {
  # A recording made by each tool is replayed to CSV by both.
  mkdir -p "$work/rec-win" "$work/rec-linux"
  timeout 120 wine "$bin/kr2270.exe" acquire --host 127.0.0.1 --port "$cport" --data-port "$dport" \
    --groups 20000 --di --counters 1,2 --record "$(winepath -w "$work/rec-win")" >/dev/null 2>&1 &&
    build/tools/kr2270/kr2270 acquire --host 127.0.0.1 --port "$cport" --data-port "$dport" \
      --groups 20000 --di --counters 1,2 --record "$work/rec-linux" >/dev/null 2>&1 || return 1
  local dir first
  for dir in rec-win rec-linux; do
    first=$(ls "$work/$dir"/*_1.dat)
    timeout 120 wine "$bin/kr2270.exe" play "$(winepath -w "$first")" --csv - >"$work/$dir.win.csv" 2>/dev/null &&
      build/tools/kr2270/kr2270 play "$first" --csv - >"$work/$dir.linux.csv" 2>/dev/null || return 1
    [ -s "$work/$dir.linux.csv" ] && cmp -s <(tr -d '\r' <"$work/$dir.win.csv") "$work/$dir.linux.csv" || return 1
  done
}
check "recordings of either tool replay to the same CSV with either tool" cross_play

echo "== files"
sim_args=(--host 127.0.0.1 --port "$cport" --data-port "$dport")
existing_csv() {
  # A CSV that is there is kept without --overwrite and replaced with it;
  # MoveFileEx replaces in one step where rename() would fail.
  local csv="$work/existing.csv"
  echo "earlier results" >"$csv"
  timeout 120 wine "$bin/kr2270.exe" acquire "${sim_args[@]}" --groups 1000 --csv "$(winepath -w "$csv")" \
    >"$work/kept.out" 2>&1
  local kept=$?
  [ "$kept" -eq 2 ] && grep -q "give --overwrite" "$work/kept.out" && [ "$(cat "$csv")" = "earlier results" ] ||
    { echo "without --overwrite: exit $kept"; cat "$work/kept.out"; return 1; }
  timeout 120 wine "$bin/kr2270.exe" acquire "${sim_args[@]}" --groups 1000 --csv "$(winepath -w "$csv")" \
    --overwrite >"$work/replaced.out" 2>&1 || { cat "$work/replaced.out"; return 1; }
  [ "$(tr -d '\r' <"$csv" | wc -l)" -eq 1001 ] && [ ! -e "$csv.partial" ]
}
check "kr2270.exe keeps an existing CSV unless --overwrite, and replaces it with it" existing_csv

non_ascii_folder() {
  # UTF-8 from the command line to the wide-character file functions.
  local dir="$work/Messung_ä_Prüfung"
  timeout 120 wine "$bin/kr2270.exe" acquire "${sim_args[@]}" --groups 4000 --record "$(winepath -w "$dir")" \
    >"$work/utf8.out" 2>&1 || { cat "$work/utf8.out"; return 1; }
  tr -d '\r' <"$work/utf8.out" | tail -n 3
  local first
  first=$(ls "$dir"/*_1.dat) && [ -s "${first%.dat}.json" ] &&
    ! grep -q 18446744073709551615 "$work/utf8.out" &&
    timeout 120 wine "$bin/kr2270.exe" play "$(winepath -w "$first")" --csv - 2>/dev/null | tr -d '\r' >"$work/utf8.csv" &&
    [ "$(wc -l <"$work/utf8.csv")" -eq $(($(tr -d '\r' <"$work/utf8.out" | sed -n 's/^recorded groups: \([0-9]*\).*/\1/p') + 1)) ]
}
check "kr2270.exe records into a non-ASCII folder, with its metadata, and replays it" non_ascii_folder

echo "== kr2270.exe scope under Wine"
# The Linux test program drives the Windows tool: each test starts its own
# simulated module and kr2270.exe scope against it. The recording test reads
# back files by the paths the tool reports, which are Windows paths here.
scope_tests() {
  KR2270_SCOPE_COMMAND="$(command -v wine) $root/$bin/kr2270.exe" \
    timeout 900 build/tools/kr2270/scope_http_test \
    --gtest_filter='ScopeHttp.*:ScopeAttack.*:-*RecordingFromThePage*' \
    >"$work/scope.out" 2>&1 || { grep -E '^\[  FAILED|Failure|Expected|Which|actual' "$work/scope.out" | head -40; return 1; }
  grep -E '^\[  PASSED' "$work/scope.out"
}
check "kr2270.exe scope passes the scope's HTTP tests under Wine" scope_tests

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
