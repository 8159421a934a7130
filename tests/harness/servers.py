"""The update server side of the end-to-end tests and the soak, all on
loopback: nginx
serving a release tree (on a fixed port that the test launcher has built in,
and answering for www.quillmar.com too), tinyproxy with Basic authentication
forwarding to that nginx, a small scripted server for what nginx will not
do (a body cut short of its announced length), and the fault server
(fault_server.py) in front of nginx.

nginx serves the release's QuillMar/ folder a second time as the mirrors
/mirror1/ /mirror2/ /mirror3/ (the same files, so their Last-Modified and ETag agree) and
as /norange/, a mirror that ignores Range (200 with the whole file)."""
import collections
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

from harness.fault_server import FaultServer

PROXY_USER = "e2euser"
PROXY_PASSWORD = "e2e-secret"
SLOW_RATE = "768k"  # bytes per second of the /slow/ location


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def wait_for_port(port, proc, name, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"{name} exited with {proc.returncode}; see its log")
        if port_open(port):
            return
        time.sleep(0.05)
    raise RuntimeError(f"{name} did not listen on port {port} within {seconds} s")


TEMPLATES = os.path.dirname(os.path.abspath(__file__))

# The update server's part of nginx.conf.in: its requests logged for the
# cases to read, and www.quillmar.com answered too (through the proxy).
NGINX_HTTP = """  log_format e2e '$status $host "$request" $body_bytes_sent "$http_range"';
  access_log {work}/access.log e2e;
  sendfile off;
  lingering_close off;
  server {{
    listen 127.0.0.1:{port} default_server;
    server_name 127.0.0.1 www.quillmar.com;
    root {www};
    location /slow/ {{ limit_rate {rate}; }}
{mirrors}
    location /norange/ {{ alias {www}/QuillMar/; max_ranges 0; }}
  }}"""
MIRRORS = ("mirror1", "mirror2", "mirror3")  # cases lay out folders m1, m2... of their own
# status host "request" body_bytes_sent "range" (nginx writes "-" for none)
LOG_LINE = re.compile(r'^(\d+) (\S+) "(.*)" (\d+) "(.*)"$')
Entry = collections.namedtuple("Entry", "status host target sent proxied range")


def write_config(template, path, **values):
    """Writes path from the template of that name beside this file."""
    with open(os.path.join(TEMPLATES, template)) as f:
        text = f.read().format(**values)
    with open(path, "w") as f:
        f.write(text)


def _stop(procs):
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(timeout=5)


class AccessLog:
    """nginx's access log, read from a mark onwards: one Entry per request
    (status, host, target, body bytes sent, proxied, Range header or None)."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def mark(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def _settle(self):
        # nginx logs a request just after its last byte went out: give an
        # entry that is on its way the moment to arrive.
        last = -1
        end = time.monotonic() + 2
        while time.monotonic() < end:
            size = os.path.getsize(self.path) if os.path.exists(self.path) else 0
            if size == last:
                return
            last = size
            time.sleep(0.15)

    def entries(self, settle=True, at_least=0):
        """at_least: wait (a few seconds at most) for that many entries."""
        end = time.monotonic() + 5
        while at_least and time.monotonic() < end and self._count() < at_least:
            time.sleep(0.05)
        if settle:
            self._settle()
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            text = f.read().decode("latin-1")
        result = []
        for line in text.splitlines():
            # 200 127.0.0.1 "GET /QuillMar/AData1.zip HTTP/1.0" 312 "bytes=100-"
            status, host, request, sent, range_ = LOG_LINE.match(line).groups()
            parts = request.split(" ")
            target = parts[1] if len(parts) > 1 else ""
            proxied = "://" in target  # absolute form, as a proxy forwards it
            if proxied:
                target = "/" + target.split("://", 1)[1].split("/", 1)[1]
            result.append(Entry(int(status), host, target, int(sent), proxied,
                                None if range_ == "-" else range_))
        return result

    def _count(self):
        if not os.path.exists(self.path):
            return 0
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return f.read().count(b"\n")

    def proxied(self):
        return [e[4] for e in self.entries()]

    def targets(self, settle=True):
        return [e[2] for e in self.entries(settle)]

    def wait_for(self, target, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if target in self.targets(settle=False):
                return True
            time.sleep(0.05)
        return False


class CutServer:
    """Answers every GET from a table of path -> (announced length, body):
    the body is sent, then the connection closed, whatever was announced.
    Paths not in the table get 404. Records the paths asked for."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.table = {}
        self.requests = []
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def serve(self, path, body, announced=None):
        with self.lock:
            self.table[path] = (len(body) if announced is None else announced, body)

    def reset(self):
        with self.lock:
            self.table.clear()
            self.requests.clear()

    def _accept_loop(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(10)
        try:
            data = b""
            while b"\r\n\r\n" not in data and b"\n\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            line = data.split(b"\n", 1)[0].decode("latin-1").split(" ")
            path = line[1] if len(line) > 1 else ""
            with self.lock:
                self.requests.append(path)
                entry = self.table.get(path)
            if entry is None:
                conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            else:
                announced, body = entry
                head = f"HTTP/1.0 200 OK\r\nContent-Type: application/zip\r\n" \
                       f"Content-Length: {announced}\r\n\r\n"
                conn.sendall(head.encode("latin-1") + body)
                time.sleep(0.1)
        except OSError:
            pass
        finally:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()

    def stop(self):
        self.stopping = True
        self.sock.close()
        self.thread.join(timeout=2)


class Servers:
    """nginx on the fixed direct port (www is the release tree), tinyproxy on
    a free port, the cut server on another. Use as a context manager: all
    are stopped on the way out, also after a failure."""

    def __init__(self, work, direct_port):
        self.work = work
        self.www = os.path.join(work, "www")
        self.port = direct_port
        self.proxy_port = None
        self.procs = []
        self.nginx = None
        self.cut = None
        self.faults = None
        self.log = AccessLog(os.path.join(work, "access.log"))

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _start(self):
        os.makedirs(os.path.join(self.work, "tmp"), exist_ok=True)
        os.makedirs(self.www, exist_ok=True)
        if port_open(self.port):
            raise RuntimeError(f"port {self.port} is taken; another run of this suite?")
        mirrors = "\n".join(f"    location /{m}/ {{{{ alias {{www}}/QuillMar/; }}}}"
                            for m in MIRRORS)
        http = NGINX_HTTP.format(work=self.work, www=self.www, port=self.port, rate=SLOW_RATE,
                                 mirrors=mirrors.format(www=self.www))
        write_config("nginx.conf.in", os.path.join(self.work, "nginx.conf"), work=self.work,
                     connections=128, http=http)
        self.start_nginx()

        self.proxy_port = free_port()
        conf = os.path.join(self.work, "tinyproxy.conf")
        write_config("tinyproxy.conf.in", conf, work=self.work, port=self.proxy_port,
                     timeout=60, user=PROXY_USER, password=PROXY_PASSWORD, log_level="Info",
                     more=f"Upstream http 127.0.0.1:{self.port}")
        tinyproxy = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
        self.procs.append(self._spawn([tinyproxy, "-d", "-c", conf], "tinyproxy"))
        wait_for_port(self.proxy_port, self.procs[-1], "tinyproxy")
        self.cut = CutServer()
        self.faults = FaultServer(free_port(), self.port)

    def _spawn(self, command, name):
        with open(os.path.join(self.work, f"{name}-stderr.log"), "ab") as err:
            return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err,
                                    start_new_session=True)

    def start_nginx(self):
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self.nginx = self._spawn([nginx, "-p", self.work, "-c",
                                  os.path.join(self.work, "nginx.conf")], "nginx")
        self.procs.append(self.nginx)
        wait_for_port(self.port, self.nginx, "nginx")

    def stop_nginx(self):
        """The server down: nothing listens on the direct port until
        start_nginx."""
        self.procs.remove(self.nginx)
        _stop([self.nginx])
        end = time.monotonic() + 5
        while port_open(self.port) and time.monotonic() < end:
            time.sleep(0.05)

    def stop(self):
        if self.faults is not None:
            self.faults.stop()
            self.faults = None
        if self.cut is not None:
            self.cut.stop()
            self.cut = None
        _stop(self.procs)
        self.procs = []

    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def cut_base(self):
        return f"http://127.0.0.1:{self.cut.port}"

    def mirror(self, name, faulty=True):
        """A download base: a mirror (mirror1, mirror2, mirror3, norange) through the
        fault server, or straight from nginx."""
        port = self.faults.port if faulty else self.port
        return f"http://127.0.0.1:{port}/{name}/"
