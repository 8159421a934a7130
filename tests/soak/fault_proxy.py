"""A fault proxy on loopback between the updater and nginx. Each connection
takes one fault from a planner: the request goes to nginx unchanged (origin
form, or absolute form when the updater uses it as its HTTP proxy), the
whole answer is read, and then handed on whole or damaged:

  pass     as it came
  reset    the first N bytes, then a reset (RST)
  close    the first N bytes, then an orderly close
  stall    the first N bytes, a pause, then the rest
  trickle  everything, a few bytes at a time
  flip     everything, one byte at N inverted in some bits
  garbage  random bytes instead of an answer
"""
import random
import socket
import struct
import threading
import time

KINDS = ("pass", "reset", "close", "stall", "trickle", "flip", "garbage")
HEAD_LIMIT = 65536
IO_SECONDS = 10.0
STALL_SECONDS = (0.2, 1.5)
TRICKLE_SECONDS = 1.0


class Fault:
    """What to do to one answer. at is a fraction of the answer's length
    (0 <= at < 1), turned into a byte offset once the length is known."""

    def __init__(self, kind, at=0.0, seed=0):
        self.kind = kind
        self.at = at
        self.seed = seed

    def offset(self, length):
        return min(int(self.at * length), max(length - 1, 0))

    def __repr__(self):
        return f"{self.kind}@{self.at:.3f}"


def pass_all(_target):
    return Fault("pass")


class FaultProxy:
    """Listens on 127.0.0.1:port and forwards to 127.0.0.1:upstream_port.
    planner(target) -> Fault is asked once per connection, in order of
    arrival. Records (target, fault, absolute_form, answer length)."""

    def __init__(self, port, upstream_port):
        self.upstream_port = upstream_port
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(32)
        self.sock.settimeout(0.2)
        self.port = port
        self.lock = threading.Lock()
        self.planner = pass_all
        self.records = []
        self.handlers = []
        self.stopping = False
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def set_planner(self, planner):
        with self.lock:
            self.planner = planner
            self.records = []

    def taken(self):
        with self.lock:
            return list(self.records)

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
        try:
            head = _read_head(conn)
            if head is None:
                return
            line = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
            target = line[1] if len(line) > 1 else ""
            absolute = "://" in target
            path = "/" + target.split("://", 1)[1].split("/", 1)[1] if absolute else target
            with self.lock:
                fault = self.planner(path)
            answer = b"" if fault.kind == "garbage" else self._upstream(head)
            with self.lock:
                self.records.append((path, fault, absolute, len(answer)))
            _deliver(conn, fault, answer)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def _upstream(self, head):
        with socket.create_connection(("127.0.0.1", self.upstream_port),
                                      timeout=IO_SECONDS) as up:
            up.sendall(head)
            chunks = []
            while True:
                data = up.recv(65536)
                if not data:
                    return b"".join(chunks)
                chunks.append(data)


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


def _deliver(conn, fault, answer):
    rng = random.Random(fault.seed)
    n = fault.offset(len(answer))
    if fault.kind == "pass":
        conn.sendall(answer)
    elif fault.kind == "reset":
        conn.sendall(answer[:n])
        time.sleep(0.02)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif fault.kind == "close":
        conn.sendall(answer[:n])
        conn.shutdown(socket.SHUT_WR)
    elif fault.kind == "stall":
        conn.sendall(answer[:n])
        time.sleep(rng.uniform(*STALL_SECONDS))
        conn.sendall(answer[n:])
    elif fault.kind == "trickle":
        pieces = max(1, min(100, len(answer)))
        size = max(1, -(-len(answer) // pieces))
        pause = TRICKLE_SECONDS / pieces
        for at in range(0, len(answer), size):
            conn.sendall(answer[at:at + size])
            time.sleep(pause)
    elif fault.kind == "flip":
        damaged = bytearray(answer)
        if damaged:
            damaged[n] ^= rng.randrange(1, 256)
        conn.sendall(bytes(damaged))
    elif fault.kind == "garbage":
        conn.sendall(rng.randbytes(rng.randrange(1, 2048)))
    else:
        raise ValueError(f"unknown fault {fault.kind}")
    if fault.kind != "reset":
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        # Let the updater read to the end before the socket goes.
        conn.settimeout(2.0)
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
