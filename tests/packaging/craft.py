#!/usr/bin/python3
"""Files made byte by byte for the packer's tests, each showing one thing:

- small Windows images (no code; the packer never runs them): setup programs
  of other machines or of the native subsystem, a DLL, manifests asking for
  this or that execution level or cut short; a stub whose version block
  stamping would grow past 64 KiB; resource directories no linker writes (shared tables, a data entry
  reached twice, entries out of order, overlapping data, names outgrowing
  their section; 4,032 entries sharing one 65,535-unit name and one data
  range); a resource name with terminal escapes and an execution level
  with a C1 control; a damaged version block; a big sparse installer;
- copies of the stub with one thing changed (alignments, resources at the
  top of the address space, the DLL flag, a security directory, data after
  its last section, a section or a data directory after its resources,
  relocations inside them, a relocation block cut short); a stub aligned
  to 128 KiB and one without resources;
- copies of a packed installer with one thing of its cabinet or its
  previous version changed.

  craft.py OUT_DIR STUB PACKED_BL       every file above into OUT_DIR, and
                                        two sparse archives at the 2 GiB limits
  craft.py --big FILE SIZE              the sparse installer, an archive of SIZE
"""
import struct
import sys

FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000


def align(value, to):
    return -(-value // to) * to


def utf16(text):
    return text.encode("utf-16-le")


def order(ident):
    """The loader's order: names (upper-cased) before numbers."""
    return (0, ident.upper(), 0) if isinstance(ident, str) else (1, "", ident)


def resource_section(leaves, rva, share_tables=False):
    """A resource directory and its data for a section at RVA, and the
    section's size. LEAVES: (type, name, language, data), type and name a
    number or a string; the same data object (by identity) and the same
    name string are stored once; data given as a number is that many zeros
    at the end, not in the bytes returned (a hole in the file). With
    SHARE_TABLES every type leads to the first type's name table."""
    tree = {}
    for type_, name, language, data in leaves:
        tree.setdefault(type_, {}).setdefault(name, []).append((language, data))
    types = sorted(tree, key=order)
    tables = 16 + 8 * len(types)
    type_tables = {}
    for t in types:
        type_tables[t] = tables
        tables += 16 + 8 * len(tree[t])
    name_tables = {}
    for t in types:
        for n in sorted(tree[t], key=order):
            name_tables[(t, n)] = tables
            tables += 16 + 8 * len(tree[t][n])
    entries = tables
    cursor = entries + 16 * len(leaves)
    strings = {}
    for t in types:
        for s in [t] + list(tree[t]):
            if isinstance(s, str) and s not in strings:
                strings[s] = cursor
                cursor += 2 + 2 * len(s)
    datas = {}
    for _, _, _, data in sorted(leaves, key=lambda leaf: isinstance(leaf[3], int)):
        if id(data) not in datas:
            cursor = align(cursor, 8)
            datas[id(data)] = (cursor, data)
            cursor += data if isinstance(data, int) else len(data)
    size = cursor
    out = bytearray(max([o for o, d in datas.values() if isinstance(d, int)] or [size]))

    def table(at, ids):
        named = sum(isinstance(i, str) for i in ids)
        struct.pack_into("<12xHH", out, at, named, len(ids) - named)

    def ident(i):
        return (strings[i] | 0x80000000) if isinstance(i, str) else i
    table(0, types)
    data_entry = entries
    for ti, t in enumerate(types):
        target = type_tables[types[0] if share_tables else t]
        struct.pack_into("<II", out, 16 + 8 * ti, ident(t), target | 0x80000000)
        names = sorted(tree[t], key=order)
        table(type_tables[t], names)
        for ni, n in enumerate(names):
            struct.pack_into("<II", out, type_tables[t] + 16 + 8 * ni, ident(n),
                             name_tables[(t, n)] | 0x80000000)
            languages = tree[t][n]
            table(name_tables[(t, n)], [l for l, _ in languages])
            for li, (language, data) in enumerate(languages):
                struct.pack_into("<II", out, name_tables[(t, n)] + 16 + 8 * li, language, data_entry)
                offset = datas[id(data)][0]
                length = data if isinstance(data, int) else len(data)
                struct.pack_into("<III", out, data_entry, rva + offset, length, 0)
                data_entry += 16
    for s, at in strings.items():
        struct.pack_into("<H", out, at, len(s))
        out[at + 2:at + 2 + 2 * len(s)] = utf16(s)
    for offset, data in datas.values():
        if not isinstance(data, int):
            out[offset:offset + len(data)] = data
    return bytes(out), size


def image(leaves=(), machine=0x8664, subsystem=2, characteristics=0x22,
          share_tables=False, section_align=SECTION_ALIGN):
    """A PE32+ (x64) or PE32 (x86) image: a .text of a few bytes, then the
    resources. Returns its bytes and its size: the file is longer than its
    bytes when a resource is a hole."""
    plus = machine != 0x14c
    optional_size = (112 if plus else 96) + 16 * 8
    headers = align(64 + 24 + optional_size + 2 * 40, FILE_ALIGN)
    text_rva, text_raw = section_align, headers
    rsrc_rva = 2 * section_align
    rsrc, rsrc_size = resource_section(list(leaves), rsrc_rva, share_tables) if leaves else (b"", 0)
    rsrc_raw = text_raw + FILE_ALIGN
    size_of_image = align(rsrc_rva + max(rsrc_size, 1), section_align)
    out = bytearray(headers)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, 64)
    struct.pack_into("<4sHHIIIHH", out, 64, b"PE\0\0", machine, 2, 0, 0, 0, optional_size, characteristics)
    o = 64 + 24
    struct.pack_into("<H", out, o, 0x20b if plus else 0x10b)
    struct.pack_into("<II", out, o + 32, section_align, FILE_ALIGN)
    struct.pack_into("<HH", out, o + 48, 6, 0)  # subsystem version
    struct.pack_into("<III", out, o + 56, size_of_image, headers, 0)
    struct.pack_into("<HH", out, o + 68, subsystem, 0x8160 if plus else 0x8140)
    directories = o + (112 if plus else 96)
    struct.pack_into("<I", out, directories - 4, 16)
    if leaves:
        struct.pack_into("<II", out, directories + 16, rsrc_rva, rsrc_size)
    table = o + optional_size
    struct.pack_into("<8sIIIIIIHHI", out, table, b".text", 16, text_rva, FILE_ALIGN, text_raw, 0, 0, 0, 0, 0x60000020)
    struct.pack_into("<8sIIIIIIHHI", out, table + 40, b".rsrc", rsrc_size, rsrc_rva,
                     align(rsrc_size, FILE_ALIGN), rsrc_raw, 0, 0, 0, 0, 0x40000040)
    out += b"\xC3".ljust(FILE_ALIGN, b"\0")  # ret
    out += rsrc
    size = rsrc_raw + align(rsrc_size, FILE_ALIGN)
    if len(rsrc) == rsrc_size:
        out += bytes(size - len(out))
    return bytes(out), size


def version_node(key, value=b"", children=(), text=False):
    """A node of a version block as the packer writes one."""
    head = 6 + len(utf16(key)) + 2
    body = bytearray(align(head, 4))
    body[6:head] = utf16(key) + b"\0\0"
    body += value
    for child in children:
        body += bytes(align(len(body), 4) - len(body)) + child
    struct.pack_into("<HHH", body, 0, len(body), len(value) // 2 if text else len(value), 1 if text else 0)
    return bytes(body)


def version_block(padding):
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10000, 0, 0x10000, 0, 0x3F, 0, 4, 1, 0, 0, 0)
    comment = version_node("Comments", utf16("x" * padding + "\0"), text=True)
    table = version_node("040904b0", children=[comment], text=True)
    return version_node("VS_VERSION_INFO", fixed, [version_node("StringFileInfo", children=[table], text=True)])


def manifest(inside):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n'
            + inside + "</assembly>\n").encode()


def trust(level, prefix=""):
    p = prefix + ":" if prefix else ""
    return ('  <%strustInfo xmlns%s="urn:schemas-microsoft-com:asm.v3"><%ssecurity><%srequestedPrivileges>\n'
            '    <%srequestedExecutionLevel level="%s" uiAccess="false"/>\n'
            '  </%srequestedPrivileges></%ssecurity></%strustInfo>\n'
            % (p, ":" + prefix if prefix else "", p, p, p, level, p, p, p))


def patched(data, edits):
    """DATA with (offset, format, value) written into it."""
    out = bytearray(data)
    for offset, fmt, value in edits:
        struct.pack_into(fmt, out, offset, value)
    return bytes(out)


def stub_variants(stub):
    """The stub with alignments out of bounds, with its resources at the top
    of the address space, and marked as a DLL."""
    nt = struct.unpack_from("<I", stub, 0x3C)[0]
    o = nt + 24
    count, optional_size = struct.unpack_from("<H", stub, nt + 6)[0], struct.unpack_from("<H", stub, nt + 20)[0]
    sections = [o + optional_size + 40 * i for i in range(count)]
    names = [stub[s:s + 8].rstrip(b"\0") for s in sections]
    rsrc, reloc = sections[names.index(b".rsrc")], sections[names.index(b".reloc")]
    before = sections[names.index(b".rsrc") - 1]
    high = 0xFFFF0000
    old_rva = struct.unpack_from("<I", stub, rsrc + 12)[0]
    # The sections before stretch up to it, so that the addresses stay adjacent.
    moved = patched(stub, [
        (before + 8, "<I", high - struct.unpack_from("<I", stub, before + 12)[0]),
        (rsrc + 12, "<I", high), (reloc + 12, "<I", high + 0x1000),
        (o + 112 + 16, "<I", high), (o + 112 + 40, "<I", high + 0x1000), (o + 56, "<I", high + 0x2000)])
    # ...and the data entries of its resource directory point there too.
    raw = struct.unpack_from("<I", stub, rsrc + 20)[0]
    moved = bytearray(moved)
    tables = [0]
    while tables:
        at = raw + tables.pop()
        named, ids = struct.unpack_from("<HH", moved, at + 12)
        for e in range(named + ids):
            target = struct.unpack_from("<I", moved, at + 16 + 8 * e + 4)[0]
            if target & 0x80000000:
                tables.append(target & 0x7FFFFFFF)
            else:
                data_rva = struct.unpack_from("<I", moved, raw + target)[0]
                struct.pack_into("<I", moved, raw + target, data_rva - old_rva + high)
    characteristics = struct.unpack_from("<H", stub, nt + 22)[0]
    rsrc_rva = struct.unpack_from("<I", stub, rsrc + 12)[0]
    blocks = struct.unpack_from("<I", stub, reloc + 20)[0]  # its first block
    return {
        "stub-file-alignment.exe": patched(stub, [(o + 36, "<I", 0x80000000)]),
        "stub-section-alignment.exe": patched(stub, [(o + 32, "<I", 0x80000000)]),
        "stub-resources-high.exe": bytes(moved),
        "stub-dll.exe": patched(stub, [(nt + 22, "<H", characteristics | 0x2000)]),
        "stub-data-after.exe": stub + b"appended data",
        # A security directory, as signing adds one.
        "stub-signed.exe": patched(stub, [(o + 112 + 4 * 8, "<I", len(stub)), (o + 112 + 4 * 8 + 4, "<I", 8)]),
        # The relocations renamed and no longer named by their directory.
        "stub-tls-after.exe": patched(stub, [(reloc, "<8s", b".tls"), (o + 112 + 40, "<I", 0),
                                             (o + 112 + 44, "<I", 0)]),
        "stub-relocations-in-resources.exe": patched(stub, [(blocks, "<I", rsrc_rva)]),
        "stub-relocation-block-short.exe": patched(stub, [(blocks + 4, "<I", 4)]),
        "stub-debug-after.exe": patched(stub, [(o + 112 + 6 * 8, "<I", rsrc_rva), (o + 112 + 6 * 8 + 4, "<I", 28)]),
    }


def packed_variants(packed):
    """The packed installer with one block checksum changed, one byte after
    a block's deflate stream, the setup program's attributes made read-only,
    and its previous version 1.2.3.4 made 1.2.3.5."""
    cab = packed.index(b"MSCF\0\0\0\0")
    size, files = struct.unpack_from("<II", packed, cab + 8)[0], struct.unpack_from("<I", packed, cab + 16)[0]
    first, blocks = struct.unpack_from("<IH", packed, cab + 36)
    last = cab + first
    for _ in range(blocks - 1):
        last += 8 + struct.unpack_from("<H", packed, last + 4)[0]
    packed_size = struct.unpack_from("<H", packed, last + 4)[0]
    # A zero byte after the last block's deflate stream, inside the block,
    # whose checksum is made anew: the block, the cabinet and the resource
    # (its data entry, the first place its size appears) and the section's
    # VirtualSize grow by one, into the padding after the cabinet.
    end = last + 8 + packed_size
    assert packed[end] == 0
    grown = bytearray(packed[:end] + b"\x00" + packed[end + 1:])
    struct.pack_into("<H", grown, last + 4, packed_size + 1)
    struct.pack_into("<I", grown, cab + 8, size + 1)
    struct.pack_into("<I", grown, last, block_checksum(grown[last + 8:end + 1], grown[last + 4:last + 8]))
    entry = grown.index(struct.pack("<I", size), 0, cab)
    struct.pack_into("<I", grown, entry, size + 1)
    # The section's VirtualSize grows too: past it the loader maps zeros,
    # not the file's bytes.
    rsrc = grown.index(b".rsrc\0\0\0")
    struct.pack_into("<I", grown, rsrc + 8, struct.unpack_from("<I", grown, rsrc + 8)[0] + 1)
    version = packed.index(utf16("1.2.3.4"))
    return {
        "packed-block-checksum.exe": patched(packed, [(cab + first, "<I", struct.unpack_from("<I", packed, cab + first)[0] ^ 1)]),
        "packed-after-stream.exe": bytes(grown),
        "packed-attributes.exe": patched(packed, [(cab + files + 14, "<H", 0x21)]),
        "packed-previous-version.exe": patched(packed, [(version + 12, "<H", ord("5"))]),
    }


def directory_variants():
    """Resource directories no linker writes, each in one place: a data
    entry reached twice, entries out of the loader's order, data partly
    overlapping, and names that together outgrow their section."""
    def made(leaves, edits):
        data, size = image(leaves)
        at = struct.unpack_from("<I", data, 0x3C)[0]
        tables = at + 24 + struct.unpack_from("<H", data, at + 20)[0]
        rsrc = struct.unpack_from("<I", data, tables + 40 + 20)[0]
        return patched(data, [(rsrc + offset, fmt, value) for offset, fmt, value in edits])
    # One type, two names: root 0, type table 24, name tables 56 and 80,
    # data entries 104 and 120, data from 136 (16 bytes each).
    two = [(10, 1, 1033, b"A" * 16), (10, 2, 1033, b"B" * 16)]
    # Two named types: root 0 (entries at 16, 24), strings from 160, the
    # first of 1,000 units; the second type's name is moved 2 bytes into
    # the first, where a length of 768 (its first unit) stands.
    long_name = "\u0300" + "\uffff" * 999
    named = [(long_name, 1, 1033, b"x"), ("\uffff", 1, 1033, b"y")]
    return {
        "entry-twice.exe": made(two, [(80 + 16 + 4, "<I", 104)]),
        "out-of-order.exe": made(two, [(24 + 16, "<I", 2), (24 + 24, "<I", 1)]),
        "data-overlap.exe": made(two, [(120, "<I", 2 * SECTION_ALIGN + 144)]),
        "names-outgrow.exe": made(named, [(24, "<I", (160 + 2) | 0x80000000)]),
    }


def block_checksum(data, sizes):
    def fold(chunk, seed):
        words = len(chunk) // 4
        for i in range(words):
            seed ^= struct.unpack_from("<I", chunk, 4 * i)[0]
        tail = 0
        for byte in chunk[4 * words:]:
            tail = tail << 8 | byte
        return seed ^ tail
    return fold(bytes(sizes), fold(bytes(data), 0))


def crafted(stub, packed):
    files = {}
    for name, machine, characteristics, text in [
            ("setup-x86-no-manifest.exe", 0x14c, 0x102, None),
            ("setup-x86-level-in-comment.exe", 0x14c, 0x102,
             "  <!-- " + trust("asInvoker") + "  -->\n"),
            ("setup-x86-invoker.exe", 0x14c, 0x102, trust("asInvoker", "ms_asmv3")),
            ("setup-admin.exe", 0x8664, 0x22, trust("requireAdministrator")),
            ("setup-highest.exe", 0x8664, 0x22, trust("highestAvailable")),
            ("setup-arm64.exe", 0xAA64, 0x22, trust("asInvoker")),
            ("setup-dll.exe", 0x8664, 0x2022, trust("asInvoker"))]:
        leaves = [(24, 1, 1033, manifest(text))] if text is not None else []
        files[name] = image(leaves, machine, 2, characteristics)[0]
    files["stub-version-grows.exe"] = image([(16, 1, 1033, version_block(32650))])[0]
    # 4,032 entries under as many types, sharing one name of 65,535 units
    # and one 64 KiB range of data: every command must stay cheap.
    name, data = "N" * 65535, bytes(range(256)) * 256
    files["shared-names.exe"] = image([(t, name, 1033, data) for t in range(1, 4033)])[0]
    files["shared-tables.exe"] = image([(t, 1, 1033, data) for t in range(1, 4033)], share_tables=True)[0]
    # A name with terminal escapes, and a setup program whose execution
    # level holds a C1 control (CSI, U+009B) in its UTF-8 manifest.
    escaping_setup = image([(24, 1, 1033, manifest(trust("\x9b2J")))])[0]
    files["escapes.exe"] = image([("EVIL\x1b[2J\rFORGED", 1, 1033, b"x"),
                                  ("B7", "KORVEN.PACKED.7Z", 1033, b"7z\xbc\xaf\x27\x1c"),
                                  ("BN", "SETUP.EXE", 1033, escaping_setup)])[0]
    files["setup-unknown-level.exe"] = image([(24, 1, 1033, manifest(trust("asAdministrator")))])[0]
    files["setup-native.exe"] = image([(24, 1, 1033, manifest(trust("asInvoker")))], subsystem=1)[0]
    files["setup-manifest-cut.exe"] = image([(24, 1, 1033, manifest(trust("asInvoker"))[:-30])])[0]
    files["stub-aligned-128k.exe"] = image(section_align=0x20000)[0]
    files["stub-no-resources.exe"] = image()[0]
    files.update(directory_variants())
    files["version-damaged.exe"] = image([(16, 1, 1033, b"\x40\x00garbage, not a version block")])[0]
    files.update(stub_variants(stub))
    files.update(packed_variants(packed))
    return files


def write(path, data, size):
    with open(path, "wb") as out:
        out.write(data)
        out.truncate(size)


def main():
    if sys.argv[1] == "--big":
        leaves = [("B7", "KORVEN.PACKED.7Z", 1033, int(sys.argv[3])), ("BL", "SETUP.EX_", 1033, b"MSCF")]
        write(sys.argv[2], *image(leaves))
        return
    out_dir, stub, packed = sys.argv[1:4]
    read = lambda path: open(path, "rb").read()
    files = crafted(read(stub), read(packed))
    for name, data in files.items():
        write("%s/%s" % (out_dir, name), data, len(data))
    # Sparse 7z archives at the 2 GiB limits: one of 2 GiB, and one that
    # with setup-x86-invoker.exe makes exactly the most that fits, so that
    # only the stub's resources and the alignment take the packed
    # resources past it.
    signature = b"7z\xbc\xaf\x27\x1c"
    write(out_dir + "/archive-2gib.7z", signature, 1 << 31)
    write(out_dir + "/archive-at-limit.7z", signature,
          (1 << 31) - 1 - len(files["setup-x86-invoker.exe"]))


if __name__ == "__main__":
    main()
