#!/usr/bin/env bash
# Fails when a source file includes a folder that sits above its own in
# Base → Index, Media → Faces, Places, Search → Engine → Store → App → UI.
set -euo pipefail
src="${1:-$(dirname "$0")/../src}"
cd "$src"

allowed() {  # folder of the including file -> include prefixes it may use
  case "$1" in
    Core/Base)   echo "Core/Base" ;;
    Core/Index)  echo "Core/Base Core/Index" ;;
    Core/Media)  echo "Core/Base Core/Media" ;;
    Core/Faces)  echo "Core/Base Core/Index Core/Media Core/Faces" ;;
    Core/Places) echo "Core/Base Core/Index Core/Places" ;;
    Core/Search) echo "Core/Base Core/Index Core/Search" ;;
    Core/Engine) echo "Core Engine" ;;
    Store)       echo "Core Store" ;;
    App)         echo "Core Store App" ;;
    UI/Kit)      echo "Core Store App UI/Kit" ;;
    UI/*)        echo "Core Store App UI/Kit $1" ;;
    .)           echo "Core Store App UI" ;;
    *)           echo "" ;;
  esac
}

status=0
while IFS= read -r file; do
  dir="$(dirname "$file")"
  case "$dir" in Core/Faces/*) dir=Core/Faces ;; esac
  ok="$(allowed "$dir")"
  while IFS= read -r inc; do
    pass=0
    for p in $ok; do
      [ "$p" = Engine ] && p=Core/Engine
      case "$inc" in "$p"/*) pass=1 ;; esac
    done
    case "$inc" in */*) ;; *) pass=1 ;; esac  # same-folder include
    if [ "$pass" = 0 ]; then
      echo "layering: $file includes $inc" >&2
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||')
exit $status
