#!/usr/bin/env bash
# The Windows part of the demo (scripts/demo.sh): runs QuillMar.exe of a
# Windows build under Wine (QM_WINE_LOADER, the 32-bit loader by default) on
# an Xvfb display of its own. Mode "download" takes
# a screenshot of the connect window while the progress bar stands part-way,
# opens the proxy dialog through the window's "Proxy" link, takes one of it
# and cancels it, which leaves the update alone; mode "window" takes one of
# the connect window as it first shows. The caller makes the Wine prefix
# (WINEPREFIX, WINEARCH).
#   demo_wine.sh MODE GAME_FOLDER SCREENSHOT_FOLDER
set -euo pipefail
mode=$1
game=$2
shots=$3

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 800x600x24" bash "$0" "$@"
fi

log() { printf '    %s\n' "$*"; }

find_window() {  # name pattern; prints the X window id once it is shown
  local id
  for _ in $(seq 200); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# How far the progress bar stands, in percent: its fill colour along its
# middle row (the bar is at 12,195, 358 pixels wide, in the borderless window).
bar_percent() {  # screenshot of the connect window
  convert "$1" -crop 358x1+12+203 +repage -fill black +opaque 'rgb(188,174,7)' \
    -fill white -opaque 'rgb(188,174,7)' -format '%[fx:int(mean*100+0.5)]' info: 2>/dev/null ||
    echo 0
}

log "wine QuillMar.exe '-server 7' in $game"
(cd "$game" && "${QM_WINE_LOADER:-/usr/lib/wine/wine}" QuillMar.exe "-server 7" >/dev/null 2>&1) &
updater=$!

window=$(find_window '^Quillmar$') || { log "the connect window did not appear"; exit 1; }
log "the connect window is up"

if [ "$mode" = window ]; then
  sleep 0.2
  import -window "$window" "$shots/connect-window.png" 2>/dev/null &&
    log "screenshot of the connect window with the published Sp.Gif: $shots/connect-window.png"
else
  # Screens while the update runs, until one shows the bar part-way.
  for _ in $(seq 300); do
    import -window "$window" "$shots/frame.png" 2>/dev/null || break
    percent=$(bar_percent "$shots/frame.png")
    if [ "$percent" -ge 20 ] && [ "$percent" -le 80 ]; then
      mv "$shots/frame.png" "$shots/download.png"
      log "screenshot during a download, the bar at $percent %: $shots/download.png"
      break
    fi
    kill -0 "$updater" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$shots/frame.png"

  # The proxy dialog: opened by the link, modal while the transfer goes on,
  # and cancelled.
  xdotool mousemove --window "$window" 348 202 click 1
  if dialog=$(find_window 'Setting Proxy Server'); then
    sleep 0.3
    import -window "$dialog" "$shots/proxy-dialog.png"
    log "screenshot of the proxy dialog: $shots/proxy-dialog.png"
    xdotool windowfocus "$dialog" 2>/dev/null || true
    xdotool key Escape
  else
    log "the proxy dialog did not appear"
  fi
fi

status=0
wait "$updater" || status=$?
log "QuillMar.exe ended with exit code $status"
# The game client it started may still be writing.
for _ in $(seq 50); do [ -s "$game/client-args.txt" ] && break; sleep 0.1; done
/usr/lib/wine/wineserver -w 2>/dev/null || true
