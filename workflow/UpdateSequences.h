#pragma once

class IUpdateHost;

// The two update sequences. Both drive one connected radio from the chosen
// port to the finished update: claim the port, check the radio, extract the
// embedded firmware set, download it, and after a successful application
// download follow the radio's restart. The caller releases the port
// afterwards.

// Step texts.
inline constexpr const char* kTextIdle = "Idle";
inline constexpr const char* kTextExtracting = "Extracting embedded files...";
inline constexpr const char* kTextCheckingTarget = "Checking target radio...";
inline constexpr const char* kTextDone = "Done.";
inline constexpr const char* kTextUploadError = "An error occurred while uploading the codeplug.";
inline constexpr const char* kTextDownloadError
    = "An error occurred while downloading the codeplug.";
inline constexpr const char* kTextNotResponding = "The radio is no longer responding.";

// Message boxes (caption "Corvel Code Updater").
inline constexpr const char* kTextConversionNotSupported
    = "Corvel Code updaters do not support a file format conversion for your\n"
      "radio.  To clear the Bad File Format error, please perform a parms\n"
      "upload and then download using PCOutfit.  If you do not\n"
      "have PCOutfit, then contact your local dealer for assistance.";
inline constexpr const char* kTextProcessor416
    = "This version of Corvel Code Updater is meant for Series 1 radios with 416\n"
      "processors.  Please acquire the updater for Series 1 radios with 816 processors.";
inline constexpr const char* kTextProcessor816
    = "This version of Corvel Code Updater is meant for Series 1 radios with 816\n"
      "processors.  Please acquire the updater for Series 1 radios with 416 processors.";
inline constexpr const char* kTextBootUpgraded
    = "Corvel Code Updater has detected that the connected radio did not\n"
      "have the latest bootload code version.  This has been automatically\n"
      "updated.  Please place the radio back into bootload mode to continue\n"
      "with the application code upgrade.\n\nPress OK once the radio is ready.";
inline constexpr const char* kTextWrongFamilyPortable
    = "This Corvel Code Updater is intended for a portable radio, and\n"
      "cannot be used with the connected mobile radio.";
inline constexpr const char* kTextWrongFamilyMobile
    = "This Corvel Code Updater is intended for a mobile radio, and\n"
      "cannot be used with the connected portable radio.";

// Process return codes.
inline constexpr int kReturnSuccess = 0;
inline constexpr int kReturnBootUpgraded = 1;
inline constexpr int kReturnGeneralError = 2;

// One upgrade of the kind the release or the user selects (application,
// boot or DSP code); window use only. Leaves its outcome in the status text
// and message boxes; true when the update went through (the code was written
// and, after application code, the post-update sequence succeeded).
bool RunSelectedUpdate(IUpdateHost& host, bool bootChosen);

// Brings the boot code up to date when the radio needs it, then updates the
// application code. The console job, and window use for releases with the
// combined-update flag. Leaves its outcome in the status (window) or the
// console, and in the process return code; true when the run went through
// (return code 0, or 1 in console use: the boot code was written).
bool RunCombinedUpdate(IUpdateHost& host);

// Final text and return code of a post-update result.
const char* PostUpdateText(int postUpdateResult);
int PostUpdateReturnCode(int postUpdateResult);
