#!/bin/sh
# The installed SDK used from outside, as a developer would: install into a
# scratch prefix, build the two example programs against it, the C one with
# pkg-config and the C++ one with find_package, as the README's recipes say
# (with a relative path), and run both on the simulated camera with a scenario
# of their own; run the C++ one's own tests (its CI example) against the
# installed scenarios. The installed documentation's links lead to installed
# files and its Camprobe command runs. The installed programs run from the
# prefix, also once it is moved; a build against a vendor's library folder
# lays out the same SDK tree around the vendor's library.
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

# The recipes take the prefix as typed, here relative to the current folder.
cd "$scratch"
echo "== the C example, built as C99 with pkg-config, run by its RUNPATH"
PKG_CONFIG_PATH=$(realpath prefix/SDK/lib/pkgconfig)
export PKG_CONFIG_PATH
# $flags and pkg-config's output are lists of words.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 $flags -o hello "$source_dir/examples/hello_c/main.c" \
    $(pkg-config --cflags --libs vantra-sdk) $link_flags \
    -Wl,-rpath,$(pkg-config --variable=libdir vantra-sdk)
out=$(cd / && "$scratch/hello")
echo "$out"
[ "$out" = "SDK version: 1.0.7
Camera: Kit check camera, serial number KIT-0042" ] || fail "the C example printed something else"

echo "== the C++ example, built with find_package"
cmake -S "$source_dir/examples/frames_cpp" -B frames -DCMAKE_PREFIX_PATH="$(realpath prefix/SDK)" \
    -DCMAKE_INSTALL_RPATH="$(realpath prefix/SDK/lib)" -DCMAKE_CXX_COMPILER="$cxx" \
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

echo "== the C++ example's own tests, on the installed scenarios"
unset VANTRA_SIM_SCENARIO
# Every test that the example's CMakeLists.txt adds must run: ctest with no
# tests (or fewer) would pass.
tests=$(grep -c '^frames_test(' "$source_dir/examples/frames_cpp/CMakeLists.txt")
[ "$tests" -gt 0 ] || fail "no test found in the C++ example's CMakeLists.txt"
(cd frames && ctest --no-tests=error --output-on-failure) >frames-ctest.log 2>&1 || {
    cat frames-ctest.log
    fail "the C++ example's tests failed"
}
grep -Ex "100% tests passed, 0 tests failed out of $tests" frames-ctest.log ||
    fail "the C++ example ran other than its $tests tests"

echo "== the documentation, written for where it is installed"
doc=prefix/SDK/share/doc/vantra-sdk
for file in README.md simulated-camera.md functions.def examples/hello_c/main.c \
    examples/frames_cpp/CMakeLists.txt examples/frames_cpp/main.cpp examples/frames_cpp/expect.cmake; do
    [ -f "$doc/$file" ] || fail "$doc/$file is not installed"
done
[ -f prefix/share/man/man1/camprobe.1.gz ] || fail "Camprobe's manual page is not installed"
# Every relative link leads to an installed file; no command names the
# source tree or the build tree.
for md in "$doc"/*.md; do
    for target in $(grep -o '\]([^)#:]*[)#]' "$md" | sed 's/^](//; s/[)#]$//'); do
        [ -e "$doc/$target" ] || fail "$md: the link $target leads nowhere"
    done
done
! grep -En 'build/bin|simulated_sdk/' "$doc"/*.md || fail "the installed documentation names the source tree"
# The reference's Camprobe command, with the kit's folder for DIR.
command=$(grep '^VANTRA_SIM_SCENARIO=.*camprobe' "$doc/simulated-camera.md" | sed "s|DIR/|$scratch/prefix/|g")
out=$(env -u LD_LIBRARY_PATH sh -c "$command") || fail "the reference's command failed: $command"
echo "$out" | grep -x "Device name: Bench camera" >/dev/null || fail "the reference's command printed: $out"

echo "== the C++ example installed, run by the RUNPATH that CMAKE_INSTALL_RPATH gave it"
cmake --install frames --prefix frames-installed >>frames.log
VANTRA_SIM_SCENARIO="$(realpath prefix/SDK/share/vantra-sdk/scenarios/no-camera.json)"
export VANTRA_SIM_SCENARIO
out=$(cd / && env -u LD_LIBRARY_PATH "$scratch/frames-installed/bin/frames" 2>&1) && fail "frames ran on no camera"
[ "$out" = "vt_create_pipeline failed: no camera is connected" ] ||
    fail "the installed C++ example printed: $out"

echo "== the installed programs, from the prefix and from where it is moved"
programs=$(ls prefix/bin)
mv prefix moved
for dir in "$build_dir/bin" moved/bin; do
    for program in $programs; do
        [ "$(readelf -d "$dir/$program" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p')" = \
          '$ORIGIN/../SDK/lib:$ORIGIN/../../SDK/lib:$ORIGIN' ] || fail "$dir/$program: another RUNPATH"
    done
done
export VANTRA_SIM_SCENARIO="$scratch/scenario.json"
out=$(env -u LD_LIBRARY_PATH moved/bin/camprobe </dev/null)
echo "$out" | grep -x "Serial number: KIT-0042" || fail "camprobe did not run from the moved prefix"
for program in $programs; do
    env -u LD_LIBRARY_PATH ldd "moved/bin/$program" | grep -F "libVantraSDK.so.1.0 => $scratch/moved/bin/../SDK/lib/" ||
        fail "$program does not load the SDK of the moved prefix"
done

echo "== a build against a vendor's library folder lays out the same SDK tree"
# The vendor's library: the simulated one with bytes appended, which the
# dynamic linker ignores, so that it differs from the one a build makes.
mkdir vendor-sdk
cp "$build_dir/SDK/lib/libVantraSDK.so.1.0" vendor-sdk/
echo "vendor" >>vendor-sdk/libVantraSDK.so.1.0
cmake -S "$source_dir" -B vendor-build -DVANTRA_SDK_DIR="$scratch/vendor-sdk" -DVANTRA_SAMPLES=OFF \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DVANTRA_SANITIZE="$sanitize" \
    >vendor.log 2>&1 && cmake --build vendor-build >>vendor.log 2>&1 &&
    cmake --install vendor-build --prefix vendor >>vendor.log 2>&1 || {
    cat vendor.log
    fail "the vendor build failed"
}
(cd moved && find SDK | sort) >sdk-tree.txt
(cd vendor && find SDK | sort) >vendor-tree.txt
diff sdk-tree.txt vendor-tree.txt || fail "the vendor build laid out another SDK tree"
cmp vendor-sdk/libVantraSDK.so.1.0 vendor/SDK/lib/libVantraSDK.so.1.0 ||
    fail "the vendor build installed another library than the vendor's"
env -u LD_LIBRARY_PATH vendor/bin/camprobe </dev/null | grep -x "Serial number: KIT-0042" ||
    fail "camprobe of the vendor build did not run"
echo "== the kit works from $prefix and from where it is moved"
