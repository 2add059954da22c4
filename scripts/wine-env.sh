# Sourced by the scripts: a private Wine prefix for one build tree.
#   TOLVANE_WINE_PREFIX  where the prefix lives (default build/wineprefix)
# Exports WINEPREFIX, WINEARCH, WINELOADER, TOLVANE_WINE, WINESERVER.
# 32-bit Wine needs a kernel that runs i386 programs; where it does not, the
# prefix is 64-bit and the Windows programs under test are the x86_64 build.

tolvane_wine_arch() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo win32; else echo win64; fi
}

tolvane_wine_setup() {
  local root="${TOLVANE_WINE_PREFIX:-$PWD/build/wineprefix}"
  export WINEARCH; WINEARCH="$(tolvane_wine_arch)"
  export WINEPREFIX="$root-$WINEARCH"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ "$WINEARCH" = win32 ]; then
    export TOLVANE_WINE=/usr/lib/wine/wine
  else
    export TOLVANE_WINE=/usr/lib/wine/wine64
  fi
  export WINELOADER="$TOLVANE_WINE"
  export WINESERVER=/usr/lib/wine/wineserver
  [ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver)"
  if [ ! -f "$WINEPREFIX/.tolvane-ready-2" ]; then
    echo "wine: creating $WINEARCH prefix in $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    "$TOLVANE_WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
    # Without a window manager Wine waits for one whenever a top-level
    # window is hidden or destroyed; unmanaged windows make close instant.
    "$TOLVANE_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # A program that crashes ends, its backtrace on its standard error,
    # instead of waiting behind a dialog that takes the keyboard focus.
    "$TOLVANE_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.tolvane-ready-2"
  fi
  # Keep one server (and so the prefix's services) up for the whole run:
  # later starts are fast and the COM links made afterwards stay in place.
  "$WINESERVER" -p >/dev/null 2>&1 || true
  "$TOLVANE_WINE" cmd /c exit >/dev/null 2>&1 || true
}
