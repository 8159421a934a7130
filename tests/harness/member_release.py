"""Archives of many members for the member-level update cases and the soak:
the archive made with Info-ZIP, its index and line of section H made on
the test side (integrity_files), and the byte spans a launcher should ask
for when some members changed, worked out from the index alone as
docs/member-updates.md describes them."""
import hashlib
import os

from harness import integrity_files, release

KB = 1024
MB = 1024 * KB
GAP = 64 * KB  # spans closer than this are joined; the last span's tail
MOST = 8 * MB  # the most one request asks for
LOCAL_HEADER = 30


def member_files(seed, count=200, prefix="pak"):
    """count members of 4 to 12 KB of incompressible bytes below a few
    folders, and every tenth a compressible text."""
    files = {}
    for i in range(count):
        name = f"{prefix}/{'abcd'[i % 4]}/f{i:03d}.bin"
        size = 4000 + (i * 7919) % 8000
        if i % 10 == 3:
            files[name] = (f"text member {i} of seed {seed}\r\n".encode() * 400)[:size]
        else:
            files[name] = release.pattern(seed * 1000 + i, size)
    return files


def changed(data, seed=1):
    """Other bytes of the same length: the compressed size may stay."""
    return release.pattern(0x5EED + seed, len(data)) if data[:4] != b"text" else \
        data.replace(b"text", b"TEXT", 1)


class Index:
    """A parsed content index: entries (name, size, sha256, method, csize,
    offset) in offset order, and the archive's size."""

    def __init__(self, index_bytes, archive_size):
        self.archive_size = archive_size
        self.entries = []
        lines = index_bytes.split(b"\r\n")
        assert lines[0] == b"QMIDX 1", lines[0]
        for line in lines[1:]:
            if not line:
                continue
            name, size, _crc, sha, method, csize, offset = line.split(b"\t")
            self.entries.append((name.decode("cp949"), int(size), sha.decode(), int(method),
                                 int(csize), int(offset)))
        self.entries.sort(key=lambda e: e[5])

    def files(self):
        """name -> sha256 of the file members (folders left out)."""
        return {e[0]: e[2] for e in self.entries if not e[0].endswith("/")}

    def span(self, name):
        """[first, end) of a member: its local header up to the next one's;
        the last one's ends GAP after its data, at most at the archive's
        end."""
        for k, e in enumerate(self.entries):
            if e[0] == name:
                if k + 1 < len(self.entries):
                    return e[5], self.entries[k + 1][5]
                end = e[5] + LOCAL_HEADER + len(e[0].encode("cp949")) + e[4] + GAP
                return e[5], min(end, self.archive_size)
        raise KeyError(name)

    def requests(self, names):
        """The [first, end) byte spans to fetch for these members: joined
        when less than GAP apart, cut at MOST."""
        spans = sorted(self.span(n) for n in names)
        joined = []
        for first, end in spans:
            if joined and first - joined[-1][1] < GAP:
                joined[-1] = (joined[-1][0], max(end, joined[-1][1]))
            else:
                joined.append((first, end))
        return joined

    def bytes_of(self, names):
        return sum(end - first for first, end in self.requests(names))


def publish(path, files, stored=(), stamp=None):
    """Writes the archive at path and its .idx beside it; returns (line of
    section H, Index)."""
    release.make_zip(path, files, stored=stored, stamp=stamp)
    line = integrity_files.write_index_and_line(path)
    with open(path + ".idx", "rb") as f:
        index = Index(f.read(), os.path.getsize(path))
    return line, index


def parse_ranges(header):
    """"bytes=a-b,c-d" -> [(a, b + 1), (c, d + 1)]."""
    if not header or not header.startswith("bytes="):
        return []
    result = []
    for part in header[6:].split(","):
        first, _, last = part.strip().partition("-")
        result.append((int(first), int(last) + 1 if last else None))
    return result


def union(spans):
    """The spans as sorted, disjoint [first, end) intervals."""
    merged = []
    for first, end in sorted(spans):
        if merged and first <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((first, end))
    return merged


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


RECORD = "QuillMar.files"


def read_record(game_path):
    """The launcher's record as {path with "/": (size, mtime, sha256)}, or
    None when there is none. Raises on a malformed one: the launcher must
    write what it reads."""
    path = os.path.join(game_path, RECORD)
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\r\n"), "the record does not end with CR LF"
    lines = data[:-2].split(b"\r\n")
    assert lines[0] == b"QMFILES 1", f"the record starts with {lines[0]!r}"
    result = {}
    for line in lines[1:]:
        fields = line.split(b"\t")
        assert len(fields) == 4, f"a record line of {len(fields)} fields: {line!r}"
        name, size, mtime, sha = fields
        assert len(sha) == 64 and sha == sha.lower(), line
        result[name.decode("cp949").replace("\\", "/")] = (int(size), int(mtime), sha.decode())
    return result


# Windows file times count 100 ns from 1601; POSIX stamps are nanoseconds.
FILETIME_1970 = 116444736000000000


def file_stamp(path, windows):
    """(size, modified) of a file as the launcher of that platform records
    them."""
    st = os.stat(path)
    return st.st_size, (st.st_mtime_ns // 100 + FILETIME_1970 if windows else st.st_mtime_ns)


def find(folder, rel):
    """Path of rel below folder, letter case ignored; None when missing."""
    current = folder
    for part in rel.split("/"):
        if not os.path.isdir(current):
            return None
        match = [e for e in os.listdir(current) if e.lower() == part.lower()]
        if not match:
            return None
        current = os.path.join(current, match[0])
    return current


def record_lies(folder, windows=False, strict=True):
    """What the record says that the folder does not hold: (path, why).
    strict: every line's size and SHA-256 must be the file's; otherwise only
    the lines the launcher would trust (size and time still the file's)
    are held to their SHA-256, as a run killed between installing a file
    and recording it leaves the old line with another time."""
    record = read_record(folder) or {}
    lies = []
    for rel, (size, mtime, sha) in record.items():
        found = find(folder, rel)
        if found is None or not os.path.isfile(found):
            lies.append((rel, "recorded, not installed"))
            continue
        stamp = file_stamp(found, windows)
        if not strict and stamp != (size, mtime):
            continue
        if stamp[0] != size:
            lies.append((rel, "another size"))
        elif sha256_file(found) != sha:
            lies.append((rel, "another SHA-256" + ("" if strict else " with its size and time")))
    return lies
