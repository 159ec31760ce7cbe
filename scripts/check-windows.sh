#!/usr/bin/env bash
# The Windows build and its tests: configures the real CMake targets with the mingw-w64 toolchain
# (cmake/mingw-w64.cmake) and builds the static libraries of the watcher, capture and utilities folders, the
# platform include (every header compiled on its own) and the native tests of the three that need no seam, each
# linked against its subsystem's target alone; then runs those tests under Wine and prints one line per subsystem.
# Python for Windows is not available here, so the module folder is left out.
#
#   bash scripts/check-windows.sh [BUILD_DIR]     JOBS=N builds with N jobs (3); QUORVEL_WINE=0: no run under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

out=${1:-build/windows-check}
mkdir -p "$out/include"
out=$(cd "$out" && pwd)
# spdlog and fmt from Debian, in a folder of their own: /usr/include itself must never reach a mingw build.
for lib in spdlog fmt; do
  rm -rf "$out/include/$lib"
  cp -a "/usr/include/$lib" "$out/include/$lib"  # their dates kept: an unchanged build stays built
done

cmake -G Ninja -S "$root" -B "$out/cmake" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVEL_WINDOWS_INCLUDE="$out/include" >/dev/null
cmake --build "$out/cmake" -j "${JOBS:-3}"
echo "windows-check: the Windows targets built with x86_64-w64-mingw32"

[ "${QUORVEL_WINE:-1}" = 0 ] && exit 0

# Wine is slow to start: one prefix per build folder, made once, one server kept for all the runs, and one process
# per test program (the capture's twice: without a display and under a private X server).
wine=/usr/lib/wine/wine64
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" cmd /c exit >/dev/null 2>&1 || true
fi
"$wineserver" -p >/dev/null 2>&1 || true
xvfb_pid=
finish() {
  "$wineserver" -k >/dev/null 2>&1 || true  # this prefix's server only; nothing else waits for it
  "$wineserver" -w >/dev/null 2>&1 || true  # its programs gone before their X server
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap finish EXIT

# Skipped by name, each with what Wine 8 does and Windows does not. Every name must be a test of the sources.
skips=(
  # Wine packs the records of one read without DWORD padding: the walk (rightly) stops at a misaligned record.
  OnSystem.RenamesOfNamesOfAnyLengthArrive
  # Wine misses changes in subdirectories that existed before a subtree watch was made.
  OnSystem.ChangesInASubdirectoryThatExistedBeforeTheWatchArrive
  # Wine reports later children of a renamed directory under the directory's old name.
  OnSystem.ARenamedDirectoryReportsItsNewChildrenUnderItsNewName
  # Wine completes no read with an error when the watched directory is deleted.
  OnSystem.DeletingTheWatchedDirectoryEndsItsWatchWithOneErrorLine
  # Wine's IShellItemImageFactory::GetImage is a stub: S_OK with a 1x1 image, whatever the item and size (the
  # shell road is checked up to that call, and the PNG of what it returns, by the other IconPngTest tests).
  IconPngTest.ExeIconIsTheFirstGroupAtTheRequestedSize
  # The same stub; and Wine's SHCreateItemFromParsingName makes the item without COM (Windows: CO_E_NOTINITIALIZED).
  IconPlatform.ShellItemNeedsComAndAnExistingPathAndHonoursTheSizeFlags
  # Wine's PrivateExtractIconsW now and then counts an icon as extracted but hands back no handle while other
  # threads make GDI objects (a few calls in a thousand of the icon road, mixed with the shell road on 4 threads).
  IconPngTest.ManyCallsOnSeveralThreadsLeaveNothingBehind
  # With LR_LOADFROMFILE and several icons asked for, Wine fills only the first handle while counting them all.
  IconPlatform.PrivateExtractIconsCountsAndExtractsGroups
  # Wine's CoInitializeEx accepts a reserved pointer that is not null (Windows: E_INVALIDARG).
  IconPlatform.ApartmentsFollowWindowsRules
  # Wine counts GetDIBits' start line of a top-down destination from the bottom, and copies into a BITMAPINFO
  # wider than the bitmap; the Linux layer follows Windows' documentation (the conversion itself only asks for
  # all lines from 0 at the bitmap's own width, and is checked pixel for pixel by the icon road).
  IconPlatform.GetDIBitsCopiesLinesInTheDestinationsOrderAndCountsThem
  # Wine sizes a stream's memory block to its content exactly, and grows a block that is locked.
  IconPlatform.HGlobalStreamBlockIsLargerThanItsContentAndGoesWithTheStream
  # Wine's GDI+ makes bitmaps before GdiplusStartup (Windows: GdiplusNotInitialized).
  IconPlatform.PngEncoderKeepsEveryArgbValue
  # Wine has no desktop duplication: DuplicateOutput returns E_NOTIMPL under a display, and without one no device
  # is made (the step each refusal must be logged at is checked by the other CaptureOnSystem tests).
  CaptureOnSystem.TheMonitorsOutputIsCapturedWithItsPlaceAndSize
)
# Tests that need a display (a window of their own): not in the run without one.
needs_display=(
  CaptureOnSystem.NothingToCaptureForZeroOrAWindowThatIsGone
  CaptureOnSystem.TheGamesWindowIsFoundByItsInstallDirectoryAndCapturedAsTheSystemAllows
)

subsystem() {  # subsystem TEST_PROGRAM_NAME
  case $1 in
    fs_watcher_*) echo watcher ;;
    utils_* | icon_*) echo utilities ;;
    capture_*) echo capture ;;
  esac
}
declare -A run passed skipped
status=0

# The test's source file, or nothing: a skip naming no test is an error, not a silent no-op.
source_of() {
  local suite=${1%%.*} name=${1#*.}
  grep -lE "TEST(_F|_P)?\($suite, $name\)" "$root"/tests/native/*_test.cpp 2>/dev/null | head -1
}
for name in "${skips[@]}" "${needs_display[@]}"; do
  if [ -z "$(source_of "$name")" ]; then
    echo "windows-check: the skipped test $name exists nowhere" >&2
    status=1
  fi
done

mkdir -p "$out/results"
# run_tests EXE LABEL FILTER: one Wine process; its counts added to its subsystem's.
run_tests() {
  local exe=$1 label=$2 filter=$3 xml
  local name
  name=$(basename "$exe" .exe)
  xml="$out/results/$label.xml"
  rm -f "$xml"
  echo "=== wine: $label"
  if ! timeout 300 "$wine" "$exe" --gtest_filter="$filter" --gtest_brief=1 --gtest_output="xml:Z:$xml"; then
    echo "windows-check: FAILED under Wine: $label" >&2
    status=1
  fi
  local group tests=0 failures=0 errors=0 skipped_inside=0
  group=$(subsystem "$name")
  if [ -f "$xml" ]; then
    local counts='s/^<testsuites tests="\([0-9]*\)" failures="\([0-9]*\)" disabled="[0-9]*" errors="\([0-9]*\)".*/\1 \2 \3/p'
    read -r tests failures errors < <(sed -n "$counts" "$xml") || true
    skipped_inside=$(grep -c '<skipped' "$xml" || true)
  else
    echo "windows-check: $label left no results" >&2
    status=1
  fi
  run[$group]=$(( ${run[$group]:-0} + tests ))
  passed[$group]=$(( ${passed[$group]:-0} + tests - failures - errors - skipped_inside ))
}

excluded=$(IFS=:; echo "${skips[*]}")
for exe in "$out"/cmake/tests/native/*_test.exe; do
  [ "$(basename "$exe")" = capture_windows_test.exe ] || run_tests "$exe" "$(basename "$exe" .exe)" "*:-$excluded"
done
# The capture last: without a display, then under Xvfb with a fresh server, since Wine's desktop keeps the display
# (or the lack of one) of the process that started it.
exe="$out/cmake/tests/native/capture_windows_test.exe"
if [ -f "$exe" ]; then
  run_tests "$exe" "capture_windows_test (no display)" "*:-$excluded:$(IFS=:; echo "${needs_display[*]}")"
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  if command -v Xvfb >/dev/null; then
    rm -f "$out/results/xvfb.display"
    Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$out/results/xvfb.display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$out/results/xvfb.display" ] && break; sleep 0.1; done
    DISPLAY=":$(cat "$out/results/xvfb.display")" run_tests "$exe" "capture_windows_test (Xvfb)" "*:-$excluded"
  else
    echo "windows-check: Xvfb missing: the capture's tests that need a display did not run" >&2
    status=1
  fi
fi

for name in "${skips[@]}"; do
  group=$(subsystem "$(basename "$(source_of "$name")" .cpp)")
  skipped[$group]=$(( ${skipped[$group]:-0} + 1 ))
done
# Not built for Windows: those driven through the Linux seam, and those that test the Linux layer's own parts.
for source in "$root"/tests/native/{fs_watcher,utils,icon,capture}_*_test.cpp; do
  name=$(basename "$source" .cpp)
  [ -f "$out/cmake/tests/native/$name.exe" ] && continue
  why="tests the Linux layer's own parts"
  for file in "$source" $(sed -n 's|^#include "\([a-z_0-9]*\.h\)"|'"$root"'/tests/native/\1|p' "$source"); do
    [ -f "$file" ] && grep -q 'seam' "$file" && why="needs the Linux test seam"
  done
  echo "windows-check: not built for Windows: $name ($why)"
done
echo
for group in watcher utilities capture; do
  echo "windows-check: $group under Wine: ${run[$group]:-0} run, ${passed[$group]:-0} passed," \
    "${skipped[$group]:-0} skipped by name"
done
[ $status -eq 0 ] && echo "windows-check: the native tests passed under Wine"
exit $status
