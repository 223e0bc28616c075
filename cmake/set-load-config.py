#!/usr/bin/env python3
"""Points an image's load configuration directory at _load_config_used.

lld does this by itself. GNU ld before 2.41 does not know the symbol and
leaves the directory empty, so that Windows would never read the
structure the installer defines there (its DependentLoadFlags above all).
This step, run after every link, fills the directory from the link map
where the linker left it empty, checks it where the linker filled it, and
keeps the header checksum right. Standard library only.

    set-load-config.py IMAGE MAP
"""
import re
import struct
import sys

LOAD_CONFIG = 10  # the directory's index
SYMBOL = "_load_config_used"


def fail(message):
    sys.exit(f"set-load-config: {message}")


def pe_checksum(data, checksum_at):
    """The PE header checksum: a folded 16-bit sum of the file's words (the
    checksum field counting as zero), plus the file's length."""
    padded = data + b"\0" * (len(data) % 2)
    words = struct.unpack(f"<{len(padded) // 2}H", padded)
    skip = (checksum_at // 2, checksum_at // 2 + 1)
    total = 0
    for index, word in enumerate(words):
        if index in skip:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def symbol_rva(map_text, image_base):
    # GNU ld: "                0x0000000140009000                _load_config_used"
    match = re.search(r"^\s+0x([0-9a-fA-F]+)\s+" + SYMBOL + r"\s*$", map_text,
                      re.MULTILINE)
    if not match:
        fail(f"{SYMBOL} is not in the link map")
    return int(match.group(1), 16) - image_base


def main():
    image_path, map_path = sys.argv[1:3]
    data = bytearray(open(image_path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail(f"{image_path} is not a PE image")
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        fail(f"{image_path} is not a 64-bit image")
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    checksum_at = optional + 64
    directory_at = optional + 112 + 8 * LOAD_CONFIG
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    table = optional + struct.unpack_from("<H", data, pe + 20)[0]

    def file_offset(rva):
        for i in range(sections):
            size, address, raw_size, raw_at = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw_at + rva - address
        fail(f"RVA {rva:#x} lies in no section")

    rva, size = struct.unpack_from("<II", data, directory_at)
    if rva == 0:
        rva = symbol_rva(open(map_path).read(), image_base)
    structure_size = struct.unpack_from("<I", data, file_offset(rva))[0]
    if size not in (0, structure_size):
        fail(f"the directory's size {size} is not the structure's "
             f"{structure_size}")
    struct.pack_into("<II", data, directory_at, rva, structure_size)
    if struct.unpack_from("<I", data, checksum_at)[0] != 0:
        struct.pack_into("<I", data, checksum_at,
                         pe_checksum(bytes(data), checksum_at))
    open(image_path, "wb").write(data)


if __name__ == "__main__":
    main()
