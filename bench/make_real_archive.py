#!/usr/bin/env python3
"""Makes an archive of real files for the import benchmark, as zlib level 9 stores them.

    make_real_archive.py ARCHIVE EXTRACT_DIR MIB TEXTURE_DIR

The entries are, in turns, this machine's shared libraries
(/usr/lib/x86_64-linux-gnu/*.so*), text (/usr/share/doc, /usr/include; its
small files joined into entries of about 1 MiB, as packages) and
DXT textures (the DDS files in TEXTURE_DIR, which the benchmark's export of
the sample archive writes), a third of the bytes each, each file's first
4 MiB, until the contents add up to about MIB MiB. Every entry is
compressed: 32 KiB blocks, each one zlib stream made at level 9 (Python's zlib.compress makes what compress2 makes),
laid out as the tool's payload. EXTRACT_DIR gets each entry's content as
<n>.data, as an export would write it. The same machine always gives the
same archive.
"""
import glob
import os
import struct
import sys
import zlib

UNIT = 2048
BLOCK = 32768
FILE_CAP = 4 << 20
PACKAGE = 1 << 20
PACKED = (".gz", ".xz", ".bz2", ".zst", ".zip", ".png", ".jpg")


def files_under(*roots):
    out = []
    for root in roots:
        for dirpath, _dirs, names in os.walk(root):
            out.extend(os.path.join(dirpath, n) for n in names)
    return out


def usable(paths):
    seen = set()
    for p in sorted(paths):
        if p.endswith(PACKED) or not os.path.isfile(p):
            continue
        real = os.path.realpath(p)
        if real in seen or os.path.getsize(real) == 0:
            continue
        seen.add(real)
        yield real


def payload(content):
    chunks = [zlib.compress(content[i:i + BLOCK], 9) for i in range(0, len(content), BLOCK)]
    return (struct.pack("<I", len(content)) +
            b"".join(struct.pack("<I", len(c)) + c for c in chunks) + struct.pack("<I", 0))


def main():
    archive, extract_dir, mib, texture_dir = sys.argv[1:5]
    budget = int(mib) << 20
    kinds = [list(usable(glob.glob("/usr/lib/x86_64-linux-gnu/*.so*"))),
             list(usable(files_under("/usr/share/doc", "/usr/include"))),
             list(usable(files_under(texture_dir)))]
    # Every k-th file of each kind first, so that the set spans the kind; the
    # next file always comes from the kind with the fewest bytes so far.
    picks = [[iter(k[::max(1, len(k) // 400)] + k), 0, bytearray() if i == 1 else None]
             for i, k in enumerate(kinds) if k]
    contents, total = [], 0
    while total < budget and picks:
        pick = min(picks, key=lambda p: p[1])
        path = next(pick[0], None)
        if path is None:
            picks.remove(pick)
            continue
        with open(path, "rb") as f:
            data = f.read(FILE_CAP)
        if pick[2] is not None:
            # Text files are small: they go in packages of about 1 MiB.
            pick[2] += data
            if len(pick[2]) < PACKAGE:
                continue
            data, pick[2] = bytes(pick[2]), bytearray()
        contents.append(data)
        pick[1] += len(data)
        total += len(data)
    os.makedirs(extract_dir, exist_ok=True)
    first = (16 + 16 * len(contents) + UNIT - 1) // UNIT * UNIT
    with open(archive + ".part", "wb") as out:
        out.write(struct.pack("<IIII", 0x11E54, len(contents), UNIT, 0))
        out.write(b"\0" * (first - 16))
        records = []
        for n, data in enumerate(contents):
            p = payload(data)
            records.append(struct.pack("<QII", out.tell() // UNIT, len(p), len(data)))
            out.write(p + b"\0" * (-len(p) % UNIT))
            with open(os.path.join(extract_dir, "%d.data" % n), "wb") as f:
                f.write(data)
        out.seek(16)
        out.write(b"".join(records))
    os.replace(archive + ".part", archive)


if __name__ == "__main__":
    main()
