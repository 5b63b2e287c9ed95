#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp with clang's libFuzzer, AddressSanitizer and
# UBSan. The core is compiled here as well, with coverage instrumentation, so
# the fuzzer sees its branches (the CMake core is built by gcc without it).
#
#   fuzz/build.sh [OUTDIR]       (default: build-fuzz beside the sources)
#
# A target whose first lines say "// needs: <path>" is skipped while that
# file does not exist yet.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/build-fuzz}
CXX=${NX_FUZZ_CXX:-clang++}
JOBS=${NX_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
mkdir -p "$OUT/obj" "$OUT/generated"

# The version header CMake generates from project(); rewritten only when the
# version changes, so nothing is rebuilt for it.
VERSION=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
sed "s/@PROJECT_VERSION@/$VERSION/" "$ROOT/src/NxVersion.h.in" >"$OUT/generated/NxVersion.h.new"
if cmp -s "$OUT/generated/NxVersion.h.new" "$OUT/generated/NxVersion.h"; then
    rm "$OUT/generated/NxVersion.h.new"
else
    mv "$OUT/generated/NxVersion.h.new" "$OUT/generated/NxVersion.h"
fi

SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Line tables only: a finding's stack still names file and line.
CXXFLAGS="-std=c++20 -gline-tables-only -O1 $SAN -I$ROOT/src -I$OUT/generated -I$ROOT/tests \
  $(pkg-config --cflags libserialport 2>/dev/null || true)"
LIBS="-lz $(pkg-config --libs libserialport 2>/dev/null || echo -lserialport) -lpthread"
# The project's warnings, on the core too: clang finds some that gcc does not.
# NX_WERROR=ON makes them errors, as in CI.
WARN="-Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast"
if [ "${NX_WERROR:-OFF}" = ON ]; then WARN="$WARN -Werror"; fi

# Core sources: as the CMake core, without the front ends and the programs' entry points.
mapfile -t CORE < <(cd "$ROOT" && find src -name '*.cpp' |
    grep -Ev '^src/(Forms|Cli)/|^src/main\.cpp$|^src/Sim/nxsim_main\.cpp$' | sort)

# Objects built with other flags (another compiler, warnings as errors or not)
# are built again.
if [ "$(cat "$OUT/obj/flags" 2>/dev/null)" != "$CXX $CXXFLAGS $WARN" ]; then
    rm -f "$OUT"/obj/*.o
    echo "$CXX $CXXFLAGS $WARN" >"$OUT/obj/flags"
fi

# Recompiles an object when it is missing or older than any file it depends on.
stale() {
    local obj=$1 dep=$2
    [ -f "$obj" ] && [ -f "$dep" ] || return 0
    local f
    for f in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$dep"); do
        [ "$f" -nt "$obj" ] && return 0
    done
    return 1
}

compile_core() {
    local src=$1 obj=$OUT/obj/$(echo "$1" | tr '/' '_').o
    if stale "$obj" "${obj%.o}.d"; then
        # shellcheck disable=SC2086
        $CXX $CXXFLAGS $WARN -fsanitize=fuzzer-no-link -MMD -MF "${obj%.o}.d" -c "$ROOT/$src" -o "$obj"
    fi
}
export -f compile_core stale
export CXX CXXFLAGS WARN OUT ROOT

printf '%s\n' "${CORE[@]}" | xargs -P "$JOBS" -I{} bash -c 'compile_core {}'
objs=()
for s in "${CORE[@]}"; do objs+=("$OUT/obj/$(echo "$s" | tr '/' '_').o"); done
lib=$OUT/libnxcore_fuzz.a
newest=$(ls -t "${objs[@]}" | head -1)
if [ ! -f "$lib" ] || [ "$newest" -nt "$lib" ] || [ "$(ar t "$lib" | wc -l)" -ne ${#objs[@]} ]; then
    rm -f "$lib"
    ar qc "$lib" "${objs[@]}"
fi

# Targets link the archive, so each takes only the objects it needs.
build_target() {
    local src=$1 name obj need missing=""
    name=$(basename "$src" .cpp)
    while read -r need; do
        [ -e "$ROOT/$need" ] || missing="$need"
    done < <(head -5 "$src" | sed -n 's|^// needs: *||p')
    if [ -n "$missing" ]; then
        echo "skip $name: $missing does not exist yet"
        rm -f "$OUT/$name"
        return 0
    fi
    obj=$OUT/obj/$name.o
    if stale "$obj" "${obj%.o}.d" || [ "$lib" -nt "$OUT/$name" ]; then
        # shellcheck disable=SC2086
        $CXX $CXXFLAGS $WARN -fsanitize=fuzzer -MMD -MF "${obj%.o}.d" -c "$src" -o "$obj" &&
            $CXX $SAN -fsanitize=fuzzer "$obj" "$lib" $LIBS -o "$OUT/$name"
    fi
}
export -f build_target
export SAN LIBS lib
printf '%s\n' "$ROOT"/fuzz/fuzz_*.cpp | xargs -P "$JOBS" -I{} bash -c 'build_target {}'
