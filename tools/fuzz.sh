#!/usr/bin/env bash
# Builds one libFuzzer target of fuzz/ with clang (AddressSanitizer + UBSan) in build-fuzz/ and
# runs it for SECONDS (default 60) on a scratch copy of its corpus. Inputs that break an
# invariant or crash land in build-fuzz/findings/TARGET/; new interesting inputs stay in the
# scratch copy and can be merged into the corpus by hand (see the end of the output).
#
# Usage: tools/fuzz.sh TARGET [SECONDS] [extra libFuzzer options...]
#   TARGET: statement_fuzz ini_fuzz request_fuzz text_utils_fuzz value_text_fuzz day_log_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: tools/fuzz.sh TARGET [SECONDS] [libFuzzer options...]}
seconds=${2:-60}
shift $(($# >= 2 ? 2 : 1))
corpus=fuzz/corpus/$target
[ -d "$corpus" ] || { echo "no corpus folder $corpus (unknown target?)" >&2; exit 2; }

tools/install_packages.sh build-essential cmake pkg-config libmariadb-dev clang libclang-rt-14-dev

build=build-fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLARVEK_FUZZ=ON -DLARVEK_DESKTOP=OFF -DLARVEK_TESTS=OFF
fi
cmake --build "$build" -j"$(nproc)" --target "$target"

# Longest input each target is given: about what its checks can take at a good rate.
case $target in
  request_fuzz) max_len=512 ;;
  value_text_fuzz) max_len=256 ;;
  statement_fuzz | text_utils_fuzz) max_len=1024 ;;
  *) max_len=4096 ;;
esac

stamp=$(date +%Y%m%d-%H%M%S)
work=$build/work/$target-$stamp
findings=$build/findings/$target
mkdir -p "$work" "$findings"
cp "$corpus"/* "$work"/
# Scratch files of the targets go to memory: the INI store syncs every write.
if [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi

echo "== $target for ${seconds}s, corpus copy in $work, findings in $findings"
dict=()
if [ -f "fuzz/$target.dict" ]; then dict=(-dict="fuzz/$target.dict"); fi
status=0
"$build/fuzz/$target" "$work" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
  "${dict[@]}" \
  -artifact_prefix="$findings/" -timeout=25 -rss_limit_mb=4096 "$@" 2>&1 | tee "$build/work/$target-$stamp.log" || status=$?

echo
if ls "$findings" | grep -q .; then
  echo "== findings in $findings:"
  ls -l "$findings"
fi
cat <<EOF
== To keep an input in the corpus (a finding once fixed, or a new seed):
     $build/fuzz/$target -minimize_crash=1 -runs=20000 -exact_artifact_path=SMALLER INPUT
     cp SMALLER fuzz/corpus/$target/<short-descriptive-name>
   To add the new inputs of this run, minimised to those that add coverage:
     $build/fuzz/$target -merge=1 fuzz/corpus/$target $work
   Replay the corpus as the tests do:  build/fuzz/fuzz_replay fuzz/corpus $target
EOF
exit "$status"
