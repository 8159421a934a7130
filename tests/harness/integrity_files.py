"""The integrity files of a release written from the test side (docs/
integrity.md has the formats): an archive's content index and its line in
section H, and a manifest's signature, made with the openssl command line
so that the updater's own code takes no part in making what it checks."""
import hashlib
import os
import subprocess
import zipfile

# The tests' own signing key (fixtures/test_key.txt says how it was made);
# the launchers that check signatures are built with its public half.
TEST_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "test_key.pem")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def index_text(archive):
    """The content index of a zip file: one line per member, in the
    archive's order."""
    lines = [b"QMIDX 1"]
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            # The stored bytes of the name: zipfile decodes them as cp437
            # unless the UTF-8 flag is set.
            raw = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
            content = z.read(info) if not info.is_dir() else b""
            fields = [raw, str(info.file_size).encode(), f"{info.CRC:08x}".encode(),
                      sha256_hex(content).encode(), str(info.compress_type).encode(),
                      str(info.compress_size).encode(), str(info.header_offset).encode()]
            lines.append(b"\t".join(fields))
    return b"".join(line + b"\r\n" for line in lines)


def write_index_and_line(archive):
    """Writes <archive>.idx beside the archive; returns the archive's value
    in section H: size, SHA-256, SHA-256 of the index."""
    index = index_text(archive)
    with open(archive + ".idx", "wb") as f:
        f.write(index)
    with open(archive, "rb") as f:
        data = f.read()
    return f"{len(data)},{sha256_hex(data)},{sha256_hex(index)}"


def pad_to_size(archive, size):
    """Grows a zip file to size bytes with an archive comment, so that only
    its SHA-256 tells it from another archive of that size. False when it
    is too big already or would need too long a comment."""
    missing = size - os.path.getsize(archive)
    if missing < 0 or missing > 0xFFFF:
        return False
    with zipfile.ZipFile(archive, "a") as z:
        z.comment = b"-" * missing
    return os.path.getsize(archive) == size


def hash_section(serial, lines):
    """Section H as write_manifest takes it; lines: key below the download
    base -> value."""
    return ("H", [("Serial", str(serial))] + sorted(lines.items()))


def _der_integers(der):
    """r and s of a DER ECDSA signature: SEQUENCE { INTEGER r, INTEGER s }."""
    def length_at(at):
        first = der[at]
        if first < 0x80:
            return first, at + 1
        count = first & 0x7F
        return int.from_bytes(der[at + 1:at + 1 + count], "big"), at + 1 + count

    if der[0] != 0x30:
        raise ValueError("not a DER sequence")
    _, at = length_at(1)
    values = []
    for _ in range(2):
        if der[at] != 0x02:
            raise ValueError("not a DER integer")
        size, at = length_at(at + 1)
        values.append(int.from_bytes(der[at:at + size], "big"))
        at += size
    return values


def signature_file(manifest_bytes, key_pem, serial):
    """The bytes of QuillMar.ini.sig for these manifest bytes: ECDSA P-256
    over their SHA-256, as raw r || s."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_pem],
                         input=manifest_bytes, capture_output=True, check=True,
                         timeout=60).stdout
    r, s = _der_integers(der)
    raw = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    return f"Serial={serial}\r\nECDSA-P256-SHA256={raw.hex()}\r\n".encode()


def sign_manifest(manifest_path, key_pem, serial):
    """Writes the signature beside the manifest."""
    with open(manifest_path, "rb") as f:
        data = f.read()
    with open(os.path.join(os.path.dirname(manifest_path), "QuillMar.ini.sig"), "wb") as f:
        f.write(signature_file(data, key_pem, serial))
