#!/usr/bin/env bash
# Writes a small photo library into DIR: COUNT JPEGs (default 36) in a few
# dated folders, with capture dates and, for the "Lisbon" folder, a location
# far from the others, so the library has months, folders and a trip.
set -euo pipefail
dir="$1"
count="${2:-36}"
mkdir -p "$dir/2021/Rome" "$dir/2022/Lisbon" "$dir/2023/Home"
colours=(SteelBlue DarkSeaGreen Coral Goldenrod SlateGray IndianRed CadetBlue Peru Orchid Teal)
args=()
for i in $(seq 1 "$count"); do
  case $((i % 3)) in
    0) sub=2021/Rome; day=$(printf '2021:05:%02d' $((1 + i % 5))); gps=(41.90 12.49) ;;
    1) sub=2022/Lisbon; day=$(printf '2022:09:%02d' $((10 + i % 4))); gps=(38.72 -9.14) ;;
    *) sub=2023/Home; day=$(printf '2023:%02d:14' $((1 + i % 12))); gps=() ;;
  esac
  file="$dir/$sub/IMG_$(printf '%04d' "$i").jpg"
  c1="${colours[$((i % ${#colours[@]}))]}"
  c2="${colours[$(((i * 7 + 3) % ${#colours[@]}))]}"
  convert -size 640x480 "gradient:$c1-$c2" -quality 85 "$file"
  tags=("-DateTimeOriginal=$day $(printf '%02d:%02d:00' $((8 + i % 10)) $((i % 60)))")
  if [ "${#gps[@]}" -eq 2 ]; then
    lat="${gps[0]}"; lon="${gps[1]}"
    tags+=("-GPSLatitude=$lat" "-GPSLatitudeRef=N" "-GPSLongitude=${lon#-}"
           "-GPSLongitudeRef=$([ "${lon:0:1}" = - ] && echo W || echo E)")
  fi
  exiftool -q -overwrite_original "${tags[@]}" "$file"
done
