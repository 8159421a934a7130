#!/usr/bin/env python3
"""Starts the HTTP test peers on loopback: nginx (two server blocks), tinyproxy
with Basic authentication, and a scripted server whose replies are read from
WORK/script.json at each connection. Prints one line of NAME=VALUE pairs,
then runs until WORK/stop appears or the parent process is gone.

Usage: http_servers.py WORK_DIR [--big-mb N] [--file NAME:MB]...
--big-mb makes www/files/big.bin; each --file makes www/files/NAME; all are
deleted when the servers stop.
"""
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

BLOCK_LEN = (1 << 20) + 7


def pattern_block():
    # Same formula as the tests' checker: byte j of the repeating block.
    return bytes(((j * j * 31 + j * 7 + 11) >> 3) & 0xFF for j in range(BLOCK_LEN))


def write_pattern_file(path, size):
    block = pattern_block()
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for_port(port, proc, name):
    for _ in range(200):
        if proc.poll() is not None:
            raise SystemExit(f"{name} exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit(f"{name} did not start on port {port}")


class ScriptedServer:
    """Replies to each connection by the steps of the current script:
    {"read": 1} reads a request (to the blank line) and records it,
    {"send": text} sends latin-1 text, {"repeat": text, "count": n} sends it
    n times, {"pause": ms}, {"close": 1}, {"reset": 1} (RST via SO_LINGER 0).
    The script is {"id": n, "connections": [[steps], ...]}; the last list
    serves every further connection."""

    def __init__(self, work):
        self.work = work
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.script_id = None
        self.count = 0
        self.lock = threading.Lock()
        os.makedirs(os.path.join(work, "requests"), exist_ok=True)
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def load(self):
        try:
            with open(os.path.join(self.work, "script.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"id": None, "connections": [[{"close": 1}]]}

    def accept_loop(self):
        while True:
            conn, _ = self.sock.accept()
            script = self.load()
            with self.lock:
                if script.get("id") != self.script_id:
                    self.script_id = script.get("id")
                    self.count = 0
                index = self.count
                self.count += 1
            lists = script.get("connections") or [[]]
            steps = lists[min(index, len(lists) - 1)]
            threading.Thread(target=self.serve, args=(conn, steps, script.get("id"), index),
                             daemon=True).start()

    def serve(self, conn, steps, script_id, index):
        try:
            for step in steps:
                if "read" in step:
                    data = b""
                    while b"\r\n\r\n" not in data and b"\n\n" not in data:
                        chunk = conn.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                    name = os.path.join(self.work, "requests", f"{script_id}-{index}.bin")
                    with open(name + ".tmp", "wb") as f:
                        f.write(data)
                    os.replace(name + ".tmp", name)
                elif "send" in step:
                    conn.sendall(step["send"].encode("latin-1"))
                elif "repeat" in step:
                    chunk = step["repeat"].encode("latin-1") * 4096
                    left = step["count"]
                    while left > 0:
                        n = min(left, 4096)
                        conn.sendall(chunk[: n * len(step["repeat"])])
                        left -= n
                elif "pause" in step:
                    time.sleep(step["pause"] / 1000.0)
                elif "reset" in step:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    conn.close()
                    return
                elif "close" in step:
                    break
        except OSError:
            pass
        try:
            conn.shutdown(socket.SHUT_WR)
            # Let the client read everything before the socket goes away.
            conn.settimeout(5)
            while conn.recv(65536):
                pass
        except OSError:
            pass
        conn.close()


# The configuration templates of the Python test harness.
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness")

# This peer's part of nginx.conf.in: two server blocks, redirects and an
# error page with a body.
NGINX_HTTP = """  access_log off;
  types {{ text/plain txt; text/html html; application/zip zip; }}
  sendfile on;
  absolute_redirect off;
  server {{
    listen 127.0.0.1:{port};
    root {work}/www;
    location = /moved {{ return 301 /files/small.txt; }}
    location = /files/rel {{ return 302 small.txt; }}
    location = /elsewhere {{ return 302 http://127.0.0.1:{other}/other.txt; }}
    location = /missing-with-body {{ return 404 "no such document\\n"; }}
  }}
  server {{
    listen 127.0.0.1:{other};
    root {work}/www2;
  }}"""


def write_config(template, path, **values):
    with open(os.path.join(TEMPLATES, template)) as f:
        text = f.read().format(**values)
    with open(path, "w") as f:
        f.write(text)


def main():
    work = os.path.abspath(sys.argv[1])
    big_mb = 0
    if "--big-mb" in sys.argv:
        big_mb = int(sys.argv[sys.argv.index("--big-mb") + 1])
    for sub in ("www/files", "www2", "tmp"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    with open(os.path.join(work, "www/files/empty.txt"), "wb"):
        pass
    with open(os.path.join(work, "www/files/small.txt"), "wb") as f:
        f.write(b"hello, quillmar\n")
    with open(os.path.join(work, "www2/other.txt"), "wb") as f:
        f.write(b"served by the other block\n")
    generated = []
    if big_mb:
        generated.append(("big.bin", big_mb))
    for i, arg in enumerate(sys.argv):
        if arg == "--file":
            name, mb = sys.argv[i + 1].split(":")
            generated.append((name, int(mb)))
    for name, mb in generated:
        write_pattern_file(os.path.join(work, "www/files", name), mb << 20)

    parent = os.getppid()
    procs = []

    def stop(*_):
        for p in procs:
            if p.poll() is None:
                p.terminate()
        for p in procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        for name, _ in generated:
            try:
                os.remove(os.path.join(work, "www/files", name))
            except OSError:
                pass
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)

    nginx_port, other_port, proxy_port, refused_port = (free_port() for _ in range(4))
    write_config("nginx.conf.in", os.path.join(work, "nginx.conf"), work=work, connections=256,
                 http=NGINX_HTTP.format(work=work, port=nginx_port, other=other_port))
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    procs.append(subprocess.Popen([nginx, "-p", work, "-c", os.path.join(work, "nginx.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    write_config("tinyproxy.conf.in", os.path.join(work, "tinyproxy.conf"), work=work,
                 port=proxy_port, timeout=120, user="user", password="password",
                 log_level="Error", more="")
    tinyproxy = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
    procs.append(subprocess.Popen([tinyproxy, "-d", "-c", os.path.join(work, "tinyproxy.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    try:
        wait_for_port(nginx_port, procs[0], "nginx")
        wait_for_port(other_port, procs[0], "nginx")
        wait_for_port(proxy_port, procs[1], "tinyproxy")
    except SystemExit as e:
        print(f"ERROR={e}", flush=True)
        stop()
    scripted = ScriptedServer(work)
    # A listener whose accept queue is full: further connection attempts get
    # no answer at all, as from a host that drops packets.
    blackhole = socket.socket()
    blackhole.bind(("127.0.0.1", 0))
    blackhole.listen(0)
    blackhole_port = blackhole.getsockname()[1]
    fillers = []
    for _ in range(2):
        f = socket.socket()
        f.setblocking(False)
        try:
            f.connect(("127.0.0.1", blackhole_port))
        except BlockingIOError:
            pass
        fillers.append(f)
    time.sleep(0.2)

    print(f"QM_HTTP_NGINX_PORT={nginx_port} QM_HTTP_OTHER_PORT={other_port} "
          f"QM_HTTP_PROXY_PORT={proxy_port} QM_HTTP_SCRIPT_PORT={scripted.port} "
          f"QM_HTTP_REFUSED_PORT={refused_port} QM_HTTP_BLACKHOLE_PORT={blackhole_port} "
          f"QM_HTTP_WORK_DIR={work}", flush=True)
    stop_file = os.path.join(work, "stop")
    while not os.path.exists(stop_file):
        if os.getppid() != parent:
            break
        time.sleep(0.1)
    stop()


if __name__ == "__main__":
    main()
