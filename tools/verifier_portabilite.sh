#!/usr/bin/env bash
# Compiles the library's C++ as the targets this machine does not run would:
#   1. clang++ with libc++ (macOS's standard library), the Linux-only branches
#      disabled and the float text written as on Apple: every core source and
#      every binding source;
#   2. the MinGW-w64 cross compiler (Windows): every core source;
#   3. the core with the scalar kernels alone (what ARM builds get).
# A part whose compiler is absent is skipped, and said so. Reports file by file;
# exits non-zero when any file fails to compile.
# Debian packages: clang libc++-dev libc++abi-dev g++-mingw-w64-x86-64.
set -u
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
GENERE=$(mktemp -d)
trap 'rm -rf "$GENERE"' EXIT
"$PY" tools/gen_unicode_tables.py "$GENERE" || exit 1
CORE=(src/core/*.cpp)
LIAISONS=(src/brivane_lexique/*.cpp)
echecs=0
verifier() {  # label, source, compiler and flags...
    local label=$1 source=$2
    shift 2
    local sortie
    if sortie=$("$@" -fsyntax-only "$source" 2>&1); then
        echo "  ok     $label $source"
    else
        echo "  ECHEC  $label $source"
        echo "$sortie" | grep -E "error" | head -5 | sed 's/^/         /'
        echecs=$((echecs + 1))
    fi
}

if command -v clang++ >/dev/null && echo '#include <string>' | clang++ -x c++ -stdlib=libc++ -std=c++20 \
        -fsyntax-only - 2>/dev/null; then
    echo "clang++ / libc++, generic POSIX branches:"
    INC_PY=$("$PY" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
    # Without __linux__, libc++ must be told which thread API the C library has.
    CLANG=(clang++ -stdlib=libc++ -std=c++20 -U__linux__ -U__linux -Ulinux -U__gnu_linux__
           -D_LIBCPP_HAS_THREAD_API_PTHREAD
           -Isrc/core -I"$GENERE" -Isrc/brivane_lexique -I"$INC_PY")
    for f in "${CORE[@]}"; do verifier libc++ "$f" "${CLANG[@]}"; done
    if INC_NB=$("$PY" -c "import nanobind; print(nanobind.include_dir())" 2>/dev/null); then
        CLANG+=(-I"$INC_NB" -I"$INC_NB/../ext/robin_map/include")
        for f in "${LIAISONS[@]}"; do verifier libc++ "$f" "${CLANG[@]}"; done
    else
        echo "  nanobind not importable by $PY: bindings not checked"
    fi
else
    echo "clang++ with libc++ absent: libc++ check skipped"
fi

if command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "x86_64-w64-mingw32-g++ (Windows):"
    for f in "${CORE[@]}"; do
        verifier mingw "$f" x86_64-w64-mingw32-g++ -std=c++20 -Isrc/core -I"$GENERE"
    done
else
    echo "x86_64-w64-mingw32-g++ absent: Windows check skipped"
fi

if command -v g++ >/dev/null; then
    echo "g++, scalar kernels only:"
    for f in "${CORE[@]}"; do verifier scalaire "$f" g++ -std=c++20 -DBRIVANE_SANS_AVX2 -Isrc/core -I"$GENERE"; done
fi

if [ "$echecs" -ne 0 ]; then
    echo "portability check: $echecs file(s) failed"
    exit 1
fi
echo "portability check: all files compile"
