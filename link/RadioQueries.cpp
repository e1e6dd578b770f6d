#include "link/RadioQueries.h"

#include <chrono>
#include <cstring>

#include "link/CommSession.h"
#include "link/MessageTable.h"
#include "link/ModelTraits.h"

namespace {

constexpr int kQueryWaitMs = 4000;

struct Answer {
    QueryResult status = QueryResult::Ok;
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
    answer.status = QueryResultOf(session.LinkStatus());
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

} // namespace

QueryResult QueryResultOf(LinkResult link)
{
    return link == LinkResult::ReplyReceived ? QueryResult::Ok
        : link == LinkResult::CommProblem    ? QueryResult::CommProblem
                                             : QueryResult::TimedOut;
}

bool VersionInfoRead(QueryResult result)
{
    return result == QueryResult::Ok || result == QueryResult::BootMissing
        || result == QueryResult::SemMissing;
}

QueryResult QueryVersionInfo(
    CommSession& session, int targetModelCode, uint8_t* record, bool withSem)
{
    const ModelTraits& model = ModelTraitsOf(targetModelCode);
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
        if (answer.status != QueryResult::Ok) {
            return answer.status;
        }
        StoreField(answer, record + step.offset, step.length);
    }

    // Boot information: some radios cannot give it; for those models a
    // missing answer is tolerated.
    QueryResult result = QueryResult::Ok;
    Answer boot = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
    if (boot.status == QueryResult::Ok) {
        StoreField(boot, record + kVersionBoot, 2);
    } else if (model.versionBootOptional) {
        record[kVersionBoot] = 0;
        record[kVersionBoot + 1] = 0;
        result = QueryResult::BootMissing;
    } else {
        result = boot.status;
    }

    record[kVersionSem] = 0;
    record[kVersionSem + 1] = 0;
    if (!withSem) {
        return result;
    }
    if ((result != QueryResult::Ok && result != QueryResult::BootMissing) || !model.semPresent) {
        return result;
    }
    // The controller version tells whether this radio has a SEM.
    const uint8_t controller = record[kVersionController];
    if (controller == 2 || controller == 4 || controller == 6) {
        LinkMessage request;
        MessageTable::BuildRequest(msg::kAskSemVersion, request);
        session.SendMessage(request);
        LinkMessage reply = session.ReceiveAny();
        if (session.LinkStatus() == LinkResult::ReplyReceived) {
            // Any frame ends this wait; one too short to hold the version
            // (the negative reply) leaves zeros.
            if (reply.count >= 4) {
                record[kVersionSem] = reply.data[2];
                record[kVersionSem + 1] = reply.data[3];
            }
        } else {
            result = QueryResult::SemMissing;
        }
    }
    return result;
}

QueryResult QueryBootInfo(CommSession& session, int targetModelCode, uint8_t* bootInfo)
{
    session.SetWaitTime(kQueryWaitMs);
    Answer answer = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
    if (session.RepeatsAfterNegative()) {
        // A radio that may refuse while it settles (behind the RS-485 box):
        // ask again, for at most one wait time of refusals in a row.
        const auto deadline
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryWaitMs);
        while (answer.negative && session.ReceiveEnabled()
            && std::chrono::steady_clock::now() < deadline) {
            answer = Ask(session, msg::kAskBootInfo, msg::kBootInfo);
        }
    }
    if (ModelTraitsOf(targetModelCode).bootInfoOptional) {
        if (answer.status == QueryResult::Ok) {
            StoreField(answer, bootInfo, 2);
            return QueryResult::Ok;
        }
        bootInfo[0] = 0;
        bootInfo[1] = 0;
        return QueryResult::BootMissing;
    }
    if (answer.status == QueryResult::Ok) {
        StoreField(answer, bootInfo, 2);
    }
    return answer.status;
}
