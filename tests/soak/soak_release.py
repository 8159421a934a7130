"""The soak's two releases: every row differs between them (launcher,
splash, engine, data, two A-data archives, a B-data archive, a component).
Each item owns its own files, so a file's bytes tell which release it is
from; the versioned file of the launcher and the component is the last
member of its archive. Each release carries section H (sizes, SHA-256
digests, content indexes) and is signed with the harness's test
key, which the soak's launchers are built with."""
import os
import shutil

from harness import integrity_files, release
from harness.integrity_files import TEST_KEY
from harness.release import VERSION_KEY, pattern

OLD, NEW = "old", "new"
SERIALS = {OLD: 1, NEW: 2}
DOWNLOAD_BASE = "/QuillMar/"
ENGINE_BASE = "/QuillMar/engine/"
MANIFEST = "/QuillMar/QuillMar.ini"
# Starts every file of a tampered archive: none may ever reach a game folder.
TAMPERED = b"TAMPERED:"
PLANTED = "planted/tampered.txt"


class Item:
    """One row. record: (section, key) of its line in the installed copy,
    or None when its version is a file's version resource (then
    versioned_file is that file)."""

    def __init__(self, name, url, record, versions, members, versioned_file=None,
                 stored=()):
        self.name = name
        self.url = url
        self.record = record
        self.versions = versions  # OLD/NEW -> version text
        self.members = members  # OLD/NEW -> {relative name: bytes}, names in archive order
        self.versioned_file = versioned_file
        self.stored = stored  # members kept without compression

    def files(self):
        return list(self.members[OLD])


def _files(tag, seed, which, names_sizes):
    """Incompressible data files that differ between the releases; one text
    file so that zip has something to deflate."""
    salt = 0 if which == OLD else 1000
    out = {}
    for i, (name, size) in enumerate(names_sizes):
        out[name] = pattern(seed * 31 + i + salt, size)
    out[f"{tag}/readme.txt"] = f"{tag} {which} release\n".encode() * 40
    return out


def _gif(which):
    gif = bytearray(release.TINY_GIF)
    gif[13 + 3] = 0xFF if which == OLD else 0xFE  # the second palette colour
    return bytes(gif)


def make_items(launchers, foos):
    """launchers, foos: OLD/NEW -> bytes of QuillMar.exe and Foo.dll."""
    def data_item(name, url, record, seed, sizes, tag):
        members = {w: _files(tag, seed, w, [(f"{tag}/{tag}{i}.bin", s)
                                           for i, s in enumerate(sizes)])
                   for w in (OLD, NEW)}
        versions = {OLD: f"{name}-1", NEW: f"{name}-2"}
        return Item(name, url, record, versions, members)

    items = []
    items.append(Item("Launcher", f"/QuillMar/{VERSION_KEY}.zip", None,
                      {OLD: release.FILE_VERSION, NEW: release.NEXT_FILE_VERSION},
                      {w: {"launcher/notes.txt": f"launcher {w}\n".encode() * 30,
                           "QuillMar.exe": launchers[w]} for w in (OLD, NEW)},
                      versioned_file="QuillMar.exe",
                      # Inflating the sanitized build's 24 MB would take
                      # most of a round.
                      stored=("QuillMar.exe",)))
    items.append(Item("Splash", f"/QuillMar/{VERSION_KEY}_Sp.zip", ("SP", VERSION_KEY + "_Sp"),
                      {OLD: "S1", NEW: "S2"},
                      {w: {"splash/credits.txt": f"splash {w}\n".encode() * 25,
                           "Sp.Gif": _gif(w)} for w in (OLD, NEW)}))
    items.append(data_item("Part", ENGINE_BASE + "Part.zip", ("V", "Part"), 1,
                           (9000, 3000, 14000), "engine"))
    items.append(data_item("Data", ENGINE_BASE + "Data.zip", ("V", "Data"), 2,
                           (6000, 11000), "data"))
    items.append(data_item("AData1", "/QuillMar/AData1.zip", ("AData", "AData1"), 3,
                           (4000, 7000), "adata1"))
    items.append(data_item("AData2", "/QuillMar/AData2.zip", ("AData", "AData2"), 4,
                           (5000,), "adata2"))
    items.append(data_item("BData1", ENGINE_BASE + "BData1.zip", ("BData", "BData1"), 5,
                           (8000, 2000), "bdata1"))
    items.append(Item("Foo", ENGINE_BASE + "Foo.zip", None, {OLD: "1.0.0.3", NEW: "1.0.0.4"},
                      {w: {"foo/readme.txt": f"foo {w}\n".encode() * 20,
                           "Foo.dll": foos[w]} for w in (OLD, NEW)},
                      versioned_file="Foo.dll"))
    return items


def manifest(items, which):
    v = {i.name: i.versions[which] for i in items}
    return [
        ("V", [(VERSION_KEY, v["Launcher"] + "::engine"), ("Part", v["Part"]),
               ("Data", v["Data"])]),
        ("C", [("1", "Foo.dll\\" + v["Foo"])]),
        ("S", [("BK", "soak"), ("BKP", which)]),
        ("SP", [(VERSION_KEY + "_Sp", v["Splash"])]),
        ("AData", [("AData1", v["AData1"]), ("AData2", v["AData2"])]),
        ("BData", [("BData1", v["BData1"])]),
    ]


def publish(www, items, which):
    """Lays out one release below www (emptied first), signed."""
    tree = release.ReleaseTree(www)
    lines = {}
    for item in items:
        path = tree.archive(item.url, item.members[which], stored=item.stored)
        lines[item.url[len(DOWNLOAD_BASE):]] = integrity_files.write_index_and_line(path)
    tree.manifest(manifest(items, which) + [integrity_files.hash_section(SERIALS[which], lines)])
    integrity_files.sign_manifest(tree.path(MANIFEST), TEST_KEY, SERIALS[which])


def publish_tampered(source, www, item):
    """A copy of the release in source with item's archive swapped for a
    valid zip of other content (correct CRCs, the same names and one more),
    its line in section H and the signature left as they were. Of the same
    size where it fits, so that only the SHA-256 tells them apart."""
    if os.path.exists(www):
        shutil.rmtree(www)
    shutil.copytree(source, www)
    members = {name: TAMPERED + name.encode() + b"\r\n" for name in item.files()}
    members[PLANTED] = TAMPERED + b" planted\r\n"
    path = os.path.join(www, item.url.lstrip("/"))
    size = os.path.getsize(path)
    release.make_zip(path, members)
    integrity_files.pad_to_size(path, size)


def recorded_keys(items):
    """(section, key) of every line that the installed copy records."""
    return [i.record for i in items if i.record is not None]


def archive_sizes(www, items):
    return {i.name: os.path.getsize(os.path.join(www, i.url.lstrip("/"))) for i in items}
