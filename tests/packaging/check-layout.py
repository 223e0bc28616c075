#!/usr/bin/python3
"""A packed installer as an independent reader (Debian's python3-pefile)
sees it, against the stub and the inputs it was packed from:

- every resource of the stub is there with its bytes (the version block
  stamped when a file version was given), the payload resources hold the
  inputs' exact bytes, in language 1033, and nothing else is there;
- the payload's data starts on a page of the file, and so does the
  resource section;
- the checksum, the image size and the initialized-data size are right, and
  every other section is the stub's, byte for byte, where it was;
- the packer's own `inspect --json` tells the same and finds nothing wrong
  (the setup program included), and its `verify` finds exactly these inputs
  with these options.

  check-layout.py PACKED STUB PACKER --archive A --setup S [--setup-type T]
                  [--previous-version V] [--file-version V] [--signed]
                  [--stub-off-page]  (the stub's resources are not on a page)
"""
import argparse
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

import pefile

PAGE = 4096
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def resources(pe):
    """{(type, name, language): (file offset, bytes)}; names as text."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    key = lambda entry: str(entry.name) if entry.name is not None else entry.id
    for type_ in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in type_.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(key(type_), key(name), language.id)] = (
                    pe.get_offset_from_rva(data.OffsetToData),
                    pe.get_data(data.OffsetToData, data.Size))
    return found


def version_of(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return fixed, strings


def cabinet_holds(cabinet, setup):
    """gcab's cabinet as cabextract reads it: one file, setup.exe, the fixed
    time, the setup program's bytes."""
    with tempfile.NamedTemporaryFile(suffix=".cab") as file:
        file.write(cabinet)
        file.flush()
        listing = subprocess.run(["cabextract", "-l", file.name], capture_output=True, text=True).stdout
        entries = [line for line in listing.splitlines() if "|" in line and "File size" not in line]
        check(len(entries) == 1 and entries[0].endswith("| setup.exe"), "cabinet entries: %r" % entries)
        check(bool(entries) and "01.01.2000 00:00:00" in entries[0], "cabinet file time: %r" % entries)
        content = subprocess.run(["cabextract", "-q", "-p", "-F", "setup.exe", file.name],
                                 capture_output=True).stdout
        check(content == setup, "the cabinet's setup.exe is not the setup program")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("packed")
    parser.add_argument("stub")
    parser.add_argument("packer")
    parser.add_argument("--archive", required=True)
    parser.add_argument("--setup", required=True)
    parser.add_argument("--setup-type", default="BL")
    parser.add_argument("--previous-version")
    parser.add_argument("--file-version")
    parser.add_argument("--patched-setup")
    parser.add_argument("--signed", action="store_true")
    parser.add_argument("--stub-off-page", action="store_true")
    args = parser.parse_args()
    read = lambda path: open(path, "rb").read()
    packed, stub = pefile.PE(args.packed), pefile.PE(args.stub)
    raw, stub_raw = read(args.packed), read(args.stub)

    check(packed.verify_checksum(), "the checksum is not the file's")
    sections = {s.Name.rstrip(b"\0").decode(): s for s in packed.sections}
    stub_sections = {s.Name.rstrip(b"\0").decode(): s for s in stub.sections}
    check(list(sections) == list(stub_sections), "sections %s, the stub has %s" % (list(sections), list(stub_sections)))
    rsrc = sections[".rsrc"]
    if args.stub_off_page:
        stub_offset = stub_sections[".rsrc"].PointerToRawData
        check(stub_offset % PAGE != 0, "the stub's resources are on a page, at 0x%x" % stub_offset)
    check(rsrc.PointerToRawData % PAGE == 0, "the resource section starts at 0x%x" % rsrc.PointerToRawData)
    optional = packed.OPTIONAL_HEADER
    end = max(s.VirtualAddress + s.Misc_VirtualSize for s in packed.sections)
    check(optional.SizeOfImage == -(-end // optional.SectionAlignment) * optional.SectionAlignment,
          "SizeOfImage 0x%x for sections ending at 0x%x" % (optional.SizeOfImage, end))
    initialized = sum(s.SizeOfRawData for s in packed.sections if s.Characteristics & 0x40)
    check(optional.SizeOfInitializedData == initialized, "SizeOfInitializedData")
    last = max(s.PointerToRawData + s.SizeOfRawData for s in packed.sections)
    certificate = optional.DATA_DIRECTORY[4]
    check(len(raw) == (certificate.VirtualAddress + certificate.Size if args.signed else last),
          "the file is %d bytes, its sections end at %d" % (len(raw), last))
    check(bool(certificate.Size) == args.signed, "signature present: %s" % bool(certificate.Size))
    for name, section in sections.items():
        theirs = stub_sections[name]
        if name == ".rsrc":
            continue
        check(section.get_data() == theirs.get_data(), name + " holds other bytes than the stub's")
        if name != ".reloc":
            check((section.VirtualAddress, section.PointerToRawData) == (theirs.VirtualAddress, theirs.PointerToRawData),
                  name + " has moved")
    relocations = optional.DATA_DIRECTORY[5]
    check(relocations.VirtualAddress == sections[".reloc"].VirtualAddress, "the relocations are not where .reloc is")

    found, expected = resources(packed), {}
    for key, (_, data) in resources(stub).items():
        expected[key] = data
    archive, setup = read(args.archive), read(args.setup)
    setup_key = {"BL": ("BL", "SETUP.EX_"), "BN": ("BN", "SETUP.EXE"), "PATCH": ("B7", "SETUP.PATCH")}[args.setup_type]
    expected[("B7", "KORVEN.PACKED.7Z", 1033)] = archive
    if args.previous_version is not None:
        expected[(10, 1, 1033)] = (args.previous_version + "\0").encode("utf-16-le")
    started = read(args.patched_setup) if args.setup_type == "PATCH" else setup
    expected[(10, 2, 1033)] = struct.pack("<IIQ", 1, 0, len(started)) + hashlib.sha256(started).digest()
    payload = [("B7", "KORVEN.PACKED.7Z", 1033), setup_key + (1033,)]
    check(set(found) == set(expected) | {payload[1]}, "resources %s, expected %s" % (sorted(map(str, found)), sorted(map(str, expected))))
    for key in payload:
        check(found.get(key, (1, b""))[0] % PAGE == 0, "%s/%s starts at 0x%x" % (key[0], key[1], found.get(key, (0,))[0]))
    if args.setup_type == "BL":
        cabinet_holds(found.get(payload[1], (0, b""))[1], setup)
    else:
        check(found.get(payload[1], (0, b""))[1] == setup, "the setup resource is not the setup program")
    for key, data in expected.items():
        if key[0] == 16 and args.file_version:
            continue
        check(found.get(key, (0, None))[1] == data, "%s/%s/%s holds other bytes" % key)

    fixed, strings = version_of(packed)
    stub_fixed, stub_strings = version_of(stub)
    if args.file_version:
        numbers = [int(n) for n in args.file_version.split(".")] + [0] * 3
        ms, ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
        check((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) == (ms, ls, ms, ls),
              "the fixed version is not %s" % args.file_version)
        stub_strings.update(FileVersion=args.file_version, ProductVersion=args.file_version)
    check(strings == stub_strings, "version strings %s, expected %s" % (strings, stub_strings))

    report = json.loads(subprocess.run([args.packer, "inspect", "--json", args.packed],
                                       capture_output=True, text=True, check=True).stdout)
    check(report["checksum"]["valid"] and report["payload_page_aligned"] and report["signed"] == args.signed,
          "inspect: checksum %s, aligned %s, signed %s" % (report["checksum"], report["payload_page_aligned"], report["signed"]))
    check(report["setup_type"] == args.setup_type and report["previous_version"] == args.previous_version,
          "inspect: setup type %s, previous version %s" % (report["setup_type"], report["previous_version"]))
    check(report["problems"] == [], "inspect finds problems: %s" % report["problems"])
    program = report["setup_program"]
    if args.setup_type == "PATCH":
        check(program is None, "inspect reads a setup program from a patch: %s" % program)
    else:
        check(program is not None and program.get("machine") == "x64" and program.get("subsystem") == 2,
              "inspect's setup program: %s" % program)
    told = {(r["type"], r["name"], r["language"]): (r["offset"], r["size"], r["sha256"]) for r in report["resources"]}
    check(told == {k: (o, len(d), hashlib.sha256(d).hexdigest()) for k, (o, d) in found.items()},
          "inspect lists other resources than pefile finds")

    given = ["--setup-type", args.setup_type] + (["--previous-version", args.previous_version] if args.previous_version else [])
    given += ["--patched-setup", args.patched_setup] if args.patched_setup else []
    verified = subprocess.run([args.packer, "verify", args.packed, "--archive", args.archive, "--setup", args.setup] + given,
                              capture_output=True, text=True)
    check(verified.returncode == 0, "verify: %s" % verified.stderr.strip())
    whole = given + ["--stub", args.stub] + (["--file-version", args.file_version] if args.file_version else [])
    verified = subprocess.run([args.packer, "verify", args.packed, "--archive", args.archive, "--setup", args.setup] + whole,
                              capture_output=True, text=True)
    check(verified.returncode == 0, "verify --stub: %s" % verified.stderr.strip())

    for failure in failures:
        print("FAIL: " + failure)
    print("%s: %d passed, %d failed" % (os.path.basename(args.packed), 0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
