#!/bin/sh
# The installed SDK used from outside, as a developer would: install into a
# scratch prefix, build the two example programs against it, the C one with
# pkg-config and the C++ one with find_package, and run both on the simulated
# camera with a scenario of their own.
#
#   kit_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR C_COMPILER CXX_COMPILER [SANITIZERS]
#
# A library built with sanitizers needs their runtime in the program that
# loads it, so the examples are then built with the same -fsanitize flags
# and the same compilers, and get checked by the sanitizers too.
set -eu
source_dir=$1 build_dir=$2 scratch=$3 cc=$4 cxx=$5 sanitize=${6:-}
flags="-Wall -Wextra -Wpedantic -Werror"
link_flags=""
if [ -n "$sanitize" ]; then
    flags="$flags -fsanitize=$sanitize -fno-omit-frame-pointer"
    link_flags="-fsanitize=$sanitize"
fi
# Nothing here needs a display.
unset DISPLAY

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$scratch/install.log"
[ -L "$prefix/SDK/lib/libVantraSDK.so" ] || fail "no development link in $prefix/SDK/lib"
[ -z "$(find "$prefix" -name vantra_sim.h)" ] || fail "the simulated SDK's test header is installed"

cat >"$scratch/scenario.json" <<'JSON'
{ "sdk_version": [1, 0, 7],
  "devices": [ { "name": "Kit check camera", "serial_number": "KIT-0042",
                 "profiles": { "depth": [ {"format": "Y16", "width": 160, "height": 120, "fps": 30} ] } } ] }
JSON
export VANTRA_SIM_SCENARIO="$scratch/scenario.json"

echo "== the C example, built with pkg-config"
export PKG_CONFIG_PATH="$prefix/SDK/lib/pkgconfig"
# $flags and pkg-config's output are lists of words.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 $flags -o "$scratch/hello" "$source_dir/examples/hello_c/main.c" \
    $(pkg-config --cflags --libs vantra-sdk) $link_flags
out=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir vantra-sdk) "$scratch/hello")
echo "$out"
[ "$out" = "SDK version: 1.0.7
Camera: Kit check camera, serial number KIT-0042" ] || fail "the C example printed something else"

echo "== the C++ example, built with find_package"
cmake -S "$source_dir/examples/frames_cpp" -B "$scratch/frames" \
    -DCMAKE_PREFIX_PATH="$prefix/SDK" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$link_flags" >"$scratch/frames.log"
cmake --build "$scratch/frames" >>"$scratch/frames.log" || {
    cat "$scratch/frames.log"
    fail "the C++ example did not build"
}
out=$(VANTRA_SIM_STATS="$scratch/stats.json" "$scratch/frames/frames")
echo "$out"
sets=$(echo "$out" | sed -n 's/^Frame sets in one second: \([0-9]*\)$/\1/p')
case "$sets" in '' | 0) fail "the C++ example received no frame set" ;; esac
# The SDK writes its statistics when the pipeline is deleted.
[ -f "$scratch/stats.json" ] || fail "the C++ example did not delete its pipeline"
grep -Eq '"leaked_framesets": *0,' "$scratch/stats.json" || fail "frame sets left unreleased"
grep -Eq '"framesets_released": *'"$sets"',' "$scratch/stats.json" ||
    fail "the SDK released other than the $sets frame sets counted"
echo "== both examples work from $prefix"
