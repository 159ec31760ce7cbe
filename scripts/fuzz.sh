#!/usr/bin/env bash
# Bounded libFuzzer runs: every tests/fuzz/<name>_fuzz.cpp is built with clang's fuzzer, AddressSanitizer and
# UBSan, together with the sources and libraries its first lines list ("// fuzz-sources: src/a.cpp src/b.cpp",
# "// fuzz-libs: -lpng"), and run over
# its corpus tests/fuzz/corpus/<name>/ for FUZZ_SECONDS (default 20). New inputs go to a scratch directory, so the
# corpus in the repository only changes by hand. Exits non-zero when a target fails to build or finds a crash.
#   scripts/fuzz.sh [build-dir] [target-name...]
set -uo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++-14}
out=${1:-build/fuzz}
shift || true
seconds=${FUZZ_SECONDS:-20}
max_len=${FUZZ_MAX_LEN:-4096}
mkdir -p "$out"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="detect_leaks=1"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/*_fuzz.cpp; do
    [ -e "$f" ] && targets+=("$(basename "${f%_fuzz.cpp}")")
  done
fi

status=0
for name in "${targets[@]}"; do
  src="tests/fuzz/${name}_fuzz.cpp"
  read -r -a sources <<<"$(sed -n '1,5s|^// fuzz-sources:||p' "$src")"
  read -r -a libs <<<"$(sed -n '1,5s|^// fuzz-libs:||p' "$src")"
  bin="$out/${name}_fuzz"
  echo "fuzz: building $name (${sources[*]:-no extra sources})"
  if ! "$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc \
      "$src" "${sources[@]}" -o "$bin" "${libs[@]}"; then
    echo "fuzz: FAILED to build $name" >&2
    status=1
    continue
  fi
  corpus="tests/fuzz/corpus/$name"
  scratch="$out/${name}_corpus"
  rm -rf "$scratch" && mkdir -p "$scratch" "$corpus"
  echo "fuzz: running $name for ${seconds}s over $corpus"
  if ! "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$out/${name}-" -print_final_stats=1 "$scratch" "$corpus" 2>"$out/${name}.log"; then
    tail -n 60 "$out/${name}.log" >&2
    echo "fuzz: FAILED $name (crash input under $out/${name}-*)" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$out/${name}.log" | sed "s/^/fuzz: $name /"
  fi
done
exit $status
