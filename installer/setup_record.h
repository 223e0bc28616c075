// The packer's record of the setup program it packed: RT_RCDATA 2, 48
// bytes, all little-endian: the format (1), four zero bytes, the program's
// size in 64 bits, and its SHA-256. For a patch it is the program the
// patch must make. The run starts only a program that has this digest.
#pragma once

#include <windows.h>

#include "content_digest.h"

constexpr WORD kSetupRecordId = 2;
constexpr DWORD kSetupRecordSize = 48;
constexpr uint32_t kSetupRecordFormat = 1;

// The recorded digest of the module's setup program; not known, with
// ERROR_RESOURCE_NAME_NOT_FOUND when the module carries no record and
// ERROR_INVALID_DATA when it carries something else in its place.
ContentDigest ReadSetupRecord(HMODULE module);

// The record as the packer writes it, for tests that build an installer
// without the packer.
void MakeSetupRecord(const ContentDigest& program,
                     unsigned char (&record)[kSetupRecordSize]);
