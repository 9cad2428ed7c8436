#!/bin/sh
# Runs a Windows program under Debian's Wine, headless and quiet: the emulator the windows-x64-tests
# preset gives CMake and CTest, and how the end-to-end tests start the Windows sidecar.
#   scripts/wine.sh PROGRAM.exe [ARGUMENT...]
# The prefix (Wine's C: drive and registry, ~700 MB, ~15 s to create) lives in the build tree
# unless WINEPREFIX says otherwise; scripts/test.sh --target windows-x64 keeps one wineserver
# running for the whole run, so each program starts in well under a second.
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/../build/windows-x64/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers while the prefix is created, and no window anywhere.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
for wine in wine64 /usr/lib/wine/wine64 wine; do
  command -v "$wine" >/dev/null 2>&1 && exec "$wine" "$@"
done
echo "wine.sh: no wine64 or wine found (scripts/deps.sh --target windows-x64 installs it)" >&2
exit 127
