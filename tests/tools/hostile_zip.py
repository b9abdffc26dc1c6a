#!/usr/bin/env python3
"""Writes large hostile archives for the hostile-input tests.

usage: hostile_zip.py OUT many COUNT     COUNT small stored entries F00000.TXT...
       hostile_zip.py OUT deep DEPTH     one file DEPTH folders down: d/d/.../F.TXT
       hostile_zip.py OUT bomb SIZE      one deflated entry of SIZE zero bytes
       hostile_zip.py OUT dups SIZE      two stored entries DUP.BIN of SIZE random bytes,
                                         the first beginning with "1", the second with "2"
       hostile_zip.py OUT huge SIZE      two one-byte stored entries whose Zip64 fields
                                         each declare SIZE bytes
"""
import os
import struct
import sys
import warnings
import zipfile

warnings.simplefilter("ignore")  # zipfile warns of the duplicate names we mean


def main():
    out, kind, number = sys.argv[1], sys.argv[2], int(sys.argv[3])
    stamp = (2020, 1, 2, 3, 4, 6)
    with zipfile.ZipFile(out, "w") as archive:
        if kind == "many":
            for i in range(number):
                info = zipfile.ZipInfo("F%05d.TXT" % i, date_time=stamp)
                archive.writestr(info, b"%d\n" % i)
        elif kind == "deep":
            info = zipfile.ZipInfo("d/" * number + "F.TXT", date_time=stamp)
            archive.writestr(info, b"deep\n")
        elif kind == "bomb":
            info = zipfile.ZipInfo("ZEROS.BIN", date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            with archive.open(info, "w", force_zip64=number >= 1 << 31) as entry:
                block = bytes(1 << 20)
                left = number
                while left > 0:
                    entry.write(block[: min(left, len(block))])
                    left -= len(block)
        elif kind == "dups":
            for tag in (b"1", b"2"):
                info = zipfile.ZipInfo("DUP.BIN", date_time=stamp)
                archive.writestr(info, tag + os.urandom(number - 1))
        elif kind == "huge":
            for name in ("H1.BIN", "H2.BIN"):
                info = zipfile.ZipInfo(name, date_time=stamp)
                archive.writestr(info, b"h")
        else:
            sys.exit("unknown kind: " + kind)
    if kind == "huge":
        declare_sizes(out, number)


def declare_sizes(out, size):
    """Rewrites the archive with `size` as every entry's uncompressed size,
    declared in Zip64 fields of both headers."""
    with open(out, "rb") as f:
        data = f.read()
    end = len(data) - 22
    count, _, cd_offset = struct.unpack_from("<HII", data, end + 10)
    body, records, pos = b"", b"", cd_offset
    for _ in range(count):
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
        compressed, local = struct.unpack_from("<I", data, pos + 20)[0], struct.unpack_from("<I", data, pos + 42)[0]
        name = data[pos + 46 : pos + 46 + name_len]
        local_name_len, local_extra_len = struct.unpack_from("<HH", data, local + 26)
        payload = data[local + 30 + local_name_len + local_extra_len :][:compressed]
        header = bytearray(data[local : local + 30])
        struct.pack_into("<IIHH", header, 18, 0xFFFFFFFF, 0xFFFFFFFF, name_len, 20)
        offset = len(body)
        body += bytes(header) + name + struct.pack("<HHQQ", 1, 16, size, compressed) + payload
        record = bytearray(data[pos : pos + 46])
        struct.pack_into("<IHHH", record, 24, 0xFFFFFFFF, name_len, 12, 0)
        struct.pack_into("<I", record, 42, offset)
        records += bytes(record) + name + struct.pack("<HHQ", 1, 8, size)
        pos += 46 + name_len + extra_len + comment_len
    tail = bytearray(data[end:])
    struct.pack_into("<II", tail, 12, len(records), len(body))
    with open(out, "wb") as f:
        f.write(body + records + bytes(tail))


if __name__ == "__main__":
    main()
