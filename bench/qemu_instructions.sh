#!/usr/bin/env bash
# Guest instructions per sample of the portable and the vector loops on
# aarch64 and s390x, counted by qemu-user (-singlestep makes each executed
# block one instruction, and -d exec logs each one).  Needs the cross
# builds: .ci/cross, or cmake --workflow --preset cross-<target>.
# Usage: bench/qemu_instructions.sh [aarch64|s390x ...]
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64 s390x)
n=2048
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

count() {  # target, loop, data: executed guest instructions
  qemu-"$1" -L "/usr/$1-linux-gnu" -singlestep -d nochain,exec "$scratch/count-$1" "$2" "$3" "$n" \
    2>&1 >/dev/null | grep -c '^Trace'
}

row() {  # target, loop, data, instructions, samples
  awk -v t="$1" -v l="$2" -v d="$3" -v i="$4" -v s="$5" \
    'BEGIN { printf "%-8s %-22s %-7s %10.2f\n", t, l, d, i / s }'
}

printf '%-8s %-22s %-7s %10s\n' target loop data 'per sample'
for target in "${targets[@]}"; do
  build="build/cross-${target}"
  "${target}-linux-gnu-g++" -std=c++20 -O2 -Iibmfloat -Itraveltime -Itesting \
    bench/instructions_per_sample.cpp "$build/ibmfloat/libibmfloat_variants.a" \
    "$build/traveltime/libtraveltime_variants.a" -o "$scratch/count-$target"
  for data in trace random; do
    base=$(count "$target" ibm2ieee_none "$data")
    for loop in ibm2ieee_portable ibm2ieee_vector; do
      row "$target" "$loop" "$data" $(( $(count "$target" "$loop" "$data") - base )) "$n"
    done
  done
  # Per interval: each call scans every interval twice.
  base=$(count "$target" phase_search_none -)
  for loop in phase_search_portable phase_search_vector; do
    row "$target" "$loop" curve $(( $(count "$target" "$loop" -) - base )) $(( 2 * n ))
  done
done
