#!/usr/bin/env bash
# Compiles the platform include and every source of the watcher, capture and utilities folders for Windows with
# mingw-w64 against its real SDK headers, so the Windows build never drifts from the Linux one. Python for
# Windows is not available here, so the module folder is left out.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=x86_64-w64-mingw32-g++-posix
out=${1:-build/windows-check}
mkdir -p "$out/include"
# spdlog and fmt from Debian, in a folder of their own: /usr/include itself must never reach a mingw build.
for lib in spdlog fmt; do
  rm -rf "$out/include/$lib"
  cp -r "/usr/include/$lib" "$out/include/$lib"
done

flags=(-std=c++20 -Wall -Wextra -Wno-missing-field-initializers -Werror=return-type -DUNICODE -D_UNICODE
       -DFMT_HEADER_ONLY -DSPDLOG_FMT_EXTERNAL -DSPDLOG_NO_EXCEPTIONS -DSPDLOG_WCHAR_TO_UTF8_SUPPORT
       -Isrc -I"$out/include")

# Every header a subsystem may include, in one translation unit of its own.
probe="$out/headers.cpp"
{
  echo '#include "platform/win32.h"'
  echo '#include "platform/log.h"'
  for h in src/fs_watcher/*.h src/game_screenshoter/*.h src/utils/*.h src/platform/*.h; do
    [ -e "$h" ] && echo "#include \"${h#src/}\""
  done
} > "$probe"

sources=("$probe")
for dir in src/platform src/fs_watcher src/game_screenshoter src/utils; do
  for f in "$dir"/*.cpp; do
    [ -e "$f" ] && sources+=("$f")
  done
done

status=0
for f in "${sources[@]}"; do
  obj="$out/$(basename "${f%.cpp}").o"
  if ! "$CXX" "${flags[@]}" -c "$f" -o "$obj"; then
    echo "windows-check: FAILED $f" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "windows-check: ${#sources[@]} translation units compiled for x86_64-w64-mingw32"
exit $status
