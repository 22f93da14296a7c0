#!/usr/bin/env bash
# Buffer compression benchmark.
#
# Builds bench_compress (Release), makes a mixed corpus of text, source code and binaries from
# this machine's files (at least 20 MB, in a temporary folder deleted afterwards), and compares:
#   - our level 1 with zlib's compress2 at level 1 (goal: time ratio <= 1.1);
#   - our levels 2 and 3 with 7-Zip's PPMd at order 5 / 20 MB and order 16 / 50 MB: compress
#     ("7z a") and extract ("7z e -so" to /dev/null) against our compress and decompress
#     (goal: our throughput >= 0.8 x 7-Zip's, our size <= 1.03 x its archive).
# 7-Zip and our coder run alternately, round after round, and each figure is the best of its
# rounds, so that other load on the machine hits both alike. Times are CPU seconds (user + sys);
# wall-clock seconds are printed beside them. 7-Zip's PPMd is variant H in a .7z archive, so its
# size includes the archive headers (a few hundred bytes).
#
# Usage: bench/compress/run.sh        (environment: BUILD_DIR, REPEATS (rounds, default 3))
# Output: name<TAB>value<TAB>unit lines, reference figures first, then ours, then the ratios.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${BUILD_DIR:-$repo/build-bench}"
rounds="${REPEATS:-3}"

find_7zip() {
  for candidate in 7zz 7z 7za; do
    if command -v "$candidate" >/dev/null 2>&1; then echo "$candidate"; return; fi
  done
}
seven="$(find_7zip)"
if [ -z "$seven" ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get install -y 7zip >&2
  seven="$(find_7zip)"
  [ -n "$seven" ] || { echo "run.sh: no 7-Zip binary after installing 7zip" >&2; exit 1; }
fi

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench_compress -j2 >/dev/null
bench="$build/bench/compress/bench_compress"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
corpus="$work/corpus.bin"

# Appends up to part_mb MB of the files a find expression lists, in a stable order. The reader
# stops early on purpose, so the pipeline's broken-pipe status is ignored.
part_mb=8
append_part() {
  { find "$@" -print0 2>/dev/null | sort -z | xargs -0 cat 2>/dev/null |
      head -c "$(( part_mb * 1024 * 1024 ))" >>"$corpus"; } || true
}
: >"$corpus"
append_part /usr/share/doc -type f ! -name '*.gz' ! -name '*.bz2' ! -name '*.xz'
append_part /usr/include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \)
append_part /usr/bin -type f -size +16k
min=$(( 20 * 1024 * 1024 ))
size="$(stat -c %s "$corpus")"
if [ "$size" -lt "$min" ]; then
  # Top up from the libraries when a part was short.
  part_mb=$(( (min - size) / 1024 / 1024 + 1 ))
  append_part /usr/lib -type f -size +16k
  size="$(stat -c %s "$corpus")"
fi
[ "$size" -ge "$min" ] || { echo "run.sh: corpus only $size bytes" >&2; exit 1; }
corpus_mb="$(awk "BEGIN{print $size / 1048576}")"

declare -A value unit
order=()
# record NAME VALUE UNIT [min]: keeps the value, or with "min" the smallest one seen.
record() {
  local name="$1" v="$2" u="$3" how="${4:-}"
  if [ -z "${value[$name]+set}" ]; then
    order+=("$name")
    value[$name]="$v"
  elif [ "$how" = min ] && awk "BEGIN{exit !($v < ${value[$name]})}"; then
    value[$name]="$v"
  elif [ "$how" != min ]; then
    value[$name]="$v"
  fi
  unit[$name]="$u"
}

# Times one run of a command; prints "cpu wall".
time_once() {
  local out
  out="$( { TIMEFORMAT='%3R %3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 | tail -n 1 )"
  echo "$out" | awk '{printf "%.3f %.3f\n", $2 + $3, $1}'
}

compress_7z() { rm -f "$1"; "$seven" a -bd -m0=PPMd:o="$2":mem="$3"m "$1" "$corpus"; }
extract_7z() { "$seven" e -bd -so "$1"; }

ours=()
for _ in $(seq "$rounds"); do
  for setting in "o5 5 20 2" "o16 16 50 3"; do
    set -- $setting
    archive="$work/$1.7z"
    read -r cpu wall < <(time_once compress_7z "$archive" "$2" "$3")
    record "7z_$1_compress_cpu" "$cpu" s min
    record "7z_$1_compress_wall" "$wall" s min
    read -r cpu wall < <(time_once extract_7z "$archive")
    record "7z_$1_extract_cpu" "$cpu" s min
    record "7z_$1_extract_wall" "$wall" s min
    record "7z_$1_archive" "$(stat -c %s "$archive")" bytes
    while IFS=$'\t' read -r name v u; do
      case "$name" in
        *_cpu | *_wall) record "$name" "$v" "$u" min ;;
        *_throughput) ;;
        *) record "$name" "$v" "$u" ;;
      esac
    done < <("$bench" "$corpus" "level$4")
  done
done
for level in 2 3; do
  while IFS=$'\t' read -r name v u; do record "$name" "$v" "$u"; done < <("$bench" "$corpus" "single$level")
done

show() { printf '%s\t%s\t%s\n' "$1" "$2" "$3"; }
throughput() { awk "BEGIN{printf \"%.3f\", $corpus_mb / $1}"; }
ratio() { awk "BEGIN{printf \"%.3f\", $1 / $2}"; }

show corpus_size "$size" bytes
for name in "${order[@]}"; do
  case "$name" in 7z_*) show "$name" "${value[$name]}" "${unit[$name]}" ;; esac
  case "$name" in 7z_*_cpu) show "${name%_cpu}_throughput" "$(throughput "${value[$name]}")" MB/s ;; esac
done
"$bench" "$corpus" level1 "$(( rounds > 5 ? rounds : 5 ))"
for name in "${order[@]}"; do
  case "$name" in ours_*) show "$name" "${value[$name]}" "${unit[$name]}" ;; esac
  case "$name" in ours_*_cpu) show "${name%_cpu}_throughput" "$(throughput "${value[$name]}")" MB/s ;; esac
done
for pair in "o5 l2" "o16 l3"; do
  set -- $pair
  r="7z_$1" o="ours_$2" n="ratio_$2_vs_7z_$1"
  show "${n}_compress_throughput" "$(ratio "${value[${r}_compress_cpu]}" "${value[${o}_compress_cpu]}")" "x (goal >= 0.8)"
  show "${n}_decompress_throughput" "$(ratio "${value[${r}_extract_cpu]}" "${value[${o}_decompress_cpu]}")" "x (goal >= 0.8)"
  show "${n}_size" "$(ratio "${value[${o}_size]}" "${value[${r}_archive]}")" "x (goal <= 1.03)"
  show "${n}_single_chunk_size" "$(ratio "${value[${o}_single_chunk_size]}" "${value[${r}_archive]}")" "x"
done
