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

    # (d) captures: the link type byte (0: usbmon, 1: USBPcap), then packets,
    # each a 16-bit length and its bytes.
    def packets(link, *each):
        return bytes([link]) + b"".join(struct.pack("<H", len(p)) + p for p in each)

    def usbmon(urb, kind, transfer, endpoint, device, setup, status, length, data=b"", data_flag=0):
        setup_flag = 0 if setup else ord("-")
        return (struct.pack("<QBBBBHBBqiiII", urb, ord(kind), transfer, endpoint, device, 1, setup_flag, data_flag,
                            1800000000, 0, status, length, len(data)) + (setup or bytes(8)) +
                struct.pack("<iiII", 0, 0, 0, 0) + data)

    def usbpcap(irp, info, transfer, endpoint, device, data, stage=None, status=0):
        header_length = 27 if stage is None else 28
        head = struct.pack("<HQIHBHHBBI", header_length, irp, status, 0x17 if stage is not None else 9, info, 1,
                           device, endpoint, transfer, len(data))
        return head + (bytes([stage]) if stage is not None else b"") + data

    firmware_version = bytes([0xC0, 0xC6, 0, 0, 0, 0, 2, 0])
    write_flash = bytes([0x40, 0x21, 0x40, 0x02, 0, 0, 4, 0])
    descriptor = bytes([18, 1, 0, 2, 0, 0, 0, 64, 0xC4, 0x10, 0x12, 0x45, 0, 1, 0, 0, 0, 1])
    write("capture", "usbmon-requests-restart-bulk", packets(
        0,
        usbmon(1, "S", 2, 0x80, 52, firmware_version, -115, 2, data_flag=ord("<")),
        usbmon(1, "C", 2, 0x80, 52, None, 0, 2, bytes([2, 1])),
        usbmon(2, "S", 2, 0x80, 53, bytes([0x80, 6, 0, 1, 0, 0, 18, 0]), -115, 18, data_flag=ord("<")),
        usbmon(2, "C", 2, 0x80, 53, None, 0, 18, descriptor),
        usbmon(3, "S", 2, 0x00, 53, write_flash, -115, 4, bytes([9, 8, 7, 6])),
        usbmon(3, "C", 2, 0x00, 53, None, -32, 0, data_flag=ord(">")),
        usbmon(4, "S", 3, 0x02, 53, None, -115, 3, bytes([1, 2, 3])),
        usbmon(4, "C", 3, 0x02, 53, None, 0, 3, data_flag=ord(">")),
        usbmon(5, "S", 3, 0x81, 53, None, -115, 4, data_flag=ord("<")),
        usbmon(5, "C", 3, 0x81, 53, None, 0, 4, bytes([4, 5, 6, 7]))))
    write("capture", "usbpcap-requests-bulk", packets(
        1,
        usbpcap(0x1000, 0, 2, 0x80, 7, firmware_version, stage=0),
        usbpcap(0x1000, 1, 2, 0x80, 7, bytes([2, 1]), stage=1),
        usbpcap(0x1000, 1, 2, 0x80, 7, b"", stage=2),
        usbpcap(0x1040, 0, 2, 0x00, 7, write_flash, stage=0),
        usbpcap(0x1040, 0, 2, 0x00, 7, bytes([9, 8, 7, 6]), stage=1),
        usbpcap(0x1040, 1, 2, 0x00, 7, b"", stage=2, status=0xC0000004),
        usbpcap(0x1080, 0, 3, 0x02, 7, bytes([1, 2, 3])),
        usbpcap(0x1080, 1, 3, 0x02, 7, b""),
        usbpcap(0x10C0, 0, 3, 0x81, 7, b""),
        usbpcap(0x10C0, 1, 3, 0x81, 7, bytes([4, 5, 6, 7]))))


if __name__ == "__main__":
    main()
