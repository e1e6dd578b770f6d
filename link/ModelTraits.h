#pragma once

#include <cstdint>

// Everything that differs from one radio model to the next, in one table.
//
// A model code is a small number that names a radio hardware kind. The
// release's attribute record gives the target's code; a connected radio's
// boot version gives its own. The code travels unchanged to the radio
// queries, the download engines, the target checks and the line opening,
// which all ask this table instead of testing codes. Adding a radio model is
// adding one row to the table in ModelTraits.cpp.

// The erase wait of every boot-code download, in ticks of 55 ms (about 1 s).
inline constexpr int kEraseTicksBootCode = 18;

// The erase wait after the loader: ticks and status text (null: no text).
struct EraseWait {
    int ticks;
    const char* text;
};

// Layout of the section headers in a DSP object file.
enum class DspLayout {
    Header40, // 40-byte section headers
    Header48, // 48-byte section headers
};

// The line rates: every link opens at the line rate; an update raises it.
inline constexpr int kLineBaudRate = 19200;
inline constexpr int kFastBaudRate = 115200;

struct ModelTraits {
    int code;
    // The version query accepts a radio that gives no boot information.
    bool versionBootOptional;
    // The boot query accepts a radio that gives no boot information.
    bool bootInfoOptional;
    // The radio may carry a SEM whose version the version query reads.
    bool semPresent;
    // The target and boot-version checks take the release's word for it
    // and do not ask the radio.
    bool skipsBootChecks;
    // The version panel shows the hardware revision the radio reports.
    bool showsHardwareRevision;
    // The flash loader reports the flash type, which must fit the release.
    bool checksFlashType;
    // The erase wait after the loader of an application download.
    EraseWait erase;
    DspLayout dspLayout;
    // The rate of an update behind the RS-485 box or on the direct 4600
    // path; the radio is told it even in version mode when it is the line
    // rate.
    int updateBaudRate;
};

// The row of a model code; a code without a row of its own gets the row of
// a radio with no optional features (that of code 2).
const ModelTraits& ModelTraitsOf(int modelCode);

// Model code of the radio a release is meant for.
//   family 0: series 4 -> 6, series 6 -> 0, other -> 4
//   family 1: platform flag 0 -> 1; else series 4 -> 7, series 6 -> 8, other -> 5
// (any family other than 1 counts as 0). The series is taken as a signed byte.
uint8_t TargetModelCodeOf(int family, int series, int platformFlag);

// Model code of a connected radio from the release's radio family (0 = 4400,
// anything else = 4600) and the radio's boot version; the same code space as
// the target model code of the release.
uint8_t RadioModelCodeOf(uint8_t family, uint8_t bootMajor, uint8_t bootMinor);
