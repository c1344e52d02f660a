#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time (about 60 s in all; NEL_FUZZ_SECONDS overrides the total). The
# whole library is built with coverage instrumentation and ASan/UBSan.
#   scripts/fuzz.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
total="${NEL_FUZZ_SECONDS:-60}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEL_WERROR=ON \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DNEL_SANITIZE=address,undefined \
  -DNEL_BUILD_FUZZ=ON -DNEL_BUILD_TESTS=OFF -DNEL_BUILD_BENCH=OFF -DNEL_BUILD_TOOLS=OFF >/dev/null
mapfile -t targets < <(cd "$root/fuzz" && ls ./*.cpp 2>/dev/null | sed 's|^\./||; s|\.cpp$||; s|^|fuzz_|')
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "no fuzz targets"
  exit 0
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
each=$(( total / ${#targets[@]} ))
(( each < 5 )) && each=5
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "== $t: ${each} s"
  log="$build/$t.log"
  # Seeds committed under fuzz/corpus/<target>/ are read; new inputs go to the first folder only.
  seeds=()
  [[ -d "$root/fuzz/corpus/$t" ]] && seeds=("$root/fuzz/corpus/$t")
  if ! "$build/fuzz/$t" -max_total_time="$each" -max_len=4096 -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -40 "$log"
    echo "$t failed"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
