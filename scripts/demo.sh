#!/usr/bin/env bash
# The publishing walk-through. A sample game is published with qmpublish and
# served by nginx on loopback (the updater's own server and two download
# mirrors); a fresh game folder holding only QuillMar.exe installs it, then
# fetches only what release 2 changed; then the 32-bit Windows build does the
# same under Wine, with screenshots (the 64-bit build under wine64 on a
# machine that starts no 32-bit programs, or with QM_FORCE_NO_32BIT=1).
# Everything lands below build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
began=$(date +%s)

step() { printf '\n=== %s ===\n' "$*"; }
note() { printf '    %s\n' "$*"; }

step "dependencies"
bash scripts/install-deps.sh
source scripts/wine-env.sh
qm_choose_windows_build
win_build=$QM_WIN_BUILD

step "build: the publisher, and a launcher built for the loopback server"
# The Windows build and its Wine prefix are made alongside the native build and
# its part of the walk-through; their logs are shown if they fail.
mkdir -p "$root/build"
export WINEPREFIX=$root/build/wineprefix-demo-$win_build WINEARCH=$QM_WIN_ARCH WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" QM_WINE_LOADER=$QM_WIN_LOADER
if [ "${QM_DEMO_WINE:-1}" = 1 ]; then
  (cmake --preset "$win_build" >/dev/null &&
     cmake --build --preset "$win_build" -j "$jobs" --target qm_demo) \
    >"$root/build/demo-$win_build-build.log" 2>&1 &
  win_build_job=$!
  # No window manager here: unmanaged windows close without Wine waiting for one.
  (qm_make_wine_prefix "$QM_WIN_LOADER" "$WINEPREFIX" "$QM_WIN_ARCH" &&
     "$QM_WIN_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
     /usr/lib/wine/wineserver -w) >"$root/build/demo-wineprefix.log" 2>&1 &
  wine_prefix=$!
fi
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j "$jobs" --target qmpublish qm_demo
qmpublish=$root/build/native-release/tools/qmpublish/qmpublish
native=$root/build/native-release/demo

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"
www=$demo/www
port=28631 # the launcher's server (QM_DEMO_PORT); the mirrors listen on the next two
mirrors=(--mirror "http://127.0.0.1:$((port + 1))/QuillMar/"
         --mirror "http://127.0.0.1:$((port + 2))/QuillMar/")

step "release 1 of a sample game"
# The content of both editions; each edition adds its own launcher and client.
rel1=$demo/release1
mkdir -p "$rel1"/{launcher,splash,engine/shaders,data/maps,adata/1/voice,bdata/1/music}
convert -size 380x220 gradient:'#203060'-'#e0a040' -fill '#f0f0f0' \
  -draw 'rectangle 40,150 340,160' "$rel1/splash/Sp.Gif"
# Incompressible parts, so that the downloads take a moment.
head -c 2000000 /dev/urandom >"$rel1/engine/quillmar.dll"
echo "sky shader, version 1" >"$rel1/engine/shaders/sky.fx"
echo "items, version 1" >"$rel1/data/items.dat"
echo "map of the first town" >"$rel1/data/maps/첫마을.map"
head -c 1500000 /dev/urandom >"$rel1/adata/1/voice/voice1.dat"
head -c 1500000 /dev/urandom >"$rel1/bdata/1/music/bgm1.dat"
# Release 2: a changed engine and a new A-data set.
rel2=$demo/release2
cp -a "$rel1" "$rel2"
head -c 2000000 /dev/urandom >"$rel2/engine/quillmar.dll"
echo "sky shader, version 2" >"$rel2/engine/shaders/sky.fx"
mkdir -p "$rel2/adata/2/voice"
head -c 1000000 /dev/urandom >"$rel2/adata/2/voice/voice2.dat"
edition() {  # release folder, build folder of the demo targets
  cp "$2/launcher/QuillMar.exe" "$1/launcher/"
  cp "$2/client/_QuillMar_.exe" "$1/engine/"
}
edition "$rel1" "$native"
edition "$rel2" "$native"
(cd "$rel1" && find . -type f | sort | sed 's/^/    /')

step "publish release 1: qmpublish publish release1 www --mirror ... --mirror ..."
"$qmpublish" publish "$rel1" "$www" "${mirrors[@]}" --bk demo-server --bkp event |
  sed 's/^/    | /'
note "the manifest www/QuillMar/QuillMar.ini:"
sed 's/\r$//; s/^/      /' "$www/QuillMar/QuillMar.ini"

step "nginx on loopback: the launcher's server :$port, mirrors :$((port + 1)) and :$((port + 2))"
mkdir -p "$demo/nginx"
nginx_conf() {  # document root, rate per connection on the mirrors
  cat >"$demo/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events { worker_connections 64; }
http {
  log_format demo '\$server_port "\$request" \$status \$body_bytes_sent';
  access_log $demo/nginx/access.log demo;
  client_body_temp_path $demo/nginx;
  proxy_temp_path $demo/nginx;
  fastcgi_temp_path $demo/nginx;
  uwsgi_temp_path $demo/nginx;
  scgi_temp_path $demo/nginx;
  types { application/zip zip; text/plain ini; }
  root $1;
  # The manifest and the fixed-name archives are revalidated on every request;
  # a release's engine folder never changes.
  server {
    listen 127.0.0.1:$port;
    location /QuillMar/ { expires -1; }
    location ~ ^/QuillMar/r[0-9a-f]+/ { expires 30d; }
  }
  server {
    listen 127.0.0.1:$((port + 1));
    listen 127.0.0.1:$((port + 2));
    limit_rate $2;
    location /QuillMar/ { expires -1; }
    location ~ ^/QuillMar/r[0-9a-f]+/ { expires 30d; }
  }
}
CONF
}
nginx_conf "$www" 3m
nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
seen=$(wc -l <"$demo/nginx/access.log")
requests() {  # the requests nginx saw since the last call
  local new
  new=$(tail -n +"$((seen + 1))" "$demo/nginx/access.log")
  seen=$(wc -l <"$demo/nginx/access.log")
  sed 's/^/      /' <<<"$new"
  fetched=$(awk '{print $3}' <<<"$new" | sed 's|.*/||' | tr '\n' ' ' | sed 's/ *$//')
}

step "qmpublish check: the server as the updater will see it"
"$qmpublish" check "http://127.0.0.1:$port" | sed 's/^/    | /'
seen=$(wc -l <"$demo/nginx/access.log")

game=$demo/game
step "a fresh game folder: $game"
mkdir -p "$game"
cp "$native/launcher/QuillMar.exe" "$game/"
ls -l "$game" | sed 's/^/    /'

# The console view draws its progress bar on a terminal: the updater gets a
# pseudo-terminal of its own, and each status line is shown with the bar as
# it stood when the line changed.
show_progress() {
  sed -u 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr '\r' '\n' | awk '
    /^[[:space:]]*$/ { next }
    /^\[[#.]*\] [0-9]+% / {
      pct = $2 + 0; status = $0; sub(/^\[[#.]*\] [0-9]+% /, "", status)
      if (status != last_status) { if (last != "") print "    | " last; last_status = status; mark = 0 }
      if (pct >= mark + 50 && pct < 100) { print "    | " $0; mark = pct - pct % 50 }
      last = $0; next
    }
    { if (last != "") { print "    | " last; last = "" } print "    | " $0 }
    END { if (last != "") print "    | " last }'
}
run_updater() {  # label
  rm -f "$game/client-args.txt"
  note "$1: QuillMar.exe -server 7"
  # The terminal stays until the client has written its line (or 3 s), since
  # its end hangs up on the client too.
  (cd "$game" && script -qefc "timeout --foreground 120 ./QuillMar.exe '-server 7'; rc=\$?;
     for i in \$(seq 30); do [ -s client-args.txt ] && break; sleep 0.1; done; exit \$rc" \
     /dev/null </dev/null) | show_progress
  if [ -s "$game/client-args.txt" ]; then
    note "the sample game client ran:"
    sed 's/^/      /' "$game/client-args.txt"
  else
    note "the game client was not started"
  fi
}

summary=()
problems=0
check() {  # what, then a command that must succeed
  local what=$1
  shift
  if "$@"; then
    summary+=("ok      $what")
  else
    summary+=("FAILED  $what")
    problems=$((problems + 1))
  fi
}
fetched_only() { [ "$fetched" = "$1" ]; }
client_ran() { [ -s "$1/client-args.txt" ]; }
same_as_release() {  # release folder, game folder: the release's files against the game's
  local rel=$1 game=$2 count=0 differ=0 folder f
  for folder in "$rel"/splash "$rel"/engine "$rel"/data "$rel"/adata/* "$rel"/bdata/*; do
    while IFS= read -r f; do
      count=$((count + 1))
      cmp -s "$folder/$f" "$game/$f" || { differ=$((differ + 1)); note "DIFFERS: $f"; }
    done < <(cd "$folder" && find . -type f | sed 's|^\./||')
  done
  note "$count files of $(basename "$rel") checked against the game folder: $differ differ"
  [ "$count" -gt 0 ] && [ "$differ" = 0 ]
}

step "1. the first start installs release 1"
run_updater "first start"
note "requests (port, request, status, bytes):"
requests
note "the game folder now:"
(cd "$game" && find . -type f ! -name client-args.txt | sort | sed 's/^/      /')
check "native, first start: release 1 installed byte for byte" same_as_release "$rel1" "$game"
check "native, first start: the sample client ran" client_ran "$game"
check "native, first start: each item fetched once" \
  fetched_only "QuillMar.ini 82001500_Sp.zip Part.zip Data.zip AData1.zip BData1.zip"

step "release 2: a changed engine and a new A-data set"
"$qmpublish" publish "$rel2" "$www" "${mirrors[@]}" --bk demo-server --bkp event |
  sed 's/^/    | /'
note "the new manifest:"
sed 's/\r$//; s/^/      /' "$www/QuillMar/QuillMar.ini"

step "2. the next start fetches only the manifest, the engine and the new A-data set"
run_updater "second start"
note "requests:"
requests
check "native, release 2: game folder as release 2" same_as_release "$rel2" "$game"
check "native, release 2: the sample client ran" client_ran "$game"
check "native, release 2: only the manifest, the engine and AData2 fetched" \
  fetched_only "QuillMar.ini Part.zip AData2.zip"

step "3. a start with everything current fetches only the manifest"
run_updater "third start"
note "requests:"
requests
check "native, everything current: only the manifest fetched" fetched_only "QuillMar.ini"
check "native, everything current: the sample client ran" client_ran "$game"

wine_run() {  # label, mode of demo_wine.sh, release folder, items expected
  rm -f "$wgame/client-args.txt"
  note "$1: QuillMar.exe -server 7"
  bash "$root/scripts/demo_wine.sh" "$2" "$wgame" "$shots"
  note "requests:"
  requests
  if [ -s "$wgame/client-args.txt" ]; then
    note "the sample game client ran:"
    sed 's/^/      /' "$wgame/client-args.txt"
  else
    note "the game client was not started"
  fi
  check "Wine, $1: game folder as $(basename "$3")" same_as_release "$3" "$wgame"
  check "Wine, $1: the sample client ran" client_ran "$wgame"
  check "Wine, $1: fetched $4" fetched_only "$4"
}
wine_part() {
  step "4. the Windows build under Wine: the same walk-through"
  note "the $(qm_windows_build_line)"
  if ! wait "$win_build_job"; then
    cat "$root/build/demo-$win_build-build.log"
    return 1
  fi
  if ! wait "$wine_prefix"; then
    cat "$root/build/demo-wineprefix.log"
    return 1
  fi
  wgame=$demo/wine-game shots=$demo/screenshots
  local wwww=$demo/www-windows win=$root/build/$win_build/demo
  mkdir -p "$wgame" "$shots"
  cp "$win/launcher/QuillMar.exe" "$wgame/"
  note "the Windows edition: the same releases with the Windows launcher and client"
  edition "$rel1" "$win"
  edition "$rel2" "$win"
  "$qmpublish" publish "$rel1" "$wwww" "${mirrors[@]}" --bk demo-server --bkp event >/dev/null
  # Slower mirrors, so that the progress bar can be caught part-way.
  nginx_conf "$wwww" 800k
  nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -s reload 2>/dev/null
  sleep 0.5
  seen=$(wc -l <"$demo/nginx/access.log")
  note "a fresh game folder with QuillMar.exe only: $wgame"
  wine_run "first start" download "$rel1" \
    "QuillMar.ini 82001500_Sp.zip Part.zip Data.zip AData1.zip BData1.zip"
  check "Wine: a screenshot with the progress bar part-way" test -s "$shots/download.png"
  check "Wine: a screenshot of the proxy dialog" test -s "$shots/proxy-dialog.png"
  "$qmpublish" publish "$rel2" "$wwww" "${mirrors[@]}" --bk demo-server --bkp event >/dev/null
  note "release 2 of the Windows edition published"
  wine_run "release 2" window "$rel2" "QuillMar.ini Part.zip AData2.zip"
}
if [ "${QM_DEMO_WINE:-1}" = 1 ]; then
  check "Wine: the Windows part ran" wine_part
fi

step "summary"
note "a sample game published with qmpublish, served by nginx on loopback (the"
note "launcher's server and two mirrors); fresh game folders updated by the native"
note "build and by the Windows build under Wine (screenshots in $demo/screenshots):"
if [ "${QM_DEMO_WINE:-1}" = 1 ]; then
  note "  Windows: the $(qm_windows_build_line)"
fi
for line in "${summary[@]}"; do note "  $line"; done
note "took $(($(date +%s) - began)) s; everything is below $demo"
if [ "$problems" != 0 ]; then
  note "$problems of the checks above failed"
  exit 1
fi
