#pragma once

#include <cstdint>

class CommSession;
class IUpdateHost;
namespace platform {
class IMessageBoxes;
}

// Checks made before any code is written into a radio: is the connected
// radio the kind the embedded release is meant for, and is its boot code
// current? They rest on the radio's boot information (major, minor), the
// attribute record of the release and, in the combined sequence, the radio's
// one-byte family answer.

// Status texts of the checks.
inline constexpr const char* kTextCheckTargetCommError
    = "Communication error while trying to check target radio.";
inline constexpr const char* kTextNoBootInfo = "No Boot Info.";
inline constexpr const char* kTextBootCurrent
    = "The boot version is current and does not need to be upgraded.";
inline constexpr const char* kTextBootMajorMismatch
    = "Error: the major boot versions of the radio and file are different.";
inline constexpr const char* kTextBootCommError
    = "Communication error while trying to retrieve boot version.";

// True when the update may go on: the radio's model code and series match the
// release, or the target skips the check (model codes 1, 4 and 5), or the
// radio gives no boot information. On a mismatch shows the series message,
// sets the status to "Idle" and the progress bar to 0.
bool CheckTargetRadio(IUpdateHost& host);

// True when a chosen boot upgrade should be performed: the radio's boot major
// version is that of one of the embedded boot sets and its minor differs.
// Sets UseBootTwo when the second boot set matches the radio.
bool CheckBootVersion(IUpdateHost& host);

// The boot check of the combined sequence, without a shortcut for any model
// code, plus the family request once the boot version is known. Returns
// needsBoot; the three flags are cleared on entry and at most one is set:
// the radio's boot major is neither embedded set's, the boot information
// could not be read, the radio is not of the release's family.
bool CheckBootForCombined(
    IUpdateHost& host, bool& majorMismatch, bool& commError, bool& familyMismatch);

// Asks the radio whether it is a portable. Returns true when it answered and
// its answer equals `expectPortable`; `mismatch` is set when it answered
// otherwise. No answer (or a malformed one) leaves both false.
bool QueryRadioFamily(CommSession& session, bool expectPortable, bool& mismatch);

// The series message box ("does not match the radio series"), shown in both
// modes.
void ShowSeriesMismatch(platform::IMessageBoxes& boxes, uint8_t family, int radioMajor);
