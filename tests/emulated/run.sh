#!/usr/bin/env bash
# The kernel sets on emulated processors (qemu user mode), run by `make test`
# after `make core-tests` (build/core/core_tests) and `make install` (the
# module in .venv):
#
# - x86-64 under `qemu-x86_64 -cpu max` and `-cpu Nehalem`: the core tests and
#   a Python subset that touches every kernel family must pick the set the
#   emulated model allows, and forcing a set it lacks must be refused with
#   the French message naming the missing features. qemu raises SIGILL for an
#   instruction outside the model (checked first with sigill_probe.c), so a
#   passing run also shows that no kernel executes an instruction the chosen
#   set does not allow.
# - aarch64: the core library, its tests and the fuzz replay drivers
#   cross-built with g++-aarch64-linux-gnu into build/emulated-aarch64, run
#   under qemu-aarch64: only the generic set exists there.
#
# The expected sets come from the emulated models, never from the host
# processor. qemu 7.2 (Debian 12): `-cpu max` under TCG offers AVX2, BMI1,
# BMI2 and POPCNT but neither GFNI nor AVX-512, which TCG does not
# implement, hence avx2; Nehalem has POPCNT (SSE4.2) and no AVX, hence generic; it is also the
# oldest model whose level (x86-64-v2) NumPy 2 accepts. The probe stops the
# run if a newer qemu changes what these models execute.
#
# Every check runs even after a failure; the script ends with a summary (set
# picked, seconds) and exits non-zero if anything failed. Builds are
# incremental, so a second run only re-runs the checks.
set -uo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
ulimit -c 0  # a killed emulated program must not leave a core file in the tree

JOBS=${JOBS:-2}
PY=.venv/bin/python  # the interpreter itself runs under qemu-x86_64
CMAKE=$ROOT/.venv/bin/cmake
CTEST=$ROOT/.venv/bin/ctest
CORE_TESTS=${CORE_TESTS:-build/core/core_tests}
LOGS=build/emulated-logs
A64=build/emulated-aarch64
A64_SYSROOT=/usr/aarch64-linux-gnu

# The three largest zeta cases test sizes, not kernel families, and are two
# thirds of the native run; every other case takes well under a minute in all
# under each emulated processor.
CORE_FILTER='-ZetaKernel.LargestRankOnce:ZetaKernel.LongSequencesOfTargetsThroughOneBase:BoolLsSolveRows.ZetaRowsMatchSingleSolves'
# Element-wise operators, counts, hash, transpose, product, text form
# (algebra); from_numpy/to_numpy and lists (conversions); zeta solve (boolls);
# ao_bmf. About a minute under -cpu max. The few tests that start a
# subprocess run it natively: qemu user mode does not follow exec.
PYTEST_SUBSET=(tests/python/test_algebra.py tests/python/test_conversions.py
               tests/python/test_boolls.py tests/python/test_ao_bmf.py)
# The Python suite's own check of the chosen set, which reads the expected
# set from VALDRIX_EXPECT_ISA since /proc/cpuinfo shows the host under qemu.
if grep -qs VALDRIX_EXPECT_ISA tests/python/test_isa.py; then
    PYTEST_SUBSET+=(tests/python/test_isa.py::test_active_set_is_private_and_as_forced)
fi

# Auto runs must not inherit a forced set from the caller.
unset VALDRIX_ISA VALDRIX_EXPECT_ISA
mkdir -p "$LOGS"

# ---------------------------------------------------------------- tools

install_tools() {
    local missing=()
    command -v qemu-x86_64 >/dev/null && command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
    command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(libgtest-dev)
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing ${missing[*]}"
    local SUDO
    SUDO=$(command -v sudo >/dev/null && [ "$(id -u)" != 0 ] && echo sudo)
    if ! { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
             --no-install-recommends "${missing[@]}"; } >"$LOGS/apt.log" 2>&1; then
        tail -20 "$LOGS/apt.log"
        echo "emulated: cannot install ${missing[*]}"
        exit 1
    fi
}

# ---------------------------------------------------------------- bookkeeping

PASSED=0
FAILED=0
SUMMARY=()
DETAIL=""  # set by each check: what it found
PICKED=""  # set by the checks that see a kernel set

# record LABEL SECONDS STATUS
record() {
    local verdict=ok
    if [ "$3" -eq 0 ]; then PASSED=$((PASSED + 1)); else FAILED=$((FAILED + 1)); verdict=FAILED; fi
    SUMMARY+=("$(printf '%-42s %-8s %5ss  %-6s %s' "$1" "${PICKED:--}" "$2" "$verdict" "$DETAIL")")
    echo "-- $1: $verdict ${DETAIL}"
}

# check LABEL FUNCTION ARGS...: runs one check, timed.
check() {
    local label=$1 start=$SECONDS status
    shift
    DETAIL=""
    PICKED=""
    echo "== $label"
    "$@"
    status=$?
    record "$label" $((SECONDS - start)) $status
    return $status
}

# Why an emulated program with exit code $1 stopped, from its log $2.
why_stopped() {
    local rc=$1 log=$2
    case $rc in
        124) echo "timed out" ;;
        132)
            local last
            last=$(grep '^\[ RUN' "$log" | tail -1 | sed 's/^\[ RUN *\] *//')
            echo "SIGILL: an instruction the emulated processor lacks${last:+, in $last}" ;;
        134) echo "SIGABRT" ;;
        139) echo "SIGSEGV" ;;
        *) echo "exit $rc" ;;
    esac
}

# ---------------------------------------------------------------- checks

# probe MODEL "FAMILY=EXPECTED..." with EXPECTED run|sigill.
probe() {
    local model=$1 spec family want rc got
    shift
    for spec in "$@"; do
        family=${spec%=*}
        want=${spec#*=}
        # The braces silence bash's own note of the expected SIGILL.
        { qemu-x86_64 -cpu "$model" build/emulated-probe/sigill_probe "$family" >/dev/null 2>&1; } 2>/dev/null
        rc=$?
        case $rc in 0) got=run ;; 132) got=sigill ;; *) got="exit $rc" ;; esac
        DETAIL+="$family:$got "
        if [ "$got" != "$want" ]; then
            DETAIL+="(expected $want: qemu's $model model changed; revise the expected sets in run.sh) "
            return 1
        fi
    done
}

# core_tests EXPECTED LOG BINARY EMULATOR...: the core tests must announce
# EXPECTED and pass.
core_tests() {
    local expected=$1 log=$2 binary=$3 rc first
    shift 3
    timeout 900 "$@" "$binary" --gtest_filter="$CORE_FILTER" >"$log" 2>&1
    rc=$?
    first=$(head -1 "$log")
    PICKED=${first#kernel set: }
    [ "$first" = "$PICKED" ] && PICKED="?"
    DETAIL="$(grep -E '^\[  (PASSED|FAILED)  \] [0-9]+ test' "$log" | tr '\n' ' ')"
    if [ "$first" != "kernel set: $expected" ]; then
        DETAIL+="first line '$first', expected 'kernel set: $expected'"
        return 1
    fi
    if [ $rc -ne 0 ]; then
        DETAIL+="$(why_stopped $rc "$log"); log: $log"
        grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u | head -20
        tail -5 "$log"
        return 1
    fi
}

# refused VALUE MESSAGE LOG COMMAND...: forcing VALDRIX_ISA=VALUE must stop
# COMMAND with exit code 2 and MESSAGE as its last line of error output.
refused() {
    local value=$1 message=$2 log=$3 rc last
    shift 3
    VALDRIX_ISA=$value timeout 300 "$@" >"$log" 2>&1
    rc=$?
    last=$(tail -1 "$log")
    DETAIL="exit $rc: $last"
    [ $rc -eq 2 ] && [ "$last" = "$message" ] && return 0
    [ $rc -ne 2 ] && DETAIL+=" ($(why_stopped $rc "$log"), expected exit 2)"
    [ "$last" != "$message" ] && DETAIL+=" (expected: $message)"
    return 1
}

# import_picks EXPECTED EMULATOR...: `import Valdrix` picks EXPECTED.
import_picks() {
    local expected=$1 out rc
    shift
    out=$(timeout 300 "$@" "$PY" -c "import Valdrix; print(Valdrix._isa, Valdrix.__file__)" 2>&1)
    rc=$?
    PICKED=$(echo "$out" | tail -1 | cut -d' ' -f1)
    DETAIL=$(echo "$out" | tail -1)
    [ $rc -eq 0 ] && [ "$PICKED" = "$expected" ] && return 0
    [ $rc -ne 0 ] && PICKED="?" && DETAIL="$(why_stopped $rc /dev/null): $DETAIL"
    DETAIL+=" (expected $expected)"
    return 1
}

# import_refused VALUE MESSAGE EMULATOR...: `import Valdrix` with VALDRIX_ISA=VALUE
# raises ImportError(MESSAGE), without crashing the interpreter.
import_refused() {
    local value=$1 message=$2 out rc
    shift 2
    out=$(VALDRIX_ISA=$value timeout 300 "$@" "$PY" -c '
try:
    import Valdrix
except ImportError as e:
    print(e)
else:
    raise SystemExit("imported with the set " + Valdrix._isa)
' 2>&1)
    rc=$?
    DETAIL="ImportError: $(echo "$out" | tail -1)"
    [ $rc -eq 0 ] && [ "$out" = "$message" ] && return 0
    DETAIL="exit $rc: $(echo "$out" | tail -1)"
    [ $rc -ne 0 ] && DETAIL+=" ($(why_stopped $rc /dev/null))"
    DETAIL+=" (expected ImportError: $message)"
    return 1
}

# python_subset EXPECTED LOG EMULATOR...
python_subset() {
    local expected=$1 log=$2 rc
    shift 2
    VALDRIX_EXPECT_ISA=$expected timeout 1200 "$@" "$PY" -m pytest -q -p no:cacheprovider \
        "${PYTEST_SUBSET[@]}" >"$log" 2>&1
    rc=$?
    PICKED=$expected
    DETAIL=$(tail -1 "$log")
    if [ $rc -ne 0 ]; then
        [ $rc -gt 128 ] && DETAIL="$(why_stopped $rc /dev/null) in $(grep -m1 -oE 'tests/python/test_[a-z_0-9]+\.py", line [0-9]+ in [A-Za-z_0-9]+' "$log" | sed 's/", line / line /')"
        grep -E '^(FAILED|ERROR) ' "$log" | head -20
        tail -15 "$log"
        DETAIL+="; log: $log"
        return 1
    fi
}

# ---------------------------------------------------------------- x86-64

build_probe() {
    mkdir -p build/emulated-probe
    "${CC:-cc}" -O2 -o build/emulated-probe/sigill_probe tests/emulated/sigill_probe.c
}

# x86_model MODEL EXPECTED REFUSALS PROBES: REFUSALS is a ';'-separated list
# of SET=MISSING FEATURES, PROBES a space-separated list of FAMILY=run|sigill.
x86_model() {
    local model=$1 expected=$2 refusals=$3 probes=$4 pair value pairs
    local emu=(qemu-x86_64 -cpu "$model")
    # shellcheck disable=SC2086  # the probe specs are space-separated words
    check "x86-64 $model: instruction probe" probe "$model" $probes
    check "x86-64 $model: core tests" core_tests "$expected" "$LOGS/core-$model.log" "$CORE_TESTS" "${emu[@]}"
    check "x86-64 $model: import" import_picks "$expected" "${emu[@]}"
    IFS=';' read -ra pairs <<<"$refusals"
    for pair in "${pairs[@]}"; do
        value=${pair%%=*}
        check "x86-64 $model: core tests, $value forced" refused "$value" \
            "VALDRIX_ISA=$value : ce processeur n'a pas : ${pair#*=}" "$LOGS/core-$model-$value.log" \
            "${emu[@]}" "$CORE_TESTS"
        check "x86-64 $model: import, $value forced" import_refused "$value" \
            "VALDRIX_ISA=$value : ce processeur n'a pas : ${pair#*=}" "${emu[@]}"
    done
    check "x86-64 $model: pytest subset" python_subset "$expected" "$LOGS/pytest-$model.log" "${emu[@]}"
}

# ---------------------------------------------------------------- aarch64

# GoogleTest from Debian's sources, built once for aarch64 into $A64/gtest.
build_aarch64() {
    local log=$LOGS/aarch64-build.log
    local toolchain=$ROOT/tests/emulated/aarch64-linux-gnu.cmake
    : >"$log"
    if [ ! -f "$A64/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
        if ! { "$CMAKE" -S /usr/src/googletest -B "$A64/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
                 -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
                 -DCMAKE_INSTALL_PREFIX="$ROOT/$A64/gtest" -Wno-dev &&
               "$CMAKE" --build "$A64/gtest-build" -j "$JOBS" &&
               "$CMAKE" --install "$A64/gtest-build"; } >>"$log" 2>&1; then
            DETAIL="GoogleTest for aarch64 did not build; log: $log"
            tail -20 "$log"
            return 1
        fi
    fi
    if ! { "$CMAKE" -S . -B "$A64/core" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
             -DVALDRIX_TESTS=ON -DCMAKE_FIND_ROOT_PATH="$ROOT/$A64/gtest" &&
           "$CMAKE" --build "$A64/core" -j "$JOBS" --target core_tests; } >>"$log" 2>&1; then
        DETAIL="$(build_failures "$log")"
        return 1
    fi
    DETAIL="$A64/core/core_tests"
}

# What failed to build, from the ninja log $1, shown briefly.
build_failures() {
    grep -E 'error|undefined reference|^FAILED' "$1" | head -20 >&2
    echo "failed: $(grep -E '^FAILED: ' "$1" | sed -E 's/^FAILED: (\[[^]]*\] )?//; s/ *$//; s#.*/(src|tests|fuzz)/#\1/#; s#\.o$##' | tr '\n' ' '); log: $1"
}

aarch64_runs() {
    local emu=(qemu-aarch64 -L "$A64_SYSROOT")
    if ! check "aarch64: cross build" build_aarch64; then
        echo "aarch64 runs skipped: the cross build failed"
        return
    fi
    check "aarch64: core tests" core_tests generic "$LOGS/core-aarch64.log" "$A64/core/core_tests" "${emu[@]}"
    check "aarch64: core tests, avx2 forced" refused avx2 \
        "VALDRIX_ISA=avx2 : ce jeu de noyaux n'existe que sur x86-64" "$LOGS/core-aarch64-avx2.log" \
        "${emu[@]}" "$A64/core/core_tests"
    # ctest runs the drivers through the toolchain's CMAKE_CROSSCOMPILING_EMULATOR.
    check "aarch64: fuzz corpus replay" fuzz_replay
}

fuzz_replay() {
    local log=$LOGS/aarch64-fuzz-replay.log
    if ! "$CMAKE" --build "$A64/core" -j "$JOBS" -- -k 0 >"$log" 2>&1; then
        DETAIL="$(build_failures "$log")"
        return 1
    fi
    PICKED=generic
    "$CTEST" --test-dir "$A64/core" --output-on-failure -R '^fuzz_replay' --timeout 900 >"$log" 2>&1
    local rc=$?
    DETAIL=$(grep -E 'tests passed' "$log")
    [ $rc -eq 0 ] && [ -n "$DETAIL" ] && return 0
    tail -20 "$log"
    DETAIL+="; log: $log"
    return 1
}

# ---------------------------------------------------------------- main

install_tools
for needed in "$CORE_TESTS" "$PY"; do
    [ -x "$needed" ] || { echo "emulated: $needed is missing (make core-tests install first)"; exit 1; }
done
START=$SECONDS
if ! build_probe; then
    echo "emulated: the instruction probe did not build"
    exit 1
fi
AVX512_NAMES="AVX512F, AVX512BW, AVX512VL, AVX512VBMI, AVX512VPOPCNTDQ"
x86_model max avx2 "gfni=GFNI;avx512=GFNI, $AVX512_NAMES" "avx2=run bmi2=run gfni=sigill avx512=sigill"
x86_model Nehalem generic "avx2=AVX2, BMI1, BMI2;gfni=AVX2, BMI1, BMI2, GFNI;avx512=AVX2, BMI1, BMI2, GFNI, $AVX512_NAMES" \
    "avx2=sigill bmi2=sigill avx512=sigill"
aarch64_runs

echo
echo "emulated runs ($((SECONDS - START)) s in all):"
printf '%-42s %-8s %6s  %s\n' check set time result
printf '%s\n' "${SUMMARY[@]}"
echo "emulated: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
