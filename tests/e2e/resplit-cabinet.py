#!/usr/bin/env python3
"""Writes the cabinet CABINET holds again with its data blocks split
differently: a short first block, then blocks of 32 KiB, each a deflate
stream that refers back into the blocks before it, as the format allows.

A reader that keeps the history of the whole folder expands it to the same
file; a cabinet library that keeps its window by block position, and not by
stream, writes other bytes of the same size after the short block.

usage: resplit-cabinet.py CABINET OUTPUT [FIRST_BLOCK_SIZE]
"""
import struct
import sys
import zlib

BLOCK = 32768


def expand(cabinet):
    files_at = struct.unpack_from("<I", cabinet, 16)[0]
    first_block, blocks = struct.unpack_from("<IH", cabinet, 36)
    at, history, out = first_block, b"", bytearray()
    for _ in range(blocks):
        packed, unpacked = struct.unpack_from("<HH", cabinet, at + 4)
        data = cabinet[at + 8 + 2:at + 8 + packed]  # past "CK"
        inflater = zlib.decompressobj(-15, zdict=history) if history else zlib.decompressobj(-15)
        chunk = inflater.decompress(data) + inflater.flush()
        assert len(chunk) == unpacked
        out += chunk
        history = bytes(out[-BLOCK:])
        at += 8 + packed
    return files_at, first_block, bytes(out)


def checksum(data, seed=0):
    total = seed
    whole = len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        total ^= word
    tail = 0
    for byte in data[whole:]:
        tail = tail << 8 | byte
    return total ^ tail


def main():
    cabinet = open(sys.argv[1], "rb").read()
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    files_at, first_block, program = expand(cabinet)
    pieces = [program[:first]] + [program[i:i + BLOCK] for i in range(first, len(program), BLOCK)]
    blocks, done = bytearray(), 0
    for piece in pieces:
        history = program[max(0, done - BLOCK):done]
        deflater = zlib.compressobj(9, zlib.DEFLATED, -15, zdict=history) if history else \
            zlib.compressobj(9, zlib.DEFLATED, -15)
        data = b"CK" + deflater.compress(piece) + deflater.flush()
        sizes = struct.pack("<HH", len(data), len(piece))
        blocks += struct.pack("<I", checksum(sizes, checksum(data))) + sizes + data
        done += len(piece)
    head = bytearray(cabinet[:first_block])
    struct.pack_into("<I", head, 8, len(head) + len(blocks))
    struct.pack_into("<H", head, 36 + 4, len(pieces))
    open(sys.argv[2], "wb").write(bytes(head) + bytes(blocks))


if __name__ == "__main__":
    main()
