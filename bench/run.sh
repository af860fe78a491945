#!/usr/bin/env bash
# Compares the streamed download with two curl pipelines, all fetching the same
# file from one test box on 127.0.0.1, and prints throughput and peak memory.
#   bench/run.sh [RUNS]          RUNS repetitions of each (default 5)
#   SIZE_MIB=600 bench/run.sh    the size of the compared download
# Each repetition runs, one after the other:
#   (a) download-bench: download_file (hash, write, sync, rename)
#   (b) curl | tee FILE | openssl dgst -sha256, then sync FILE
#   (c) curl | tee FILE | sha256sum, then sync FILE
# Times are wall-clock: for (a) from the request to the rename, as the program
# measures it; for (b) and (c) from the start of the pipeline to the end of
# the sync. Peak memory is the maximum resident set size (/usr/bin/time %M);
# for a pipeline it is the sum of its three processes' peaks.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
size=${SIZE_MIB:-600}
memory_sizes=(64 256 600)

[ -x /usr/bin/time ] || bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j3 --target download-bench >/dev/null
bench=build/bench/download-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
box_pid=""
stop_box() {
  if [ -n "$box_pid" ]; then
    kill "$box_pid" 2>/dev/null || true
    wait "$box_pid" 2>/dev/null || true
    box_pid=""
  fi
}
trap 'stop_box; rm -rf "$work"' EXIT

# Starts a box serving SIZE MiB; sets host, port and digest.
start_box() {
  "$bench" --serve --ca "$work/ca.pem" --size "$1" --serve-seconds 1800 >"$work/box.txt" &
  box_pid=$!
  for _ in $(seq 1 600); do
    grep -q '^size ' "$work/box.txt" 2>/dev/null && break
    kill -0 "$box_pid" 2>/dev/null || { echo "the box did not start" >&2; exit 1; }
    sleep 0.1
  done
  grep -q '^size ' "$work/box.txt" || { echo "the box did not start in time" >&2; exit 1; }
  host=$(awk '$1 == "host" {print $2}' "$work/box.txt")
  port=$(awk '$1 == "port" {print $2}' "$work/box.txt")
  digest=$(awk '$1 == "sha256" {print $2}' "$work/box.txt")
}

now_ns() { date +%s%N; }
rate() { awk -v mib="$1" -v ns="$2" 'BEGIN { printf "%.1f", mib * 1e9 / ns }'; }
kib_to_mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Runs download_file once; prints "MiB/s peak_kib". The rate is the one the
# program measures itself, from the request to the rename (the removal of the
# file afterwards is left out, as it is for the pipelines).
run_download() {
  /usr/bin/time -f %M -o "$work/rss.a" \
    "$bench" --port "$port" --ca "$work/ca.pem" --sha256 "$digest" --size "$1" --runs 1 \
    --dir "$work" >"$work/out.a"
  echo "$(awk '/^run 1:/ {print $(NF-1)}' "$work/out.a") $(tail -n 1 "$work/rss.a")"
}

# Runs the curl pipeline with the hash command "$2 ..." once; prints "MiB/s peak_kib".
run_pipeline() {
  local size=$1 t0 t1 got
  shift
  rm -f "$work/file"
  t0=$(now_ns)
  got=$(/usr/bin/time -f %M -o "$work/rss.1" \
          curl -sS --cacert "$work/ca.pem" --resolve "$host:$port:127.0.0.1" \
          "https://$host:$port/desktop/file" |
        /usr/bin/time -f %M -o "$work/rss.2" tee "$work/file" |
        /usr/bin/time -f %M -o "$work/rss.3" "$@")
  sync "$work/file"
  t1=$(now_ns)
  rm -f "$work/file"
  case "$got" in
    *"$digest"*) ;;
    *) echo "wrong digest from $*: $got" >&2; exit 1 ;;
  esac
  local kib=$(($(tail -n 1 "$work/rss.1") + $(tail -n 1 "$work/rss.2") + $(tail -n 1 "$work/rss.3")))
  echo "$(rate "$size" $((t1 - t0))) $kib"
}

# Prints "median min max" of the numbers on stdin.
stats() {
  sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.1f %.1f %.1f\n", m, v[1], v[NR] }'
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "comparing $size MiB, $runs repetitions (after one warm-up round)"
start_box "$size"
: >"$work/a.txt"
: >"$work/b.txt"
: >"$work/c.txt"
for i in $(seq 0 "$runs"); do
  a=$(run_download "$size")
  b=$(run_pipeline "$size" openssl dgst -sha256 -r)
  c=$(run_pipeline "$size" sha256sum)
  if [ "$i" -eq 0 ]; then
    echo "warm-up: download_file $a, openssl $b, sha256sum $c (MiB/s peak_kib)"
    continue
  fi
  echo "$a" >>"$work/a.txt"
  echo "$b" >>"$work/b.txt"
  echo "$c" >>"$work/c.txt"
  echo "run $i: download_file ${a% *} MiB/s, curl|tee|openssl ${b% *} MiB/s," \
    "curl|tee|sha256sum ${c% *} MiB/s"
done
stop_box

echo
printf '%-36s %9s %9s %9s %14s\n' "" "median" "min" "max" "peak RSS MiB"
declare -A median
for name in a b c; do
  read -r med lo hi < <(cut -d' ' -f1 "$work/$name.txt" | stats)
  peak=$(cut -d' ' -f2 "$work/$name.txt" | sort -n | tail -n 1)
  median[$name]=$med
  case $name in
    a) label="download_file" ;;
    b) label="curl | tee | openssl dgst" ;;
    c) label="curl | tee | sha256sum" ;;
  esac
  printf '%-36s %9s %9s %9s %14s\n' "$label (MiB/s)" "$med" "$lo" "$hi" "$(kib_to_mib "$peak")"
done
echo "ratio download_file / openssl pipeline (medians): $(awk -v a="${median[a]}" -v b="${median[b]}" 'BEGIN { printf "%.2f", a / b }')"
echo "ratio download_file / sha256sum pipeline (medians): $(awk -v a="${median[a]}" -v c="${median[c]}" 'BEGIN { printf "%.2f", a / c }')"

echo
echo "peak RSS of download_file by file size:"
for mib in "${memory_sizes[@]}"; do
  start_box "$mib"
  result=$(run_download "$mib")
  stop_box
  echo "  $mib MiB: $(kib_to_mib "${result#* }") MiB ($(echo "$result" | cut -d' ' -f1) MiB/s)"
done
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
