#!/usr/bin/env bash
# Measures the streamed download, in one run, beside the download it replaced,
# two scripted pipelines and this machine's floor for the same bytes, and prints
# the ratios of the download to each.
#   bench/run.sh [ROUNDS]     ROUNDS measured rounds after one warm-up (default 7)
#   SIZE_MIB=600              the size of the file
#   BASELINE=COMMIT           the commit whose download-bench is "before" (default:
#                             the download before its body reads were reworked);
#                             BASELINE= (empty) leaves it out
# Every round runs each of these once, in an order rotated from round to round:
#   download_file   this tree's download (request, hash, write, sync, rename)
#   before          the same from BASELINE, built from `git archive` in build/
#   body read       this tree's request and body reads alone, nothing hashed or
#                   written (download-bench --read-only): the transport's share
#   openssl pipe    curl | tee FILE | openssl dgst -sha256, then sync FILE
#   sha256sum pipe  curl | tee FILE | sha256sum, then sync FILE
#   floor           what no download of these bytes can avoid on this machine:
#                   the time to the response head (curl's time to the first
#                   byte), AES-256-GCM decryption and SHA-256 of the size
#                   (openssl speed, 16 KiB blocks), and the fsync that is left
#                   once the file is written back (download-bench --flush-floor)
# A download's time is the one the program measures, from the request to the
# rename; a pipeline's runs from its start to the end of the sync. Peak memory
# is the maximum resident set size (/usr/bin/time %M), for a pipeline the sum of
# its three processes. "switches" counts a download's voluntary context
# switches (/usr/bin/time %w): its threads' waits for each other and for data.
# The machine may be shared: the load is shown per round.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-7}
size=${SIZE_MIB:-600}
baseline=${BASELINE-6a79110997872f42c650a22d0ef172296abc4f56}
memory_sizes=(64 256 600)
[ "$rounds" -ge 7 ] || echo "note: fewer than 7 rounds, the medians are rough" >&2

[ -x /usr/bin/time ] || bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j3 --target download-bench >/dev/null
bench=build/bench/download-bench

before=""
if [ -n "$baseline" ]; then
  commit=$(git rev-parse --verify "$baseline^{commit}")
  base_dir=build/bench-baseline/$commit
  if [ ! -x "$base_dir/build/bench/download-bench" ]; then
    echo "building download-bench of $commit in $base_dir (once)" >&2
    rm -rf "$base_dir/src"
    mkdir -p "$base_dir/src"
    git archive "$commit" | tar -x -C "$base_dir/src"
    cmake -S "$base_dir/src" -B "$base_dir/build" -G Ninja \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$base_dir/build" -j3 --target download-bench >/dev/null
  fi
  before=$base_dir/build/bench/download-bench
fi

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
  "$bench" --serve --ca "$work/ca.pem" --size "$1" --serve-seconds 3600 >"$work/box.txt" &
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
load() { cut -d' ' -f1 /proc/loadavg; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# Runs download-bench BINARY once for SIZE MiB, with any further options;
# prints "seconds peak_kib voluntary_context_switches".
run_download() {
  /usr/bin/time -f '%M %w' -o "$work/rss" \
    "$1" --port "$port" --ca "$work/ca.pem" --sha256 "$digest" --size "$2" --runs 1 \
    --dir "$work" "${@:3}" >"$work/out"
  echo "$(awk '/^run 1:/ {print $(NF-3)}' "$work/out") $(tail -n 1 "$work/rss")"
}

# Runs the curl pipeline with the hash command "$@" once; prints "seconds peak_kib".
run_pipeline() {
  local t0 t1 got
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
  echo "$(calc %.3f "($t1 - $t0) / 1e9") $kib"
}

# Prints the seconds openssl speed gives for SIZE MiB of "$@" in 16 KiB blocks.
speed_seconds() {
  local rate
  rate=$(openssl speed -mr -elapsed -seconds 1 -bytes 16384 "$@" 2>/dev/null |
         awk -F: '/^\+F:/ {print $NF}')
  calc %.3f "$size * 1048576 / $rate"
}

# Measures the floor once; prints "total head decrypt sha256 flush".
run_floor() {
  local head decrypt sha flush
  head=$(curl -sS -o /dev/null --cacert "$work/ca.pem" --resolve "$host:$port:127.0.0.1" \
         -w '%{time_starttransfer}' "https://$host:$port/desktop/head")
  decrypt=$(speed_seconds -decrypt -evp aes-256-gcm)
  sha=$(speed_seconds -evp sha256)
  flush=$("$bench" --flush-floor --size "$size" --dir "$work" | awk '$1 == "flush_s" {print $2}')
  echo "$(calc %.3f "$head + $decrypt + $sha + $flush") $head $decrypt $sha $flush"
}

run_item() {
  case $1 in
    new) run_download "$bench" "$size" ;;
    before) run_download "$before" "$size" ;;
    read) run_download "$bench" "$size" --read-only ;;
    openssl) run_pipeline openssl dgst -sha256 -r ;;
    sha256sum) run_pipeline sha256sum ;;
    floor) run_floor ;;
  esac
}

label() {
  case $1 in
    new) echo "download_file" ;;
    before) echo "download_file before (${commit:0:7})" ;;
    read) echo "body read alone (no hash, no file)" ;;
    openssl) echo "curl | tee | openssl dgst, sync" ;;
    sha256sum) echo "curl | tee | sha256sum, sync" ;;
    floor) echo "floor" ;;
  esac
}

# Prints "median min max" of the numbers on stdin.
stats() {
  sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}

items=(new)
[ -n "$before" ] && items+=(before)
items+=(read openssl sha256sum floor)

echo "machine: $(nproc) cores, $(awk -F': *' '/^model name/ {print $2; exit}' /proc/cpuinfo)," \
  "load $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "$size MiB, $rounds rounds after a warm-up, the order rotated each round"
start_box "$size"
for item in "${items[@]}"; do : >"$work/$item.txt"; done
: >"$work/load.txt"
for round in $(seq 0 "$rounds"); do
  line=""
  round_load=$(load)
  for k in $(seq 0 $((${#items[@]} - 1))); do
    item=${items[$(((round + k) % ${#items[@]}))]}
    result=$(run_item "$item")
    [ "$round" -gt 0 ] && echo "$result" >>"$work/$item.txt"
    line+="$item ${result%% *} s, "
  done
  if [ "$round" -eq 0 ]; then
    echo "warm-up (load $round_load): ${line%, }"
  else
    echo "$round_load" >>"$work/load.txt"
    echo "round $round (load $round_load): ${line%, }"
  fi
done
stop_box

echo
printf '%-40s %8s %8s %8s %8s %9s %9s\n' "seconds" "median" "min" "max" "MiB/s" "peak MiB" \
  "switches"
declare -A median
for item in "${items[@]}"; do
  read -r med lo hi < <(cut -d' ' -f1 "$work/$item.txt" | stats)
  median[$item]=$med
  peak="-"
  switches="-"
  if [ "$item" != floor ]; then
    peak=$(calc %.1f "$(cut -d' ' -f2 "$work/$item.txt" | sort -n | tail -n 1) / 1024")
  fi
  if [ "$item" = new ] || [ "$item" = before ] || [ "$item" = read ]; then
    switches=$(cut -d' ' -f3 "$work/$item.txt" | stats | cut -d' ' -f1)
    switches=${switches%.*}
  fi
  printf '%-40s %8s %8s %8s %8s %9s %9s\n' "$(label "$item")" "$med" "$lo" "$hi" \
    "$(calc %.0f "$size / $med")" "$peak" "$switches"
done
parts=(head "decrypt (AES-256-GCM)" "SHA-256" "flush after writeback")
for i in 0 1 2 3; do
  read -r med lo hi < <(cut -d' ' -f$((i + 2)) "$work/floor.txt" | stats)
  printf '%-40s %8s %8s %8s\n' "  ${parts[$i]}" "$med" "$lo" "$hi"
done

echo
echo "download_file's median time against each (below 1 is faster):"
for item in "${items[@]}"; do
  [ "$item" = new ] && continue
  printf '  %-38s %5s\n' "$(label "$item")" "$(calc %.2f "${median[new]} / ${median[$item]}")"
done
if [ -n "$before" ]; then
  echo "  speed-up on before: $(calc %.2f "${median[before]} / ${median[new]}")x"
fi
read -r med lo hi < <(stats <"$work/load.txt")
echo "load (1 min) at the rounds' starts: median $med, min $lo, max $hi"

echo
echo "peak RSS of the download by file size:"
for mib in "${memory_sizes[@]}"; do
  start_box "$mib"
  line="  $mib MiB: download_file $(calc %.1f "$(run_download "$bench" "$mib" | cut -d' ' -f2) / 1024") MiB"
  if [ -n "$before" ]; then
    line+=", before $(calc %.1f "$(run_download "$before" "$mib" | cut -d' ' -f2) / 1024") MiB"
  fi
  stop_box
  echo "$line"
done
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
