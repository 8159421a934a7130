#!/usr/bin/env bash
# Builds the updater and runs it in a sample game folder under build/demo:
# a first start that installs a release from nginx on loopback, a second
# start that finds everything current, a start with a damaged splash
# picture, and a start beside a running game client.
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

step "the update server: nginx on loopback with a release"
# The release build contacts the game's real site; nginx answers for it here,
# reached as the player's proxy (nginx serves requests for absolute URLs).
www=$demo/www
release=$www/QuillMar
mkdir -p "$release/engine" "$demo/src" "$demo/nginx"
make_archive() {  # archive, then name=content pairs
  local archive=$1; shift
  local dir; dir=$(mktemp -d "$demo/src/XXXX")
  for pair in "$@"; do
    mkdir -p "$(dirname "$dir/${pair%%=*}")"
    printf '%s\n' "${pair#*=}" >"$dir/${pair%%=*}"
  done
  (cd "$dir" && zip -q -r "$archive" .)
}
make_archive "$release/engine/Part.zip" "engine/quillmar.dll=engine 13" "engine/shaders/sky.fx=sky"
make_archive "$release/engine/Data.zip" "data/items.dat=items 7"
make_archive "$release/AData1.zip" "data/maps/map1.dat=map one, version 6"
make_archive "$release/AData2.zip" "data/maps/map2.dat=map two, version 2"
make_archive "$release/engine/BData1.zip" "data/sound/bgm1.dat=music, version 4"
convert -size 380x220 gradient:'#203060'-'#e0a040' -fill '#f0f0f0' \
  -draw 'rectangle 40,150 340,160' "$demo/src/Sp.Gif"
(cd "$demo/src" && zip -q "$release/82001500_Sp.zip" Sp.Gif)
printf '%s\r\n' \
  '[V]' '82001500=3.0.0.0::engine' 'Part=13' 'Data=7' \
  '[S]' 'BK=server-7' 'BKP=event' \
  '[SP]' '82001500_Sp=3' \
  '[AData]' 'AData1=6 ; new maps' 'AData2=2' \
  '[BData]' 'BData1=4' >"$release/QuillMar.ini"
port=28631
cat >"$demo/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $demo/nginx/access.log;
  client_body_temp_path $demo/nginx;
  proxy_temp_path $demo/nginx;
  fastcgi_temp_path $demo/nginx;
  uwsgi_temp_path $demo/nginx;
  scgi_temp_path $demo/nginx;
  types { application/zip zip; }
  server { listen 127.0.0.1:$port; server_name www.quillmar.com; root $www; }
}
CONF
nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
(cd "$www" && find . -type f | sort | sed 's/^/    /')

step "sample game folder: $game"
cp build/native-release/launcher/QuillMar.exe "$game/"
# Only the player's proxy settings so far: nothing of the game is installed.
printf '%s\r\n' '[Proxy]' 'ProxyServer=127.0.0.1' "ProxyPort=$port" 'ProxyUserName=' \
  'ProxyPassWord=' >"$game/QuillMar.ini"
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

seen=$(wc -l <"$demo/nginx/access.log")  # the probe above is not the updater's
requests() {  # the requests nginx saw since the last call
  tail -n +"$((seen + 1))" "$demo/nginx/access.log" | awk '{print "    " $6, $7, $9}' | tr -d '"'
  seen=$(wc -l <"$demo/nginx/access.log")
}

step "1. first start: the whole release is installed (the first argument is passed on)"
run_updater "first start" "-server 7" second
echo "    requests:"; requests
echo "    installed files:"
(cd "$game" && find . -type f ! -name '*.exe' ! -name client-args.txt | sort | sed 's/^/      /')

step "2. second start: everything is current, only the settings file is fetched"
run_updater "second start"
echo "    requests:"; requests

step "3. a new engine is published: only it is fetched"
make_archive "$release/engine/Part.zip" "engine/quillmar.dll=engine 14"
sed -i 's/^Part=13/Part=14/' "$release/QuillMar.ini"
run_updater "third start"
echo "    requests:"; requests

step "4. damaged Sp.Gif: the decoder's error in a box, the built-in picture stays"
cp "$game/Sp.Gif" "$demo/Sp.Gif.good"
head -c 300 "$demo/Sp.Gif.good" >"$game/Sp.Gif"
run_updater "damaged splash"
cp "$demo/Sp.Gif.good" "$game/Sp.Gif"

step "5. a game client is already running: the updater only activates it"
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
