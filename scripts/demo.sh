#!/usr/bin/env bash
# Builds the updater and runs it in a sample game folder under build/demo:
# a normal start that hands over to the game client, a start with a damaged
# splash picture, and a start beside a running game client.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

step "dependencies"
bash scripts/install-deps.sh

step "native release build"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$jobs" --target QuillMar

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/game"
game=$demo/game

step "sample game folder: $game"
cp build/native-release/launcher/QuillMar.exe "$game/"
# The installed settings, CR LF as the game writes them.
printf '%s\r\n' \
  '[Proxy]' 'ProxyServer=' 'ProxyPort=80' 'ProxyUserName=' 'ProxyPassWord=' \
  '[V]' 'Part=12' 'Data=7' \
  '[SP]' '82001500_Sp=3' \
  '[AData]' 'AData1=5' 'AData2=2' \
  '[BData]' 'BData1=4' >"$game/QuillMar.ini"
convert -size 380x220 gradient:'#203060'-'#e0a040' -fill '#f0f0f0' \
  -draw 'rectangle 40,150 340,160' "$game/Sp.Gif"
# The game client: records the arguments it was given, one per line.
cat >"$game/_QuillMar_.exe" <<'SH'
#!/bin/sh
: >"$(dirname "$0")/client-args.txt"
for a in "$@"; do printf '[%s]\n' "$a" >>"$(dirname "$0")/client-args.txt"; done
SH
chmod +x "$game/_QuillMar_.exe"
ls -l "$game"

run_updater() {  # label, arguments...
  local label=$1; shift
  rm -f "$game/client-args.txt"
  echo "--- $label: QuillMar.exe $*"
  # No terminal: the console view prints its status lines and boxes, and an
  # OK/Cancel box answers Cancel.
  (cd "$game" && timeout 60 ./QuillMar.exe "$@" </dev/null) 2>&1 | sed 's/^/    | /'
  echo "    exit code ${PIPESTATUS[0]}"
  for _ in $(seq 50); do [ -s "$game/client-args.txt" ] && break; sleep 0.1; done
  if [ -s "$game/client-args.txt" ]; then
    echo "    the game client was started with these arguments:"
    sed 's/^/      /' "$game/client-args.txt"
  else
    echo "    the game client was not started"
  fi
}

step "1. normal start (the first argument is passed on)"
run_updater "normal start" "-server 7" second

step "2. damaged Sp.Gif: the decoder's error in a box, the built-in picture stays"
cp "$game/Sp.Gif" "$demo/Sp.Gif.good"
head -c 300 "$demo/Sp.Gif.good" >"$game/Sp.Gif"
run_updater "damaged splash"
cp "$demo/Sp.Gif.good" "$game/Sp.Gif"

step "3. a game client is already running: the updater only activates it"
cp /bin/sleep "$demo/_QuillMar_.exe"
"$demo/_QuillMar_.exe" 30 &
client=$!
sleep 0.3
run_updater "beside a running client"
kill "$client" 2>/dev/null || true
wait "$client" 2>/dev/null || true

step "the installed settings after the runs"
sed 's/\r$//' "$game/QuillMar.ini" | sed 's/^/    /'

wine_demo() {
  step "Windows build under Wine: a screenshot of the connect window"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j "$jobs" --target QuillMar
  local wgame=$demo/wine-game
  mkdir -p "$wgame"
  # No Sp.Gif: the window shows the built-in picture. No game client either:
  # its start fails quietly and the window closes.
  cp build/win64/launcher/QuillMar.exe "$wgame/"
  cp "$game/QuillMar.ini" "$wgame/"
  export WINEPREFIX=$root/build/wineprefix-demo WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export PATH=/usr/lib/wine:$PATH
  mkdir -p "$WINEPREFIX" "$demo/frames"
  cat >"$demo/frames/run.sh" <<SH
wineboot -i >/dev/null 2>&1 || true
# The window is up for a moment only; grab the screen every few milliseconds.
( for i in \$(seq -w 1 200); do xwd -root -silent >"$demo/frames/\$i.xwd" 2>/dev/null; sleep 0.02; done ) &
grabber=\$!
sleep 0.3
(cd "$wgame" && timeout 60 wine64 ./QuillMar.exe)
wait \$grabber
wineserver -k >/dev/null 2>&1 || true
SH
  xvfb-run -a -s "-screen 0 640x480x24" bash "$demo/frames/run.sh"
  local best=""
  for f in "$demo"/frames/*.xwd; do
    # The last frame that shows anything is the window with its status line.
    if [ "$(convert "$f" -format '%[fx:mean>0]' info: 2>/dev/null)" = 1 ]; then best=$f; fi
  done
  if [ -n "$best" ]; then
    convert "$best" -trim +repage "$demo/connect-window.png"
    echo "screenshot: $demo/connect-window.png"
  else
    echo "no frame showed the window"
  fi
  rm -rf "$demo/frames"
}
if [ "${QM_DEMO_WINE:-1}" = 1 ]; then
  wine_demo || echo "the Wine part of the demo failed (set QM_DEMO_WINE=0 to skip it)"
fi

echo
echo "demo folder: $demo"
