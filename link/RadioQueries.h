#pragma once

#include <cstdint>

#include "link/LinkMessage.h"

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

// Results of the two queries.
enum class QueryResult {
    Ok = 1, // everything asked was read
    CommProblem = 2, // the link's CommProblem
    TimedOut = 4, // the link's TimedOut (or Stop)
    BootMissing = 5, // no boot information, tolerated for the model code
    SemMissing = 8, // no SEM version (version query only)
};

// The link's result as a query result.
QueryResult QueryResultOf(LinkResult link);

// True when the version record holds what the radio could tell: everything,
// or everything but the fields the model may lack (Ok, BootMissing,
// SemMissing).
bool VersionInfoRead(QueryResult result);

// Fills the 23-byte version record step by step; the caller sets the
// session's receive-enable flag first. A field the radio answered with the
// negative reply is stored as zeros.
QueryResult QueryVersionInfo(
    CommSession& session, int targetModelCode, uint8_t* record, bool withSem);

// Reads the boot loader version: bootInfo[0] major, bootInfo[1] minor.
QueryResult QueryBootInfo(CommSession& session, int targetModelCode, uint8_t* bootInfo);
