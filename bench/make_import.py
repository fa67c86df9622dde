#!/usr/bin/env python3
"""Makes the loose-file sets of the import benchmark from an export.

    make_import.py [--edge EDGE_DIR] ARCHIVE EXPORT_DIR GROW_DIR FIT_DIR MIB [FIRST]

Both sets hold about MIB MiB of loose files for compressed entries, taken in
entry order from entry FIRST on (default 13: the sample archive's first 13
entries are hand-made edge cases, skipped here). FIT_DIR gets each entry's own
content back, edited (one byte in its middle changed), which compresses to
about its old payload and is written in place. GROW_DIR gets each entry's
content followed by the next compressed entry's and 4 KiB of noise, which
compresses to about twice its slot (and always more than it) and is appended.
EDGE_DIR, when given, gets about MIB MiB of the shared-library and text
entries (all but DDS textures) with one byte in every 4 KiB changed: each
edit breaks a few matches, so that many of them compress to just over or just
under their slot, where the fit rule's fallback decides. Prints the bytes of
each set: growing, fitting and, with --edge, edge.
"""
import os
import random
import struct
import sys


FIRST_GENERATED = 13


def compressed_entries(archive, first):
    with open(archive, "rb") as f:
        magic, count, _unit, _ = struct.unpack("<4I", f.read(16))
        if magic != 0x11E54:
            sys.exit("not a LINKDATA archive: " + archive)
        index = f.read(16 * count)
    for n in range(first, count):
        _offset, stored, unpacked = struct.unpack_from("<QII", index, 16 * n)
        if unpacked != 0 and stored > 0:
            yield n


def main():
    args = sys.argv[1:]
    edge_dir = None
    if args[:1] == ["--edge"]:
        edge_dir, args = args[1], args[2:]
    archive, export_dir, grow_dir, fit_dir, mib = args[:5]
    budget = int(mib) << 20
    first = int(args[5]) if len(args) > 5 else FIRST_GENERATED
    entries = list(compressed_entries(archive, first))
    os.makedirs(grow_dir, exist_ok=True)
    os.makedirs(fit_dir, exist_ok=True)

    def content(n):
        with open(os.path.join(export_dir, "%d.data" % n), "rb") as f:
            return f.read()

    grown = fitted = 0
    for i, n in enumerate(entries[:-1]):
        if grown >= budget and fitted >= budget:
            break
        own = content(n)
        if fitted < budget:
            edited = bytearray(own)
            edited[len(own) // 2] ^= 0xFF
            with open(os.path.join(fit_dir, "%d.data" % n), "wb") as f:
                f.write(edited)
            fitted += len(own)
        if grown < budget:
            # 4 KiB of noise more than the two: no slot's rounding to 2048
            # takes it in, however small and compressible the two are.
            both = own + content(entries[i + 1]) + random.Random(n).randbytes(4096)
            with open(os.path.join(grow_dir, "%d.data" % n), "wb") as f:
                f.write(both)
            grown += len(both)
    if edge_dir is None:
        print("%d %d" % (grown, fitted))
        return
    os.makedirs(edge_dir, exist_ok=True)
    edged = 0
    for n in entries:
        if edged >= budget:
            break
        own = content(n)
        if own[:4] == b"DDS ":
            continue
        edited = bytearray(own)
        for pos in range(2048, len(edited), 4096):
            edited[pos] ^= 0x5A
        with open(os.path.join(edge_dir, "%d.data" % n), "wb") as f:
            f.write(edited)
        edged += len(own)
    print("%d %d %d" % (grown, fitted, edged))


if __name__ == "__main__":
    main()
