#!/usr/bin/env bash
# Builds velmorast.exe and runs its main job under Wine, in a throwaway prefix,
# then shows what it did: the records in Registry.pol, gpt.ini and the registry
# values.
# VELMORAST_BUILD_DIR picks the build folder (default build/win).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=${VELMORAST_BUILD_DIR:-build/win}
# Wine is handed paths below it, so it is made absolute.
[[ $build = /* ]] || build="$PWD/$build"
echo "== building velmorast.exe (mingw-w64) in $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
doubles="$build/tests/wine/doubles"
launcher="$build/tests/wine/wine_launch.exe"

export WINEPREFIX="$build/demo-prefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY WINEDLLOVERRIDES
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
drive_c="$WINEPREFIX/drive_c"

echo "== fresh Wine prefix in $WINEPREFIX"
[ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# One server for the whole demo, so that Wine's services start only once.
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k 2>/dev/null || true' EXIT
WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
# Windows ships system32\GroupPolicy; a fresh Wine prefix does not.
mkdir -p "$drive_c/windows/system32/GroupPolicy"

echo "== stand-ins for what Wine lacks"
echo "   Under Wine the Group Policy refresh request and gpupdate.exe are stand-ins"
echo "   built for the tests: Wine's own userenv.dll has no RefreshPolicy, and Wine"
echo "   has no gpupdate.exe. Nothing here applies policy the way Windows would."
# The tool loads both from system32 by full path. The stand-in userenv.dll
# takes the place of Wine's own there (after wineboot, which wrote that one),
# and only velmorast.exe may load it: every other program, Wine's services
# among them, keeps the builtin, without which they fail.
printf '%s\r\n' REGEDIT4 '' \
  '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]' '"userenv"="builtin"' '' \
  '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\velmorast.exe\DllOverrides]' '"userenv"="native"' '' \
  >"$drive_c/overrides.reg"
"$wine" regedit /s 'C:\overrides.reg' </dev/null >/dev/null 2>&1
rm "$drive_c/overrides.reg"
mkdir -p "$drive_c/velmorast"
cp "$build/velmorast.exe" "$drive_c/velmorast/"
cp "$doubles/userenv.dll" "$drive_c/windows/system32/userenv.dll"
cp "$doubles/gpupdate.exe" "$drive_c/windows/system32/gpupdate.exe"
echo "   C:\\windows\\system32\\userenv.dll   RefreshPolicy that succeeds"
echo "   C:\\windows\\system32\\gpupdate.exe  exits with 0 at once"

echo "== running C:\\velmorast\\velmorast.exe"
# wine64 passes only the low 8 bits of the exit code to Linux; the launcher
# prints all 32 after the tool's output.
output=$(cd "$drive_c/velmorast" &&
         "$wine" "$launcher" 'C:\velmorast\velmorast.exe' </dev/null 2>/dev/null)
printf '%s\n' "$output" | sed '$d' | tr -d '\r'
echo "exit code: ${output##*exit:}"

echo "== result"
policy="$drive_c/windows/system32/GroupPolicy/Machine/Registry.pol"
if [ -f "$policy" ]; then
  python=/usr/bin/python3
  [ -x "$python" ] || python=python3
  "$python" tests/wine/show_policy.py "$policy" | sed "s|$drive_c/|C:/|"
else
  echo "no Registry.pol was written"
fi
gpt_ini="$drive_c/windows/system32/GroupPolicy/gpt.ini"
echo "C:\\windows\\system32\\GroupPolicy\\gpt.ini, which tells the Group Policy engine to read Registry.pol:"
if [ -f "$gpt_ini" ]; then
  tr -d '\r' <"$gpt_ini" | sed 's/^/   /'
else
  echo "   (none)"
fi
echo "values under HKEY_LOCAL_MACHINE (Wine's reg.exe):"
"$wine" reg query 'HKLM\SOFTWARE\Policies\Microsoft\Windows NT\Terminal Services' /s </dev/null 2>/dev/null |
  tr -d '\r' | sed '/^$/d' || echo "   (none)"
