#pragma once

#include <cstdint>

class CommSession;

// The radio's identity, read over the link session.

// Size of the version-information record.
constexpr int kVersionInfoSize = 23;
// Offsets of its fields.
constexpr int kVersionFileFormat = 0; // 2 bytes: major, minor
constexpr int kVersionDsp = 2; // 3 bytes
constexpr int kVersionController = 5; // 3 bytes; byte 5 also selects the SEM step
constexpr int kVersionHardware = 8; // 3 bytes
constexpr int kVersionSerial = 11; // 8 bytes
constexpr int kVersionBoot = 19; // 2 bytes: major, minor
constexpr int kVersionSem = 21; // 2 bytes

// Result codes besides the link's 1, 2 and 4.
constexpr int kQueryBootMissing = 5; // no boot information, tolerated for the model code
constexpr int kQuerySemMissing = 8; // no SEM version (version query only)

// Fills the 23-byte version record step by step; the caller sets the
// session's receive-enable flag first. 1, 5 and 8 count as success. A field
// the radio answered with the negative reply is stored as zeros.
int QueryVersionInfo(CommSession& session, int targetModelCode, uint8_t* record, bool withSem);

// Reads the boot loader version: bootInfo[0] major, bootInfo[1] minor.
int QueryBootInfo(CommSession& session, int targetModelCode, uint8_t* bootInfo);
