#!/usr/bin/env bash
# Re-vendors the interface icons from pinned npm packages: the files named by
# resources/icons/symbols.tsv, both licences, and resources/icons.qrc, which
# compiles them into the binary. The vendored files are committed; run this
# only after editing the table or moving to other package versions.
set -euo pipefail

PHOSPHOR="@phosphor-icons/core 2.1.1 sha512-v4ARvrip4qBCImOE5rmPUylOEK4iiED9ZyKjcvzuezqMaiRASCHKcRIuvvxL/twvLpkfnEODCOJp5dM4eZilxQ=="
TABLER="@tabler/icons 3.54.0 sha512-Qak+rt5Q89k2fa5yQOE8IulUDoUJneuzEHMJ3NOQf5mvSnmlCY5xARiCi60ba4Doxqv+KbYOhzWtCauehEitBA=="

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
icons="$root/resources/icons"
table="$icons/symbols.tsv"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fetch() {  # NAME VERSION INTEGRITY -> unpacked into $work/DIR
  local name="$1" version="$2" integrity="$3" dir="$4"
  (cd "$work" && npm pack --silent "$name@$version" >/dev/null)
  local tgz
  tgz="$(ls -t "$work"/*.tgz | head -n1)"
  local got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
  if [ "$got" != "$integrity" ]; then
    echo "vendor-icons: integrity mismatch for $name@$version: $got" >&2
    exit 1
  fi
  mkdir -p "$work/$dir"
  tar -xzf "$tgz" -C "$work/$dir"
  rm -f "$tgz"
}

# shellcheck disable=SC2086
fetch $PHOSPHOR phosphor
# shellcheck disable=SC2086
fetch $TABLER tabler

rm -rf "$icons/phosphor" "$icons/tabler"
mkdir -p "$icons/phosphor" "$icons/tabler"
cp "$work/phosphor/package/LICENSE" "$icons/phosphor/LICENSE"
cp "$work/tabler/package/LICENSE" "$icons/tabler/LICENSE"

files=()
copy() {  # SOURCE-IN-PACKAGE DEST-UNDER-ICONS
  mkdir -p "$(dirname "$icons/$2")"
  cp "$1" "$icons/$2"
  files+=("icons/$2")
}

while IFS=$'\t' read -r symbol source; do
  case "$symbol" in ""|\#*) continue;; esac
  kind="${source%%:*}"
  name="${source#*:}"
  ph="$work/phosphor/package/assets"
  case "$kind" in
    ph)
      copy "$ph/light/$name-light.svg" "phosphor/light/$name.svg"
      copy "$ph/regular/$name.svg" "phosphor/regular/$name.svg"
      copy "$ph/bold/$name-bold.svg" "phosphor/bold/$name.svg"
      ;;
    ph-fill) copy "$ph/fill/$name-fill.svg" "phosphor/fill/$name.svg" ;;
    tb) copy "$work/tabler/package/icons/outline/$name.svg" "tabler/outline/$name.svg" ;;
    *) echo "vendor-icons: unknown source '$source' for $symbol" >&2; exit 1 ;;
  esac
done < "$table"

{
  echo '<!DOCTYPE RCC>'
  echo '<!-- Written by scripts/vendor-icons.sh -->'
  echo '<RCC version="1.0">'
  echo '<qresource prefix="/">'
  echo '  <file>icons/symbols.tsv</file>'
  printf '%s\n' "${files[@]}" | sort -u | sed 's|.*|  <file>&</file>|'
  echo '</qresource>'
  echo '</RCC>'
} > "$root/resources/icons.qrc"
echo "vendor-icons: $(printf '%s\n' "${files[@]}" | sort -u | wc -l) icons in $icons"
