#include "workflow/TargetChecks.h"

#include "link/CommSession.h"
#include "link/LinkCallbacks.h"
#include "link/ModelTraits.h"
#include "link/RadioQueries.h"
#include "platform/MessageBox.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/ProductTitle.h"
#include "workflow/RunNotes.h"
#include "workflow/UpdateHost.h"

#include <optional>
#include <string>

namespace {

constexpr const char* kTextIdle = "Idle";

// Radio family request and its answer (not in the message table).
constexpr uint8_t kFamilyRequest[2] = { 0x04, 0x67 };
constexpr uint8_t kFamilyAnswer[2] = { 0x04, 0x68 };
constexpr int kFamilyWaitMs = 500;

} // namespace

void ShowSeriesMismatch(platform::IMessageBoxes& boxes, uint8_t family, int radioMajor)
{
    const std::string text
        = "This version of Corvel Code Updater does not match the radio series.\n"
          "Radio requires a "
        + FamilyText(family) + "_Series_" + std::to_string(radioMajor)
        + " version of Corvel Code Updater.";
    boxes.ShowMessage(kProductTitle, text, platform::MessageIcon::Error);
}

// The radio's boot information for the checks below; nothing when the
// target model has no boot checks (nothing is asked then).
static std::optional<QueryResult> QueryBootForCheck(IUpdateHost& host, uint8_t (&boot)[2])
{
    if (ModelTraitsOf(host.TargetModelCode()).skipsBootChecks) {
        return std::nullopt;
    }
    return QueryBootInfo(host.Session(), host.TargetModelCode(), boot);
}

bool CheckTargetRadio(IUpdateHost& host)
{
    uint8_t boot[2] = { 0, 0 };
    const std::optional<QueryResult> result = QueryBootForCheck(host, boot);
    if (!result) {
        return true;
    }
    if (result == QueryResult::Ok) {
        const ResourceAttributes& attributes = host.Attributes();
        const uint8_t radioCode = RadioModelCodeOf(attributes.RadioFamily, boot[0], boot[1]);
        // The series is a signed byte in the record.
        const int series = static_cast<int8_t>(attributes.SeriesNumber);
        if (radioCode == host.TargetModelCode() && (boot[0] == series || boot[0] == 7)) {
            return true;
        }
        ShowSeriesMismatch(host, attributes.RadioFamily, boot[0]);
        host.ShowStatusText(kTextIdle);
        host.ProgressBar().SetPosition(0);
        return false;
    }
    if (result == QueryResult::BootMissing) {
        host.ShowStatusText(kTextNoBootInfo);
        return true;
    }
    host.ShowStatusText(kTextCheckTargetCommError);
    return false;
}

bool CheckBootVersion(IUpdateHost& host)
{
    uint8_t boot[2] = { 0, 0 };
    const std::optional<QueryResult> query = QueryBootForCheck(host, boot);
    if (!query) {
        return true;
    }
    host.SetUseBootTwo(false);
    if (query != QueryResult::Ok) {
        host.ShowStatusText(kTextBootCommError);
        return false;
    }
    const ResourceAttributes& attributes = host.Attributes();
    bool result = true;
    if (boot[0] == attributes.BootMajor) {
        if (boot[1] == attributes.BootMinor) {
            host.ShowStatusText(kTextBootCurrent);
            result = false;
        }
    } else if (attributes.BootTwoMajor != 0 && boot[0] == attributes.BootTwoMajor) {
        if (boot[1] == attributes.BootTwoMinor) {
            host.ShowStatusText(kTextBootCurrent);
            result = false;
        }
        host.SetUseBootTwo(true);
    } else {
        host.ShowStatusText(kTextBootMajorMismatch);
        result = false;
    }
    return result;
}

bool CheckBootForCombined(
    IUpdateHost& host, bool& majorMismatch, bool& commError, bool& familyMismatch)
{
    uint8_t boot[2] = { 0, 0 };
    const QueryResult query = QueryBootInfo(host.Session(), host.TargetModelCode(), boot);
    bool needsBoot = true;
    host.SetUseBootTwo(false);
    majorMismatch = false;
    commError = false;
    familyMismatch = false;
    bool versionKnown = false;

    const ResourceAttributes& attributes = host.Attributes();
    RunNotes* notes = host.Notes();
    if (query == QueryResult::Ok) {
        if (notes != nullptr) {
            notes->bootBefore = VersionText(boot[0], boot[1]);
        }
        if (boot[0] == attributes.BootMajor) {
            needsBoot = boot[1] != attributes.BootMinor;
            versionKnown = true;
        } else if (attributes.BootTwoMajor != 0 && boot[0] == attributes.BootTwoMajor) {
            needsBoot = boot[1] != attributes.BootTwoMinor;
            host.SetUseBootTwo(true);
            versionKnown = true;
        } else {
            needsBoot = false;
            majorMismatch = true;
        }
    } else {
        needsBoot = false;
        commError = true;
    }

    if (versionKnown) {
        bool mismatch = false;
        const bool matched
            = QueryRadioFamily(host.Session(), attributes.RadioFamily == 0, mismatch);
        if (notes != nullptr && (matched || mismatch)) {
            notes->portable = (attributes.RadioFamily == 0) == matched;
        }
        if (!matched && mismatch) {
            familyMismatch = true;
            return false;
        }
        // A family request that timed out has cleared receive-enable; the
        // exchanges that follow must run all the same.
        host.Session().SetReceiveEnable(true);
    }
    return needsBoot;
}

bool QueryRadioFamily(CommSession& session, bool expectPortable, bool& mismatch)
{
    mismatch = false;
    bool matched = false;

    session.SetWaitTime(kFamilyWaitMs);
    LinkMessage request;
    request.count = 2;
    request.data[0] = kFamilyRequest[0];
    request.data[1] = kFamilyRequest[1];
    session.SendMessage(request);

    LinkMessage answer;
    if (session.ReceiveMessage(answer) == 1 && answer.count >= 3
        && answer.data[0] == kFamilyAnswer[0] && answer.data[1] == kFamilyAnswer[1]) {
        if (answer.data[2] == (expectPortable ? 1 : 0)) {
            matched = true;
        } else {
            mismatch = true;
        }
    }
    return matched;
}
