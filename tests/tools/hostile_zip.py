#!/usr/bin/env python3
"""Writes large hostile archives for the hostile-input tests.

usage: hostile_zip.py OUT many COUNT     COUNT small stored entries F00000.TXT...
       hostile_zip.py OUT deep DEPTH     one file DEPTH folders down: d/d/.../F.TXT
       hostile_zip.py OUT bomb SIZE      one deflated entry of SIZE zero bytes
       hostile_zip.py OUT dups SIZE      two stored entries DUP.BIN of SIZE random bytes,
                                         the first beginning with "1", the second with "2"
"""
import os
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
        else:
            sys.exit("unknown kind: " + kind)


if __name__ == "__main__":
    main()
