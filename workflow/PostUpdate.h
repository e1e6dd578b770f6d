#pragma once

#include <cstdint>

class IUpdateHost;

// What follows a successful application download: the radio restarts on the
// new code (the link is back at 19200 bit/s) and either reports a normal
// start, updates the remote Pellar control heads of a mobile radio, or has
// its codeplug carried across to the parameter format the new code expects.

// Outcome of RunPostUpdate, turned into the final text and return code by
// the update sequences.
enum PostUpdateResult : int {
    // The restarted radio did not answer the codeplug-information request.
    kPostUpdateNoAnswer = 0,
    // The codeplug's or the new code's parameter format is older than 5.8 or
    // unknown; nothing was written.
    kPostUpdateFormatUnsupported = 1,
    // Nothing to do: normal start, control heads updated, or equal formats.
    kPostUpdateNothingToDo = 2,
    // The codeplug was converted and written back.
    kPostUpdateConverted = 3,
    // Reading the codeplug out failed, or the image read is not valid.
    kPostUpdateUploadFailed = 4,
    // Writing the converted codeplug back failed.
    kPostUpdateDownloadFailed = 5,
};

// Messages the radio sends after the restart.
inline constexpr uint8_t kRestartMessage[2] = { 0x07, 0x25 };
inline constexpr uint8_t kControlHeadMessage[2] = { 0x09, 0x03 };

// Timed-progress intervals and wait times of the restart and control-head
// waits (milliseconds).
inline constexpr int kRestartProgressMs = 200;
inline constexpr int kRestartWaitMs = 20000;
inline constexpr int kControlHeadProgressMs = 1080;
inline constexpr int kControlHeadWaitMs = 64000;

inline constexpr const char* kTextResettingRadio = "Resetting radio...";
inline constexpr const char* kTextUpdatingControlHead = "Updating Pellar control head...";
inline constexpr const char* kTextDuplicateControlHeads
    = "Corvel Code Updater has detected that multiple Pellar control heads\n"
      "with the same device address are attached to the upgraded mobile radio.\n"
      "The application code upgrade is complete, but please correct the addressing\n"
      "conflict so the Pellar control heads can be updated with current code.\n"
      "This will be done automatically when the radio is reset.";

// Follows the radio's restart. The link session is open on the radio.
PostUpdateResult RunPostUpdate(IUpdateHost& host);
