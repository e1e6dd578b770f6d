#include "workflow/PostUpdate.h"

#include "link/CommSession.h"
#include "link/LinkMessage.h"
#include "platform/MessageBox.h"
#include "workflow/CodeplugCarryOver.h"
#include "workflow/ProductTitle.h"
#include "workflow/UpdateHost.h"

#include <string>

namespace {

bool StartsWith(const LinkMessage& message, const uint8_t (&code)[2])
{
    return message.data[0] == code[0] && message.data[1] == code[1];
}

// One timed wait for the radio's next message. The record is cleared first,
// so that nothing received reads as 0x00 0x00.
void AwaitRadioMessage(
    IUpdateHost& host, LinkMessage& record, int progressMs, int waitMs, const char* text)
{
    host.StartTimedProgress(progressMs);
    record = LinkMessage {};
    ReportText(host, text);
    CommSession& session = host.Session();
    session.SetWaitTime(waitMs);
    session.SetReceiveEnable(true);
    session.ReceiveMessage(record);
    host.StopTimedProgress();
}

} // namespace

PostUpdateResult RunPostUpdate(IUpdateHost& host)
{
    LinkMessage record;
    AwaitRadioMessage(host, record, kRestartProgressMs, kRestartWaitMs, kTextResettingRadio);

    if (StartsWith(record, kRestartMessage)) {
        return kPostUpdateNothingToDo;
    }
    if (StartsWith(record, kControlHeadMessage)) {
        // Byte 3 flags control heads that share one device address.
        if (record.count > 3 && record.data[3] != 0) {
            host.ShowMessage(
                kProductTitle, kTextDuplicateControlHeads, platform::MessageIcon::Error);
            return kPostUpdateNothingToDo;
        }
        // One message per control head being updated; the radio reports
        // each, and falls silent (or says something else) when done.
        while (StartsWith(record, kControlHeadMessage)) {
            AwaitRadioMessage(
                host, record, kControlHeadProgressMs, kControlHeadWaitMs, kTextUpdatingControlHead);
        }
        return kPostUpdateNothingToDo;
    }
    // Neither message: the codeplug is carried across to the new code.
    return CarryCodeplugOver(host);
}
