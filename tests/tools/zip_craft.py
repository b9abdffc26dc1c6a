#!/usr/bin/env python3
"""Writes zip archives that ordinary tools refuse to make, for the unzip tests.

usage: zip_craft.py OUT ENTRIES_JSON

ENTRIES_JSON is a list of entries, each an object with:
  name     entry name as text (stored as given; zipfile never stores a NUL,
           so use "raw" to put exact bytes in the headers)
  raw      optional: the name's bytes as latin-1 text, written into the
           headers in place of "name" (same length), e.g. "caf\\u0082.txt"
  data     file contents (text, default empty)
  mode     optional Unix mode, e.g. 33261 (0o100755) or 41471 (a symlink)
  method   optional compression method number to write into both headers
  size     optional size to claim (compressed and uncompressed) in both headers
The archive is written stored (no compression) unless "deflate" is true.
"""
import json
import struct
import sys
import zipfile


def main():
    out, entries = sys.argv[1], json.loads(sys.argv[2])
    with zipfile.ZipFile(out, "w") as archive:
        for entry in entries:
            info = zipfile.ZipInfo(entry["name"], date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = zipfile.ZIP_DEFLATED if entry.get("deflate") else zipfile.ZIP_STORED
            if "mode" in entry:
                info.create_system = 3
                info.external_attr = entry["mode"] << 16
            archive.writestr(info, entry.get("data", "").encode())
    with open(out, "rb") as f:
        data = bytearray(f.read())
    for entry in entries:
        if "raw" in entry:
            old, new = entry["name"].encode(), entry["raw"].encode("latin-1")
            assert len(old) == len(new) and data.count(old) == 2
            data = bytearray(bytes(data).replace(old, new))
    if any("method" in entry or "size" in entry for entry in entries):
        end = len(data) - 22
        count, _, offset = struct.unpack_from("<HII", data, end + 10)
        pos = offset
        for entry in entries[:count]:
            name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
            local = struct.unpack_from("<I", data, pos + 42)[0]
            if "method" in entry:
                struct.pack_into("<H", data, pos + 10, entry["method"])
                struct.pack_into("<H", data, local + 8, entry["method"])
            if "size" in entry:
                struct.pack_into("<II", data, pos + 20, entry["size"], entry["size"])
                struct.pack_into("<II", data, local + 18, entry["size"], entry["size"])
            pos += 46 + name_len + extra_len + comment_len
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
