#!/usr/bin/env bash
# Indexing throughput against libvips alone: `vintrelle-probe index` on a
# library of twelve-megapixel JPEGs with EXIF (from scratch, no index yet)
# against `vipsthumbnail` making the same 480-pixel thumbnails of the same
# files with the same number of parallel workers. Prints both times, their
# ratio, the processor time each took (user and system, which a machine busy
# with other work stretches less than the wall-clock time) and its ratio,
# and the peak memory of the index run.
#
#   bench/index_vs_vips.sh [BUILD_DIR]      (default: build)
#   N=500 bench/index_vs_vips.sh            fewer files
#   SMALL=1 N=20000 bench/index_vs_vips.sh  small files (640 x 480), where
#                                           the cost per file shows
#
# Targets: ratio at most 0.9, on twelve-megapixel files and on small ones.
# The generated library is cached in $VINTRELLE_BENCH_CACHE (default
# ~/.cache/vintrelle-bench) and reused by later runs.
set -euo pipefail

BUILD=${1:-build}
N=${N:-2000}
PROBE="$BUILD/vintrelle-probe"
SMALL=${SMALL:-0}
if [[ "$SMALL" == 1 ]]; then
    WIDTH=640 HEIGHT=480 KIND=small TARGET=0.9
else
    WIDTH=4000 HEIGHT=3000 KIND=12mp TARGET=0.9
fi
CACHE="${VINTRELLE_BENCH_CACHE:-$HOME/.cache/vintrelle-bench}/jpeg$KIND-$N"
[[ -x "$PROBE" ]] || { echo "no $PROBE: build first" >&2; exit 1; }
for tool in vips vipsthumbnail exiftool /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done

# The engine reads with max(CPUs - 2, 2) workers; vipsthumbnail gets as many.
CPUS=$(nproc)
WORKERS=$(( CPUS > 4 ? CPUS - 2 : 2 ))

if [[ ! -f "$CACHE/.complete" ]]; then
    echo "generating $N JPEGs of $WIDTH x $HEIGHT in $CACHE (once)" >&2
    rm -rf "$CACHE"
    mkdir -p "$CACHE"
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    # A few different pictures with some texture, so decoding costs what a photo's does.
    for k in 0 1 2 3; do
        vips gaussnoise "$WORK/noise$k.v" "$WIDTH" "$HEIGHT" --sigma 40 --mean $((90 + 30 * k))
        vips gaussblur "$WORK/noise$k.v" "$WORK/soft$k.v" 1.5
        vips gaussblur "$WORK/noise$k.v" "$WORK/sharp$k.v" 0.8
        vips bandjoin "$WORK/soft$k.v $WORK/sharp$k.v $WORK/soft$k.v" "$WORK/rgb$k.v"
        vips cast "$WORK/rgb$k.v" "$WORK/base$k.jpg[Q=88]" uchar
        exiftool -q -overwrite_original -Make=Bench -Model="Camera $k" -LensModel="Lens $k" \
            -DateTimeOriginal="2023:0$((k + 1)):15 10:2$k:00" -ISO=200 -FNumber=2.8 -ExposureTime=0.01 \
            -FocalLength=26 -GPSLatitude=38.7 -GPSLatitudeRef=N -GPSLongitude=9.1 -GPSLongitudeRef=W \
            "$WORK/base$k.jpg"
    done
    for ((i = 0; i < N; i++)); do
        dir="$CACHE/$(( 2015 + i % 8 ))/$(printf '%02d' $(( i % 12 + 1 )))"
        mkdir -p "$dir"
        cp "$WORK/base$(( i % 4 )).jpg" "$dir/IMG_$(printf '%05d' "$i").jpg"
    done
    touch "$CACHE/.complete"
fi

# Both runs read from the page cache.
find "$CACHE" -name '*.jpg' -print0 | xargs -0 cat >/dev/null

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

rm -rf "$CACHE/.vintrelle"
/usr/bin/time -v -o "$OUT/time.txt" "$PROBE" index "$CACHE" --faces off >"$OUT/index.json"
rm -rf "$CACHE/.vintrelle"
INDEX_S=$(grep -o '"seconds":[0-9.e+-]*' "$OUT/index.json" | cut -d: -f2)
PEAK_KB=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$OUT/time.txt")
# User plus system seconds of a /usr/bin/time -v report.
cpu() { awk -F: '/(User|System) time \(seconds\)/ {s += $2} END {print s}' "$1"; }
INDEX_CPU=$(cpu "$OUT/time.txt")

mkdir -p "$OUT/thumbs"
START=$(date +%s.%N)
/usr/bin/time -v -o "$OUT/vips-time.txt" sh -c 'find "$1" -name "*.jpg" -print0 |
    VIPS_CONCURRENCY=1 xargs -0 -P "$2" -n 25 vipsthumbnail --size 480 -o "$3/thumbs/%s.jpg[Q=74]"' \
    sh "$CACHE" "$WORKERS" "$OUT"
END=$(date +%s.%N)
VIPS_S=$(echo "$END - $START" | bc -l)
VIPS_CPU=$(cpu "$OUT/vips-time.txt")

echo "index: $(cat "$OUT/index.json")"
printf '{"files":%d,"size":"%dx%d","workers":%d,"index_s":%.2f,"vipsthumbnail_s":%.2f,"ratio":%.3f,"index_cpu_s":%.2f,"vipsthumbnail_cpu_s":%.2f,"cpu_ratio":%.3f,"index_peak_rss_mb":%.0f,"target_ratio":%s,"load":"%s"}\n' \
    "$N" "$WIDTH" "$HEIGHT" "$WORKERS" "$INDEX_S" "$VIPS_S" "$(echo "$INDEX_S / $VIPS_S" | bc -l)" \
    "$INDEX_CPU" "$VIPS_CPU" "$(echo "$INDEX_CPU / $VIPS_CPU" | bc -l)" \
    "$(echo "$PEAK_KB / 1024" | bc -l)" "$TARGET" "$(cut -d' ' -f1-3 /proc/loadavg)"
