#include "link/RadioQueries.h"

#include <chrono>
#include <cstring>

#include "link/CommSession.h"
#include "link/MessageTable.h"

namespace {

constexpr int kQueryWaitMs = 4000;

struct Answer {
    int status = 0;
    bool negative = false; // the radio answered with message 51
    LinkMessage reply;
};

// Sends a request from the table and waits for its reply or the negative
// reply.
Answer Ask(CommSession& session, int request, int replyNumber)
{
    session.SendTableMessage(request);
    Answer answer;
    answer.reply = session.Exchange(MessageTable::CodeOf(replyNumber),
        MessageTable::ExpectedLength(replyNumber), MessageTable::CodeOf(msg::kQueryNegative),
        MessageTable::ExpectedLength(msg::kQueryNegative), &answer.negative);
    answer.status = session.LinkStatus();
    return answer;
}

// The data bytes of a reply into a field. A negative reply, or a line that
// closed before any reply, carries no answer: the field becomes zeros.
void StoreField(const Answer& answer, uint8_t* field, int length)
{
    if (!answer.negative && answer.reply.count == length + 2) {
        std::memcpy(field, answer.reply.data + 2, static_cast<size_t>(length));
    } else {
        std::memset(field, 0, static_cast<size_t>(length));
    }
}

bool OneOf(int value, std::initializer_list<int> set)
{
    for (int v : set) {
        if (v == value) {
            return true;
        }
    }
    return false;
}

} // namespace

int QueryVersionInfo(CommSession& session, int targetModelCode, uint8_t* record, bool withSem)
{
    struct Step {
        int request;
        int reply;
        int offset;
        int length;
    };
    static constexpr Step kSteps[] = {
        { msg::kAskFileFormatVersion, msg::kFileFormatVersion, kVersionFileFormat, 2 },
        { msg::kAskDspVersion, msg::kDspVersion, kVersionDsp, 3 },
        { msg::kAskControllerVersion, msg::kControllerVersion, kVersionController, 3 },
        { msg::kAskHardwareRevision, msg::kHardwareRevision, kVersionHardware, 3 },
        { msg::kAskSerialNumber, msg::kSerialNumber, kVersionSerial, 8 },
    };

    session.SetWaitTime(kQueryWaitMs);
    for (const Step& step : kSteps) {
        Answer answer = Ask(session, step.request, step.reply);
        if (answer.status != kLinkReplyReceived) {
            return answer.status;
        }
        StoreField(answer, record + step.offset, step.length);
    }

    // Boot information: some radios cannot give it; for those model codes a
    // missing answer is tolerated.
    int result = kLinkReplyReceived;
    Answer boot = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
    if (boot.status == kLinkReplyReceived) {
        StoreField(boot, record + kVersionBoot, 2);
    } else if (OneOf(targetModelCode, { 1, 5, 7 })) {
        record[kVersionBoot] = 0;
        record[kVersionBoot + 1] = 0;
        result = kQueryBootMissing;
    } else {
        result = boot.status;
    }

    record[kVersionSem] = 0;
    record[kVersionSem + 1] = 0;
    if (!withSem) {
        return result;
    }
    if ((result != kLinkReplyReceived && result != kQueryBootMissing)
        || !OneOf(targetModelCode, { 0, 1, 4, 5, 6, 7, 8 })) {
        return result;
    }
    if (OneOf(record[kVersionController], { 2, 4, 6 })) {
        LinkMessage request;
        MessageTable::BuildRequest(msg::kAskSemVersion, request);
        session.SendMessage(request);
        LinkMessage reply = session.ReceiveAny();
        if (session.LinkStatus() == kLinkReplyReceived) {
            // Any frame ends this wait; one too short to hold the version
            // (the negative reply) leaves zeros.
            if (reply.count >= 4) {
                record[kVersionSem] = reply.data[2];
                record[kVersionSem + 1] = reply.data[3];
            }
        } else {
            result = kQuerySemMissing;
        }
    }
    return result;
}

int QueryBootInfo(CommSession& session, int targetModelCode, uint8_t* bootInfo)
{
    session.SetWaitTime(kQueryWaitMs);
    Answer answer = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
    if (session.UsesComponent()) {
        // Behind the RS-485 box the radio may refuse while it settles: ask
        // again, for at most one wait time of refusals in a row.
        const auto deadline
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryWaitMs);
        while (answer.negative && session.ReceiveEnabled()
            && std::chrono::steady_clock::now() < deadline) {
            answer = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
        }
    }
    if (OneOf(targetModelCode, { 1, 5, 7, 8 })) {
        if (answer.status == kLinkReplyReceived) {
            StoreField(answer, bootInfo, 2);
            return kLinkReplyReceived;
        }
        bootInfo[0] = 0;
        bootInfo[1] = 0;
        return kQueryBootMissing;
    }
    if (answer.status == kLinkReplyReceived) {
        StoreField(answer, bootInfo, 2);
    }
    return answer.status;
}
