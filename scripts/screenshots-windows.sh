#!/usr/bin/env bash
# Draws the setup's dialogs under Wine on an Xvfb display, as a clinic user
# sees them, and saves a PNG of each in docs/screenshots/: the progress dialog
# while it searches, once the box is found and while it downloads, and the
# result dialogs of a missing box, of a failure with and without retry, and of
# a damaged program.
#   scripts/screenshots-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--capture" ]; then
  # Run by test-windows.sh: WINEPREFIX, DISPLAY and our own wineserver are set.
  out=$PWD/docs/screenshots
  preview=$PWD/build-windows/tools/ostrevane-dialog-preview.exe
  wine=/usr/lib/wine/wine64
  mkdir -p "$out"
  # Without a window manager Wine draws the window frames (the title bar
  # included) only for windows it does not leave to one: for this program.
  "$wine" reg add 'HKCU\Software\Wine\AppDefaults\ostrevane-dialog-preview.exe\X11 Driver' \
    /v Managed /d N /f >/dev/null
  for shot in progress:searching progress:box-found progress:downloading result:no-box \
    result:download result:not-genuine result:damaged; do
    state=${shot#*:}
    file=$out/${shot%%:*}-$state.png
    coproc dialog { "$wine" "$preview" "$state"; }
    to_dialog=${dialog[1]}
    if ! read -r -t 60 x y width height <&"${dialog[0]}"; then
      echo "$state: the dialog was not shown" >&2
      exit 1
    fi
    # Wine hands its drawing to the X server shortly after the window drew it.
    sleep 1
    # No time stamps: a picture that did not change stays the same file.
    import -window root -crop "${width}x${height}+${x}+${y}" +repage -strip \
      -define png:exclude-chunk=date,time "$file"
    exec {to_dialog}>&-
    wait "$dialog_PID"
    echo "$file"
  done
  exit 0
fi

exec bash scripts/test-windows.sh --run bash "$0" --capture
