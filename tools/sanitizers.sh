#!/usr/bin/env bash
# The whole suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build folder and virtual environment of their own.
# The interpreter is not instrumented: the sanitizer runtime is preloaded together
# with libstdc++ (the runtime must come first, and the C++ runtime it intercepts must
# be the one the extensions use). Leak detection stays off: the interpreter keeps
# objects alive until exit on purpose. Any report, from the suite or from a process
# it starts, fails the run.
#
#   tools/sanitizers.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
CXX=${CXX:-g++}
env_dir=${BRIVANE_SANITIZERS_VENV:-build/sanitizers-venv}
libasan=$("$CXX" -print-file-name=libasan.so)
libstdcxx=$("$CXX" -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
    [ -f "$lib" ] || { echo "sanitizers: $lib not found" >&2; exit 2; }
done
drapeaux="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

"$PYTHON" -m venv --system-site-packages "$env_dir"
# What the build and the suite need, in the venv itself: the system's site may lack them.
"$env_dir/bin/pip" install -q nanobind scikit-build-core pytest hypothesis
# The build imports the new modules (type stubs): the runtime is preloaded there too.
LD_PRELOAD="$libasan $libstdcxx" ASAN_OPTIONS=detect_leaks=0 \
    "$env_dir/bin/pip" install -q --no-build-isolation \
    -C build-dir=build/sanitizers -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.CMAKE_CXX_FLAGS=$drapeaux" \
    -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" .

journal=$(mktemp -d)
trap 'rm -rf "$journal"' EXIT
statut=0
LD_PRELOAD="$libasan $libstdcxx" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$journal/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$journal/ubsan" \
    "$env_dir/bin/python" -m pytest -q -p no:cacheprovider "$@" || statut=$?
if compgen -G "$journal/*" >/dev/null; then
    echo "== sanitizer reports:" >&2
    cat "$journal"/* >&2
    exit 1
fi
exit $statut
