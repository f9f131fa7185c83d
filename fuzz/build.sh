#!/usr/bin/env bash
# Builds the libFuzzer targets into fuzz/out/ from the project's own sources, with
# AddressSanitizer and UndefinedBehaviorSanitizer. Needs clang++ and its fuzzer runtime.
set -euo pipefail
cd "$(dirname "$0")/.."

out=fuzz/out
mkdir -p "$out/obj"
cxx="${CXX_FUZZ:-clang++}"
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -Isrc)
# Warnings are errors where CI asks for it, as in its other builds.
[ "${HLG_WERROR:-OFF}" != ON ] || flags+=(-Werror)
read -r -a zstd_cflags <<<"$(pkg-config --cflags libzstd)"
read -r -a zstd_libs <<<"$(pkg-config --libs libzstd)"

# The sources under test, once for all targets; main.cpp is the only one left out.
objects=()
while IFS= read -r source; do
    object="$out/obj/$(echo "${source#src/}" | tr / _).o"
    if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ -n "$(find src -name '*.h' -newer "$object")" ]; then
        "$cxx" "${flags[@]}" "${zstd_cflags[@]}" -c "$source" -o "$object"
    fi
    objects+=("$object")
done < <(find src -name '*.cpp' ! -name main.cpp | sort)

for target in manifest chunk_reader verify_walk extract_walk; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "${zstd_cflags[@]}" "fuzz/${target}_fuzz.cpp" \
        "${objects[@]}" "${zstd_libs[@]}" -o "$out/$target"
done
echo "Fuzz targets built in $out"
