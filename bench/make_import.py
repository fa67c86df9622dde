#!/usr/bin/env python3
"""Makes the two loose-file sets of the import benchmark from an export.

    make_import.py ARCHIVE EXPORT_DIR GROW_DIR FIT_DIR MIB [FIRST]

Both sets hold about MIB MiB of loose files for compressed entries, taken in
entry order from entry FIRST on (default 13: the sample archive's first 13
entries are hand-made edge cases, skipped here). FIT_DIR gets each entry's own
content back, edited (one byte in its middle changed), which compresses to
about its old payload and is written in place. GROW_DIR gets each entry's
content followed by the next compressed entry's and 4 KiB of noise, which
compresses to about twice its slot (and always more than it) and is appended.
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
    archive, export_dir, grow_dir, fit_dir, mib = sys.argv[1:6]
    budget = int(mib) << 20
    first = int(sys.argv[6]) if len(sys.argv) > 6 else FIRST_GENERATED
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
    print("%d %d" % (grown, fitted))


if __name__ == "__main__":
    main()
