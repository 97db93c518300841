#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are committed; this script says how they were made and remakes
them: python3 fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def elf(sections, wide=True):
    """A little-endian ELF file: header, contents, name table, section table."""
    header_size = 64 if wide else 52
    entry_size = 64 if wide else 40
    names = b"\0"
    body = b""
    entries = [(0, 0, 0, 0)]  # name, type, offset, size
    for name, contents in sections:
        entries.append((len(names), 1, header_size + len(body), len(contents)))
        names += name.encode() + b"\0"
        body += contents
    shstrtab_name = len(names)
    names += b".shstrtab\0"
    entries.append((shstrtab_name, 3, header_size + len(body), len(names) + 0))
    body += names
    table_offset = header_size + len(body)
    ident = b"\x7fELF" + bytes([2 if wide else 1, 1, 1, 0]) + bytes(8)
    if wide:
        head = ident + struct.pack("<HHIQQQIHHHHHH", 2, 62, 1, 0, 0, table_offset, 0, 64, 0, 0,
                                   entry_size, len(entries), len(entries) - 1)
    else:
        head = ident + struct.pack("<HHIIIIIHHHHHH", 1, 3, 1, 0, 0, table_offset, 0, 52, 0, 0,
                                   entry_size, len(entries), len(entries) - 1)
    table = b""
    for name, kind, offset, size in entries:
        if wide:
            table += struct.pack("<IIQQQQIIQQ", name, kind, 0, 0, offset, size, 0, 0, 1, 0)
        else:
            table += struct.pack("<IIIIIIIIII", name, kind, 0, 0, offset, size, 0, 0, 1, 0)
    return head + body + table


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def main():
    image = bytes((i * 7 + 3) & 0xFF for i in range(0x10000))
    # (a) ELF image lookup: whole images in both classes, small sections, no images.
    write("elf_lookup", "elf64-three-images", elf([(".k24image.FWC", image), (".k24image.BRC", image[:0x100]),
                                                   (".k24image.BRC20", image[:0x2000])]))
    write("elf_lookup", "elf32-one-image", elf([(".k24image.FWC", image)], wide=False))
    write("elf_lookup", "elf64-short-sections", elf([(".text", b"\x90" * 16), (".k24image.FWC", b"short")]))
    write("elf_lookup", "elf32-no-images", elf([(".data", b"abc")], wide=False))
    write("elf_lookup", "not-elf", b"MZ\x90\x00 not an ELF file")

    # (b) image store: flags, a 16-bit offset into the stored firmware, and
    # bytes XORed in there (fuzz/image_store_fuzz.cpp says more).
    write("image_store", "unchanged", bytes([0, 0, 0]))
    write("image_store", "firmware-version", bytes([0, 0x29, 0xF9, 0x12, 0x34]))
    write("image_store", "carried-boot-loader", bytes([0, 0xE0, 0x00, 0x01, 0x01]))
    write("image_store", "digest-mismatch", bytes([1, 0x10, 0x00, 0xFF]))
    write("image_store", "short-image", bytes([2, 0x00, 0x10, 0x00]))
    write("image_store", "nand-replacer", bytes([4, 0x0F, 0x00, 0xAA, 0x55]))

    # (c) whole update. FuzzedDataProvider takes numbers from the end: the
    # last byte chooses the dialogue (even) or the procedures (odd), the one
    # before it the boot loader (0: 1.0, 1: 0.255, 2: 1.2); zeros elsewhere
    # mean a recorder without quirks or faults and an operator who says yes.
    quiet = bytes(24)
    write("update", "flash-path-clean", quiet + bytes([0, 0]))
    write("update", "nand-path-clean", quiet + bytes([1, 0]))
    write("update", "no-upgrade-clean", quiet + bytes([2, 0]))
    # The procedures: from the end, odd byte, quirks, restart probes, fault
    # count, then the procedure (0: NAND rewrite, 1: flash programming, 2: queries).
    write("update", "nand-procedure", quiet + bytes([0, 0, 0, 0, 1]))
    write("update", "flash-procedure", quiet + bytes([1, 0, 0, 0, 1]))
    write("update", "queries", quiet + bytes([2, 0, 0, 0, 1]))

if __name__ == "__main__":
    main()
