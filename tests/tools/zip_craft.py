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
  usize    optional uncompressed size to claim in both headers
  flags    optional bits to add to the general-purpose flags of both headers
  same_as  optional index of an earlier entry whose local header this entry's
           central record points at (their data then overlap)
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
    keys = ("method", "size", "usize", "flags", "same_as")
    if any(key in entry for entry in entries for key in keys):
        end = len(data) - 22
        count, _, offset = struct.unpack_from("<HII", data, end + 10)
        pos = offset
        offsets = []
        for entry in entries[:count]:
            name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
            local = struct.unpack_from("<I", data, pos + 42)[0]
            offsets.append(local)
            if "method" in entry:
                struct.pack_into("<H", data, pos + 10, entry["method"])
                struct.pack_into("<H", data, local + 8, entry["method"])
            if "size" in entry:
                struct.pack_into("<II", data, pos + 20, entry["size"], entry["size"])
                struct.pack_into("<II", data, local + 18, entry["size"], entry["size"])
            if "usize" in entry:
                struct.pack_into("<I", data, pos + 24, entry["usize"])
                struct.pack_into("<I", data, local + 22, entry["usize"])
            if "flags" in entry:
                for at in (pos + 8, local + 6):
                    flags = struct.unpack_from("<H", data, at)[0]
                    struct.pack_into("<H", data, at, flags | entry["flags"])
            if "same_as" in entry:
                struct.pack_into("<I", data, pos + 42, offsets[entry["same_as"]])
            pos += 46 + name_len + extra_len + comment_len
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
