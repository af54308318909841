#!/usr/bin/env bash
# Builds the libFuzzer programs of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, and runs each for a short while
# from its seeds in fuzz/seeds/<name>/ (new inputs go to a scratch corpus that
# is thrown away). A crash, a sanitizer report, a leak or a broken check fails
# the run; the input that caused it is kept as build-fuzz/fuzz/artifacts/<name>-*.
#   fuzz/run.sh [SECONDS_PER_PROGRAM] [NAME...]      (default: 20 s, every program)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for dir in fuzz/seeds/*/; do names+=("$(basename "$dir")"); done
fi

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVEL_FUZZ=ON \
  -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target orvel_fuzzers

mkdir -p build-fuzz/fuzz/artifacts
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for name in "${names[@]}"; do
  mkdir -p "$scratch/$name"
  log="$scratch/$name.log"
  # close_fd_mask=3: the programs' own output (server log lines, usage texts)
  # is dropped; libFuzzer's and the sanitizers' reports still show.
  if build-fuzz/fuzz/"$name"_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix=build-fuzz/fuzz/artifacts/"$name"- \
      "$scratch/$name" fuzz/seeds/"$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $name: ${runs:-?} executions in ${seconds} s, nothing found"
  else
    echo "fuzz: $name: FAILED"
    grep -v '^#[0-9]' "$log" | tail -60
    status=1
  fi
done
exit $status
