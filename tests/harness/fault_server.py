#!/usr/bin/env python3
"""A streaming fault server on loopback in front of nginx (or tinyproxy).

The updater reaches it either as its download base (origin form) or as its
HTTP proxy (absolute form, Proxy-Authorization passed on as it came); each
request goes upstream, possibly changed, and the answer comes back as it
arrives, possibly damaged. Nothing holds a whole answer: archives are up to
1 GB. Each connection takes one Fault from a planner, asked in order of
arrival with the Request:

  pass      as it came
  cut       `after` body bytes, then an orderly close (close: the same)
  reset     `after` body bytes, then a reset (RST)
  stall     `after` body bytes, no byte for `seconds`, then the rest
  trickle   `after` body bytes, then `rate` bytes per second
  refuse    the connection closed at once, nothing read or sent
  status    a fixed answer `code` with a short body, nginx not asked
  flip      everything, one byte inverted in some bits
  garbage   random bytes instead of an answer

and, combined with any of them: drop_range (the Range header removed, so
nginx answers 200 with the whole file), start_shift/total_shift (added to
the start and the total of a 206's Content-Range), path (the file asked for
replaced by another, e.g. to swap an archive after a few requests),
range_shift (added to the start the request's Range asks for: nginx then
answers a truthful 206 from another place than the updater wanted).

`at` (a fraction of the whole answer, head included) instead of `after`
places a fault without knowing the length beforehand; the soak plans so.

As a command line, one fault for every connection:

  python3 tests/harness/fault_server.py --listen PORT --upstream-port PORT \\
      [--cut-every BYTES] [--log FILE]

--log writes one JSON line per connection: the request's target and Range
header, the upstream status, the announced length, the head and body bytes
sent, and the fault."""
import argparse
import collections
import json
import random
import signal
import socket
import struct
import threading
import time

HEAD_LIMIT = 65536
IO_SECONDS = 10.0
BUFFER = 256 * 1024
STALL_SECONDS = (0.2, 1.5)  # an unsized stall, as the soak plans them
TRICKLE_SECONDS = 1.0  # an unrated trickle spreads the answer over this
# The soak's random faults; the others are placed by the cases that need them.
KINDS = ("pass", "reset", "close", "stall", "trickle", "flip", "garbage")
REASONS = {404: "Not Found", 416: "Range Not Satisfiable", 500: "Internal Server Error",
           503: "Service Unavailable", 504: "Gateway Timeout"}


class Fault:
    """What to do to one connection. The keyword arguments are those of the
    module's description; unset ones do nothing."""

    def __init__(self, kind="pass", at=None, seed=0, *, after=None, seconds=None, rate=None,
                 code=None, drop_range=False, start_shift=0, total_shift=0, path=None,
                 range_shift=0):
        if kind not in ("pass", "cut", "close", "reset", "stall", "trickle", "refuse",
                        "status", "flip", "garbage"):
            raise ValueError(f"unknown fault {kind}")
        self.kind = kind
        self.at = at
        self.seed = seed
        self.after = after
        self.seconds = seconds
        self.rate = rate
        self.code = code
        self.drop_range = drop_range
        self.start_shift = start_shift
        self.total_shift = total_shift
        self.path = path
        self.range_shift = range_shift

    def offset(self, head_length, content_length):
        """Where in the answer (head included) the fault strikes."""
        if self.after is not None:
            return head_length + self.after
        if self.at is not None:
            length = head_length + (content_length or 0)
            return min(int(self.at * length), max(length - 1, 0))
        return head_length

    def __repr__(self):
        text = self.kind
        if self.after is not None:
            text += f"+{self.after}"
        elif self.at is not None:
            text += f"@{self.at:.3f}"
        for name in ("seconds", "rate", "code", "path"):
            if getattr(self, name) is not None:
                text += f" {name}={getattr(self, name)}"
        if self.drop_range:
            text += " drop_range"
        if self.range_shift:
            text += f" range_shift={self.range_shift}"
        if self.start_shift or self.total_shift:
            text += f" shift={self.start_shift}/{self.total_shift}"
        return text


def pass_all(_request):
    return Fault("pass")


def cut_every(size):
    """A planner closing every answer after size body bytes."""
    return lambda _request: Fault("cut", after=size)


def by_path(request):
    return request.path


def by_name(request):
    """The file's name whatever the base: the requests for one archive
    across all its sources count as one series."""
    return request.path.rsplit("/", 1)[-1]


class Script:
    """A planner from a table: for a key (by default the path), the faults
    of its 1st, 2nd... request (then `then[key]`, pass by default); other
    keys pass. A fault may be a callable taking the Request, for faults that
    depend on it or act at the moment of the request."""

    def __init__(self, table, then=None, key=by_path):
        self.table = {k: list(faults) for k, faults in table.items()}
        self.then = then or {}
        self.key = key
        self.seen = collections.Counter()

    def __call__(self, request):
        key = self.key(request)
        n = self.seen[key]
        self.seen[key] += 1
        faults = self.table.get(key)
        if faults is None:
            return Fault("pass")
        fault = faults[n] if n < len(faults) else self.then.get(key, Fault("pass"))
        return fault(request) if callable(fault) else fault


Request = collections.namedtuple("Request", "number target path range absolute")
# sent: bytes of the answer that went out (head and body); body: of the body.
Record = collections.namedtuple(
    "Record", "target fault absolute sent range status length body number")


class FaultServer:
    """Listens on 127.0.0.1:port and forwards to 127.0.0.1:upstream_port.
    Records one Record per connection (taken()); log: a file for JSON lines."""

    def __init__(self, port, upstream_port, planner=pass_all, log=None):
        self.upstream_port = upstream_port
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.planner = planner
        self.records = []
        self.count = 0
        self.open = {}  # connection number -> its _Answer, while it lasts
        self.log = open(log, "a", buffering=1) if log else None
        self.handlers = []
        self.stopping = False
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def set_planner(self, planner):
        with self.lock:
            self.planner = planner
            self.records = []

    def taken(self):
        """The records in order of arrival (each is made when its
        connection ends)."""
        with self.lock:
            return sorted(self.records, key=lambda r: r.number)

    def live(self, name):
        """Body bytes sent so far on the open connections for a path ending
        in name."""
        with self.lock:
            return sum(a.body() for a in self.open.values()
                       if a.target is not None and a.target.endswith(name))

    def quiesce(self, seconds=IO_SECONDS + 5):
        """Waits for the connections in hand to end (bounded)."""
        end = time.monotonic() + seconds
        for t in list(self.handlers):
            t.join(timeout=max(0.0, end - time.monotonic()))
        self.handlers = [t for t in self.handlers if t.is_alive()]

    def stop(self):
        self.stopping = True
        self.sock.close()
        self.thread.join(timeout=2)
        self.quiesce()
        if self.log:
            self.log.close()
            self.log = None

    def _accept_loop(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.handlers = [h for h in self.handlers if h.is_alive()] + [t]
            t.start()

    def _serve(self, conn):
        conn.settimeout(IO_SECONDS)
        answer = _Answer(conn)
        fault, request, status, length = Fault("pass"), None, None, None
        try:
            with self.lock:
                self.count += 1
                number = self.count
            head = _read_head(conn)
            if head is None:
                return
            request = _parse_request(head, number)
            answer.target = request.path
            with self.lock:
                self.open[number] = answer
            with self.lock:
                fault = self.planner(request)
            if fault.kind == "refuse":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            if fault.kind == "garbage":
                rng = random.Random(fault.seed)
                answer.send(rng.randbytes(rng.randrange(1, 2048)))
                answer.finish()
                return
            if fault.kind == "status":
                status = fault.code
                body = f"{fault.code} from the fault server\n".encode()
                answer.send(f"HTTP/1.0 {fault.code} {REASONS.get(fault.code, 'Error')}\r\n"
                            f"Content-Type: text/plain\r\nContent-Length: {len(body)}\r\n"
                            f"\r\n".encode() + body)
                answer.finish()
                return
            head = _rewrite_request(head, fault)
            with socket.create_connection(("127.0.0.1", self.upstream_port),
                                          timeout=IO_SECONDS) as up:
                up.sendall(head)
                reply, rest = _read_reply_head(up)
                if reply is None:
                    answer.finish()
                    return
                reply, status, length = _rewrite_reply(reply, fault)
                answer.stream(up, reply, rest, fault, length)
        except OSError:
            pass
        finally:
            answer.close()
            if request is not None:
                record = Record(request.path, fault, request.absolute, answer.sent,
                                request.range, status, length, answer.body(), number)
                with self.lock:
                    self.open.pop(record.number, None)
                    self.records.append(record)
                    if self.log:
                        self.log.write(json.dumps({
                            "n": number, "target": request.path, "range": request.range,
                            "absolute": request.absolute, "status": status,
                            "length": length, "head": answer.sent - answer.body(),
                            "body": answer.body(), "fault": repr(fault)}) + "\n")


class _Answer:
    """The connection to the updater and what went out on it."""

    def __init__(self, conn):
        self.conn = conn
        self.sent = 0
        self.head_length = None
        self.reset = False
        self.target = None

    def body(self):
        return 0 if self.head_length is None else max(self.sent - self.head_length, 0)

    def send(self, data):
        self.conn.sendall(data)
        self.sent += len(data)

    def stream(self, up, reply, rest, fault, length):
        self.head_length = len(reply)
        stop = fault.offset(len(reply), length)
        rng = random.Random(fault.seed)
        pending = reply + rest
        rate = fault.rate
        if fault.kind == "trickle" and rate is None:
            # Spread over about a second whatever the length.
            rate = max(1, (len(reply) + (length or 0)) / TRICKLE_SECONDS)
        stalled = False
        # An HTTP/1.1 client's connection stays open after the body.
        end = len(reply) + length if length is not None else None
        while True:
            if not pending:
                if end is not None and self.sent >= end:
                    break
                pending = up.recv(BUFFER)
                if not pending:
                    break
            if fault.kind in ("cut", "close", "reset") and self.sent + len(pending) >= stop:
                self.send(pending[:stop - self.sent])
                if fault.kind == "reset":
                    time.sleep(0.02)
                    self.reset = True
                    self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                         struct.pack("ii", 1, 0))
                    return
                break
            if fault.kind == "flip" and self.sent <= stop < self.sent + len(pending):
                damaged = bytearray(pending)
                damaged[stop - self.sent] ^= rng.randrange(1, 256)
                pending = bytes(damaged)
            if fault.kind == "stall" and not stalled and self.sent + len(pending) > stop:
                k = stop - self.sent
                self.send(pending[:k])
                pending = pending[k:]
                stalled = True
                time.sleep(fault.seconds if fault.seconds is not None
                           else rng.uniform(*STALL_SECONDS))
                if _peer_gone(self.conn):
                    return  # what follows would count bytes nobody reads
                continue
            if fault.kind == "trickle" and self.sent + len(pending) > stop:
                if self.sent < stop:
                    k = stop - self.sent
                    self.send(pending[:k])
                    pending = pending[k:]
                piece = max(1, int(rate / 10))
                self.send(pending[:piece])
                pending = pending[piece:]
                time.sleep(piece / rate)
                continue
            self.send(pending)
            pending = b""
        self.finish()

    def finish(self):
        """An orderly close after letting the updater read to the end."""
        try:
            self.conn.shutdown(socket.SHUT_WR)
            self.conn.settimeout(2.0)
            while self.conn.recv(4096):
                pass
        except OSError:
            pass

    def close(self):
        try:
            self.conn.close()
        except OSError:
            pass


def _peer_gone(conn):
    """Whether the updater closed its end (it gave up on a stall)."""
    try:
        return conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def _read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > HEAD_LIMIT:
            return None
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    # A GET has no body; anything after the head would be a second request.
    return data[: data.index(b"\r\n\r\n") + 4]


def _read_reply_head(up):
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > HEAD_LIMIT:
            return None, b""
        chunk = up.recv(BUFFER)
        if not chunk:
            return (data or None), b""
        data += chunk
    end = data.index(b"\r\n\r\n") + 4
    return data[:end], data[end:]


def _header(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower():
            return value.strip().decode("latin-1")
    return None


def _parse_request(head, number):
    line = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
    target = line[1] if len(line) > 1 else ""
    absolute = "://" in target
    path = target
    if absolute:
        rest = target.split("://", 1)[1]
        path = "/" + rest.split("/", 1)[1] if "/" in rest else "/"
    return Request(number, target, path, _header(head, b"range"), absolute)


def _rewrite_request(head, fault):
    lines = head[:-4].split(b"\r\n")
    if fault.path is not None:
        method, target, version = lines[0].split(b" ", 2)
        if b"://" in target:
            scheme, rest = target.split(b"://", 1)
            host = rest.split(b"/", 1)[0]
            target = scheme + b"://" + host + fault.path.encode("latin-1")
        else:
            target = fault.path.encode("latin-1")
        lines[0] = b" ".join((method, target, version))
    if fault.range_shift:
        for i, line in enumerate(lines[1:], 1):
            key, _, value = line.partition(b":")
            if key.strip().lower() == b"range" and value.strip().startswith(b"bytes="):
                start, _, end = value.strip()[6:].partition(b"-")
                if start.isdigit():
                    moved = max(int(start) + fault.range_shift, 0)
                    lines[i] = b"Range: bytes=" + str(moved).encode() + b"-" + end
    if fault.drop_range:
        lines = [lines[0]] + [x for x in lines[1:]
                              if x.split(b":", 1)[0].strip().lower() != b"range"]
    return b"\r\n".join(lines) + b"\r\n\r\n"


def _rewrite_reply(reply, fault):
    """(head, status, Content-Length) with the 206's Content-Range shifted."""
    lines = reply[:-4].split(b"\r\n")
    parts = lines[0].split(b" ")
    status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None
    length = _header(reply, b"content-length")
    length = int(length) if length and length.isdigit() else None
    if status == 206 and (fault.start_shift or fault.total_shift):
        for i, line in enumerate(lines):
            key, _, value = line.partition(b":")
            if key.strip().lower() != b"content-range":
                continue
            # bytes first-last/total
            unit, _, span = value.strip().partition(b" ")
            first_last, _, total = span.partition(b"/")
            first, _, last = first_last.partition(b"-")
            first = int(first) + fault.start_shift
            last = int(last) + fault.start_shift
            total = int(total) + fault.total_shift
            lines[i] = b"Content-Range: " + unit + f" {first}-{last}/{total}".encode()
    return b"\r\n".join(lines) + b"\r\n\r\n", status, length


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--upstream-port", type=int, required=True)
    parser.add_argument("--cut-every", type=int, default=0,
                        help="close each connection after this many body bytes")
    parser.add_argument("--log", help="one JSON line per connection")
    args = parser.parse_args()
    planner = cut_every(args.cut_every) if args.cut_every > 0 else pass_all
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    with FaultServer(args.listen, args.upstream_port, planner, args.log):
        done.wait()


if __name__ == "__main__":
    main()
