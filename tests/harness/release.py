"""Release trees (manifest plus archives made with Info-ZIP zip), game
folders, and reading what a run left behind."""
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import zipfile

VERSION_KEY = "82001500"
PRODUCT_VERSION = "82001-000-500-000001"
FILE_VERSION = "3.0.0.0"
NEXT_FILE_VERSION = "3.0.0.1"


def write_manifest(path, sections):
    """sections: list of (name, list of (key, value)); values are written
    as they stand, remarks included. CR LF, as a publisher's file."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lines = []
    for name, entries in sections:
        lines.append(f"[{name}]")
        lines.extend(f"{key}={value}" for key, value in entries)
        lines.append("")
    with open(path, "wb") as f:
        f.write("\r\n".join(lines).encode("cp949"))


def make_zip(path, members, stored=(), read_only=()):
    """members: relative name -> bytes. Names in `stored` are stored without
    compression; names in `read_only` lose their write bits, which Info-ZIP
    records as the DOS read-only attribute."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.remove(path)
    with tempfile.TemporaryDirectory() as stage:
        for name, data in members.items():
            target = os.path.join(stage, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
            if name in read_only:
                os.chmod(target, 0o444)
        deflated = [n for n in members if n not in stored]
        if deflated:
            subprocess.run(["zip", "-q", "-X", "-9", os.path.abspath(path)] + deflated,
                           cwd=stage, check=True, timeout=60)
        kept = [n for n in members if n in stored]
        if kept:
            subprocess.run(["zip", "-q", "-X", "-0", os.path.abspath(path)] + kept,
                           cwd=stage, check=True, timeout=60)
        for name in read_only:
            os.chmod(os.path.join(stage, name), 0o644)


def flip_member_byte(path, member):
    """Flips one byte in the middle of a member's compressed data; its CRC
    no longer matches (for a stored member nothing else notices)."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    with open(path, "r+b") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_len, extra_len = struct.unpack("<HH", header[26:30])
        at = info.header_offset + 30 + name_len + extra_len + info.compress_size // 2
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(bytes([byte[0] ^ 0x5A]))


def pattern(seed, size):
    """Incompressible-looking bytes, different per seed."""
    out = bytearray()
    x = (seed * 2654435761 + 12345) & 0xFFFFFFFF
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out += struct.pack("<I", x ^ (x >> 13))
    return bytes(out[:size])


# A 1 x 1 GIF89a picture: a valid Sp.Gif.
TINY_GIF = bytes.fromhex(
    "47494638396101000100800000000000ffffff21f90401000000002c00000000"
    "010001000002024401003b")


class GameFolder:
    """A fresh application folder: QuillMar.exe, the stand-in client, and
    whatever a case adds."""

    def __init__(self, root, launcher, client):
        self.path = root
        os.makedirs(root)
        shutil.copy2(launcher, self.file("QuillMar.exe"))
        shutil.copy2(client, self.file("_QuillMar_.exe"))
        os.chmod(self.file("_QuillMar_.exe"), 0o755)

    def file(self, name):
        return os.path.join(self.path, *name.replace("\\", "/").split("/"))

    def write(self, name, data):
        target = self.file(name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if isinstance(data, str):
            data = data.encode("cp949")
        with open(target, "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.file(name))

    def write_ini(self, sections):
        write_manifest(self.file("QuillMar.ini"), sections)

    def ini(self):
        return read_ini(self.file("QuillMar.ini"))

    def find(self, name):
        """Path of name in the folder, letter case ignored (the program's
        names ignore it: "\\temp\\" and "\\Temp\\" are one folder)."""
        current = self.path
        for part in name.replace("\\", "/").split("/"):
            if not os.path.isdir(current):
                return None
            match = [e for e in os.listdir(current) if e.lower() == part.lower()]
            if not match:
                return None
            current = os.path.join(current, match[0])
        return current

    def temp_files(self):
        temp = self.find("Temp")
        if temp is None:
            return []
        return sorted(os.listdir(temp))

    def all_files(self):
        """Every file below the folder, relative, with "/" separators."""
        result = []
        for dirpath, _, files in os.walk(self.path):
            for name in files:
                rel = os.path.relpath(os.path.join(dirpath, name), self.path)
                result.append(rel.replace(os.sep, "/"))
        return sorted(result)

    def is_read_only(self, name):
        return not (os.stat(self.file(name)).st_mode & stat.S_IWUSR)


def read_ini(path):
    """section (lower case) -> key (lower case) -> value, as the INI
    accessor would read them: blanks around values dropped."""
    result = {}
    if not os.path.exists(path):
        return result
    with open(path, "rb") as f:
        text = f.read().decode("cp949", errors="replace")
    section = None
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("[") and "]" in line:
            section = result.setdefault(line[1:line.index("]")].strip().lower(), {})
        elif section is not None and "=" in line:
            key, value = line.split("=", 1)
            section.setdefault(key.strip().lower(), value.strip())
    return result


class ReleaseTree:
    """The files nginx serves below www: the manifest at
    /QuillMar/QuillMar.ini and archives wherever a case puts them."""

    def __init__(self, www):
        self.www = www
        for entry in os.listdir(www):
            full = os.path.join(www, entry)
            if os.path.isdir(full):
                shutil.rmtree(full)
            else:
                os.remove(full)

    def path(self, url_path):
        return os.path.join(self.www, url_path.lstrip("/"))

    def manifest(self, sections):
        write_manifest(self.path("/QuillMar/QuillMar.ini"), sections)

    def archive(self, url_path, members, **kwargs):
        make_zip(self.path(url_path), members, **kwargs)
        return self.path(url_path)

    def copy(self, url_path, source):
        target = self.path(url_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
