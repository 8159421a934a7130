#!/usr/bin/env bash
# Builds the archives of the differential tests with real archivers (Info-ZIP
# zip, 7-Zip, Python's zipfile, jar files that Debian installed) and unpacks
# each with Info-ZIP unzip into expected/<name>: what TUnZip must reproduce.
set -euo pipefail
out=$1
rm -rf "$out"
mkdir -p "$out/archives" "$out/expected" "$out/work"
cd "$out/work"

# A corpus with text, binary, empty and extension-less files, nested and
# empty folders.
mkdir -p corpus/sub/deeper corpus/empty-dir
printf 'hello, world\r\n' > corpus/hello.txt
: > corpus/empty.bin
printf 'no extension\n' > corpus/README
head -c 70000 /dev/urandom > corpus/sub/random.bin
python3 - <<'PY'
import random
random.seed(7)
words = [b"alpha", b"beta", b"gamma", b"delta", b"quill", b"mar", b"\n"]
with open("corpus/sub/deeper/text.txt", "wb") as f:
    f.write(b" ".join(random.choice(words) for _ in range(200000)))
# Repeats far apart: Deflate64 distances above 32K and long matches (code 285).
block = random.randbytes(40000)
with open("corpus/sub/repeats.bin", "wb") as f:
    f.write(block * 6 + bytes(200000) + block)
PY

zip -q -r -0 "$out/archives/stored.zip" corpus
zip -q -r -9 "$out/archives/deflated.zip" corpus
zip -q -r -P secret "$out/archives/encrypted.zip" corpus
zip -q -r -0 -P secret "$out/archives/encrypted-stored.zip" corpus
# Written to a pipe: every member has a data descriptor.
zip -q -r - corpus | cat > "$out/archives/streamed.zip"
# Read from a pipe: one member named "-".
cat corpus/sub/deeper/text.txt | zip -q - - | cat > "$out/archives/stdin.zip"
# A program stub in front, with and without the offsets adjusted.
{ printf 'MZ'; head -c 5000 /dev/zero; } > stub.bin
cat stub.bin "$out/archives/deflated.zip" > "$out/archives/stub-unadjusted.zip"
cp "$out/archives/stub-unadjusted.zip" "$out/archives/stub-adjusted.zip"
zip -q -A "$out/archives/stub-adjusted.zip"
# 7-Zip's Deflate64.
7z a -bd -tzip -mm=Deflate64 -mx=9 "$out/archives/deflate64.zip" corpus > /dev/null
# Data files of zeros, as compressible as data gets (about 1029:1 with
# Deflate): the extractor's expansion limit must let them through.
mkdir -p compressible/data
head -c 16777216 /dev/zero > compressible/data/blank.map
printf 'map list\n' > compressible/data/maps.txt
zip -q -r -9 "$out/archives/compressible-deflate.zip" compressible
7z a -bd -tzip -mm=Deflate64 -mx=9 "$out/archives/compressible-deflate64.zip" compressible > /dev/null
python3 - "$out/archives" <<'PY'
import sys, zipfile, os
dest = sys.argv[1]
with zipfile.ZipFile(os.path.join(dest, "python-zip64.zip"), "w", allowZip64=True) as z:
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        for path in ("corpus/hello.txt", "corpus/sub/random.bin", "corpus/sub/deeper/text.txt"):
            name = ("deflated/" if method else "stored/") + os.path.basename(path)
            info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 12, 30, 0))
            info.compress_type = method
            with open(path, "rb") as src, z.open(info, "w", force_zip64=True) as dst:
                dst.write(src.read())
    z.comment = b"archive comment with PK\x05\x06 inside"# Names flagged as UTF-8.
with zipfile.ZipFile(os.path.join(dest, "python-utf8.zip"), "w") as z:
    z.writestr("\ud55c\uae00/\ub178\ud2b8.txt", "Korean folder and name\n")
    z.writestr("plain.txt", "ascii\n")
PY
# Real archives that Debian packages install.
n=0
for jar in $(ls /usr/share/java/*.jar 2>/dev/null | sort); do
  size=$(stat -c %s "$jar")
  if [ "$size" -gt 20000 ] && [ "$size" -lt 300000 ] && [ ! -L "$jar" ]; then
    cp "$jar" "$out/archives/debian-$(basename "$jar")"
    n=$((n + 1))
    [ $n -ge 3 ] && break
  fi
done
if [ $n -eq 0 ]; then
  for whl in $(find / -xdev \( -name '*.whl' -o -name '*.zip' \) -size -300k 2>/dev/null | head -2); do
    cp "$whl" "$out/archives/system-$(basename "$whl")"
  done
fi

for a in "$out"/archives/*; do
  name=$(basename "$a")
  mkdir -p "$out/expected/$name"
  # Exit code 1 is a warning (for example bytes in front of the archive).
  rc=0
  unzip -q -o -P secret "$a" -d "$out/expected/$name" 2>/dev/null || rc=$?
  [ $rc -le 1 ] || { echo "unzip failed ($rc) on $name" >&2; exit 1; }
done
rm -rf "$out/work"
touch "$out/stamp"
