#!/usr/bin/python3
"""The packer against what the installer really reads.

- Files that an earlier verify passed ("carries exactly ...") and that do
  not install, each made again from a packed installer by one change:
  verify given the stub refuses every one and names a byte range, and
  passes the untouched file.
- Pack publishes nothing from a stub whose resource type is in lower case,
  which the loader's lookup never finds.
- Files that install and that inspect once said the installer would
  refuse, or found wrong: inspect no longer says so, and extract takes the
  language the loader takes.

usage: installer-view.py PACKER STUB PACKED WORK -- VERIFY-OPTIONS...
"""
import os
import re
import struct
import subprocess
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import craft  # noqa: E402


def fields(packed):
    pe = pefile.PE(data=packed, fast_load=True)
    optional = pe.OPTIONAL_HEADER.get_file_offset()
    directories = optional + 112
    rsrc = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    return optional, directories, rsrc.get_file_offset(), text.get_file_offset(), rsrc


def mutants(packed):
    optional, directories, rsrc, text, section = fields(packed)

    def put(offset, fmt, value):
        data = bytearray(packed)
        struct.pack_into(fmt, data, offset, value)
        return bytes(data)

    def get(offset, fmt):
        return struct.unpack_from(fmt, packed, offset)[0]

    lower = bytearray(packed)
    at = packed.index(b"\x02\x00B\x00L\x00", section.PointerToRawData)
    lower[at + 2:at + 6] = "bl".encode("utf-16-le")
    return [
        ("lower-case resource type", bytes(lower)),
        ("resource directory size 0", put(directories + 8 * 2 + 4, "<I", 0)),
        (".rsrc PointerToRawData + 1", put(rsrc + 20, "<I", get(rsrc + 20, "<I") + 1)),
        (".rsrc VirtualSize below its data", put(rsrc + 8, "<I", get(rsrc + 8, "<I") - 0x1000)),
        (".rsrc Characteristics 0", put(rsrc + 36, "<I", 0)),
        ("entry point", put(optional + 16, "<I", get(optional + 16, "<I") + 1)),
        ("ImageBase", put(optional + 24, "<Q", get(optional + 24, "<Q") + 0x10000)),
        ("stack reserve", put(optional + 72, "<Q", 0x1000)),
        ("stack commit", put(optional + 80, "<Q", get(optional + 72, "<Q") * 2)),
        ("import directory", put(directories + 8, "<I", get(directories + 8, "<I") + 8)),
        ("load configuration directory", put(directories + 8 * 10 + 4, "<I", 0)),
        (".text PointerToRawData", put(text + 20, "<I", get(text + 20, "<I") + 0x200)),
    ]


def run(*command):
    return subprocess.run(command, capture_output=True, text=True)


def main():
    packer, stub, packed_path, work = sys.argv[1:5]
    options = sys.argv[6:]
    os.makedirs(work, exist_ok=True)
    packed = open(packed_path, "rb").read()
    failures = []
    untouched = run(packer, "verify", packed_path, "--stub", stub, *options)
    if untouched.returncode != 0:
        failures.append("the untouched file: %s" % untouched.stderr.strip())
    for name, data in mutants(packed):
        path = os.path.join(work, re.sub(r"[^a-z0-9]+", "-", name.lower()) + ".exe")
        open(path, "wb").write(data)
        result = run(packer, "verify", path, "--stub", stub, *options)
        if result.returncode != 1 or not re.search(r"in .* \(bytes \d+ to \d+\)", result.stderr):
            failures.append("%s: exit %d, %s" % (name, result.returncode, result.stderr.strip()))

    # A stub whose own resource type is in lower case: refused, nothing
    # written.
    lower_stub = os.path.join(work, "stub-lower-case-type.exe")
    data, size = craft.image([("Mine", "X", 1033, b"data")])
    open(lower_stub, "wb").write(data.ljust(size, b"\0"))
    output = os.path.join(work, "from-lower-case-stub.exe")
    archive = options[options.index("--archive") + 1]
    setup = options[options.index("--setup") + 1]
    result = run(packer, "pack", "--stub", lower_stub, "--archive", archive, "--setup", setup,
                 "--output", output)
    if result.returncode != 3 or "lower-case" not in result.stderr or os.path.exists(output):
        failures.append("pack from a lower-case type: exit %d, %s" % (result.returncode, result.stderr.strip()))

    # Files that install: a second language of the archive (the loader
    # takes the user's, 1033 here and 1031 on a German machine), a number
    # under B7 and an empty BL entry (each ends its type's scan quietly).
    cabinet = b"MSCF" + bytes(60)
    both = [("B7", "KORVEN.PACKED.7Z", 1031, b"7z-german"), ("B7", "KORVEN.PACKED.7Z", 1033, b"7z-english"),
            ("BL", "SETUP.EX_", 1033, cabinet)]
    installs = {
        "second-language": both,
        "number-under-b7": [("B7", "KORVEN.PACKED.7Z", 1033, b"7z"), ("B7", 1, 1033, b"x"), ("BL", "SETUP.EX_", 1033, cabinet)],
        "empty-bl-entry": [("B7", "KORVEN.PACKED.7Z", 1033, b"7z"), ("BL", "SETUP.EX_", 1033, cabinet), ("BL", "SETUPX", 1033, b"")],
    }
    for name, leaves in installs.items():
        path = os.path.join(work, name + ".exe")
        data, size = craft.image(leaves)
        open(path, "wb").write(data.ljust(size, b"\0"))
        shown = run(packer, "inspect", path)
        if shown.returncode != 0 or "would refuse" in shown.stdout:
            failures.append("inspect of %s: exit %d, %s" % (name, shown.returncode, shown.stdout + shown.stderr))
    # Raw fields the loader rounds: the resource section's PointerToRawData
    # one past its 512-byte boundary, its SizeOfRawData short of its data
    # but not of the file alignment that rounds it. They install, and
    # inspect finds nothing wrong.
    _, _, rsrc, _, section = fields(packed)
    for name, at, value in (("rounded-pointer", 20, section.PointerToRawData + 1),
                            ("rounded-size", 16, section.SizeOfRawData - 0x1D4)):
        data = bytearray(packed)
        struct.pack_into("<I", data, rsrc + at, value)
        image = pefile.PE(data=bytes(data))
        image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
        path = os.path.join(work, name + ".exe")
        image.write(path)
        shown = run(packer, "inspect", path)
        if shown.returncode != 0 or "problems: none found" not in shown.stdout:
            failures.append("inspect of %s: exit %d, %s" % (name, shown.returncode, shown.stdout + shown.stderr))
    path = os.path.join(work, "second-language.exe")
    shown = run(packer, "inspect", path).stdout
    if "depends on the machine: B7/KORVEN.PACKED.7Z has languages 1031, 1033" not in shown:
        failures.append("inspect does not say the archive depends on the machine's language")
    for language, wanted in ((None, b"7z-english"), ("1031", b"7z-german"), ("1036", b"7z-english")):
        out = os.path.join(work, "archive-%s" % language)
        given = ["--language", language] if language else []
        result = run(packer, "extract", path, "B7", "KORVEN.PACKED.7Z", "--output", out, *given)
        if result.returncode != 0 or open(out, "rb").read() != wanted:
            failures.append("extract for language %s: %s" % (language, result.stderr.strip()))

    for failure in failures:
        print("FAIL: " + failure)
    total = len(mutants(packed)) + 2 + len(installs) + 6
    print("%d passed, %d failed" % (total - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
