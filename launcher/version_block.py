#!/usr/bin/env python3
"""Copies the RT_VERSION data (the raw VS_VERSIONINFO block) out of a .res
file written by windres: version_block.py <in.res> <out.bin>."""
import struct
import sys

RT_VERSION = 16


def read_id(data, pos):
    """A resource type or name: 0xFFFF and a number, or a UTF-16 string."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        (number,) = struct.unpack_from("<H", data, pos + 2)
        return number, pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def main():
    data = open(sys.argv[1], "rb").read()
    pos = 0
    while pos + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, pos)
        if header_size < 8 or pos + header_size + data_size > len(data):
            sys.exit("version_block: damaged .res file")
        kind, _ = read_id(data, pos + 8)
        body = data[pos + header_size:pos + header_size + data_size]
        if kind == RT_VERSION:
            open(sys.argv[2], "wb").write(body)
            return
        pos += header_size + data_size
        pos = (pos + 3) & ~3
    sys.exit("version_block: no version resource in " + sys.argv[1])


if __name__ == "__main__":
    main()
