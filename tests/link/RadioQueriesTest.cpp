#include <gtest/gtest.h>

#include <map>

#include "link/RadioQueries.h"
#include "tests/link/FakeLink.h"

using namespace linktest;

namespace {

// A radio played in process: answers each request code from a table, with
// the negative reply the first N times (negativeTimes), or not at all.
struct ScriptedRadio {
    std::map<uint16_t, Bytes> answers = {
        { 0x041C, { 0x04, 0x1D, 0x05, 0x08 } },
        { 0x040B, { 0x04, 0x0C, 0x01, 0x02, 0x03 } },
        { 0x0409, { 0x04, 0x0A, 0x02, 0x10, 0x00 } },
        { 0x0407, { 0x04, 0x08, 0x00, 0x01, 0x00 } },
        { 0x0404, { 0x04, 0x05, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70 } },
        { 0x042D, { 0x04, 0x2E, 0x06, 0x0A } },
        { 0x043E, { 0x04, 0x3F, 0x01, 0x07 } },
    };
    std::map<uint16_t, int> negativeTimes;
    std::vector<uint16_t> asked;

    std::function<void(const Bytes&)> Responder(const std::function<void(const Bytes&)>& feed)
    {
        return [this, feed](const Bytes& written) {
            if (written.size() < 6 || written[0] != 0xBA)
                return;
            uint16_t code = static_cast<uint16_t>(written[3] << 8 | written[4]);
            asked.push_back(code);
            if (negativeTimes[code]-- > 0)
                feed(RadioFrame({ 0x04, 0x20 }));
            else if (answers.count(code) != 0)
                feed(RadioFrame(answers[code]));
        };
    }
};

// The scripted radio on a direct link; the 4-second waits of the queries are
// cut to 80 ms so that silent steps stay quick.
struct QueryLink : DirectLink {
    ScriptedRadio radio;
    CappedWaitTimer capped { host.Timer(), 80 };

    QueryLink()
    {
        device->responder = radio.Responder([this](const Bytes& b) { device->Feed(b); });
        session.SetWaitTimer(&capped);
    }
};

} // namespace

// The full answer, model codes 2 and 5, controller byte 3 and negative
// replies are run against the simulated radio (RadioSimLinkTest); these are
// the failure paths that need a radio stopping at an exact step.
TEST(RadioQueries, VersionQueryStopsAtTheFailingStep)
{
    uint8_t record[kVersionInfoSize];
    // A silent early step ends the query with its link status; later fields
    // keep their content.
    {
        QueryLink link;
        link.radio.answers.erase(0x040B);
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 5, record, true), QueryResult::TimedOut);
        EXPECT_EQ(record[0], 0x05);
        EXPECT_EQ(record[2], 0xEE);
        EXPECT_EQ(record[21], 0xEE);
        EXPECT_EQ(link.radio.asked.size(), 2u);
    }
    // Model code 0 does not tolerate a missing boot answer: the link status,
    // the boot field untouched, the SEM field zeroed, no SEM request.
    // Without the SEM flag the query ends after the boot step.
    for (bool silentBoot : { true, false }) {
        QueryLink link;
        if (silentBoot)
            link.radio.answers.erase(0x042D);
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 0, record, silentBoot),
            silentBoot ? QueryResult::TimedOut : QueryResult::Ok);
        EXPECT_EQ(record[19], silentBoot ? 0xEE : 0x06);
        EXPECT_EQ(record[21], 0);
        EXPECT_EQ(link.radio.asked.back(), 0x042D);
    }
}

TEST(RadioQueries, BootQueryToleranceAndComponentRepetition)
{
    // (The full answer comes from the simulated radio in RadioSimLinkTest.)
    uint8_t boot[2];
    for (int model : { 1, 5, 7, 8, 0 }) {
        QueryLink link;
        link.radio.answers.erase(0x042D);
        boot[0] = boot[1] = 0xEE;
        const bool tolerated = model != 0;
        EXPECT_EQ(QueryBootInfo(link.session, model, boot),
            tolerated ? QueryResult::BootMissing : QueryResult::TimedOut)
            << model;
        EXPECT_EQ(Bytes(boot, boot + 2), tolerated ? Bytes(2, 0) : Bytes(2, 0xEE)) << model;
    }
    // Direct path: a negative reply is taken as an answer without data.
    {
        QueryLink link;
        link.radio.negativeTimes[0x042D] = 2;
        boot[0] = boot[1] = 0xEE;
        EXPECT_EQ(QueryBootInfo(link.session, 0, boot), QueryResult::Ok);
        EXPECT_EQ(boot[0], 0);
        EXPECT_EQ(link.radio.asked.size(), 1u);
    }
    // Component path, opened as for a radio behind the box: the request is
    // repeated while the radio refuses.
    CommSession session;
    SimpleLinkHost host(session);
    FakeComponent component;
    ScriptedRadio radio;
    radio.negativeTimes[0x042D] = 2;
    component.responder = radio.Responder([&](const Bytes& b) { component.Feed(b); });
    std::string message;
    ASSERT_TRUE(session.OpenComponentPort(&component, message));
    session.SetRepeatAfterNegative(true);
    session.SetFraming(CommSession::kFramingFramed);
    session.SetReceiveEnable(true);
    EXPECT_EQ(QueryBootInfo(session, 0, boot), QueryResult::Ok);
    EXPECT_EQ(boot[0], 0x06);
    EXPECT_EQ(boot[1], 0x0A);
    EXPECT_EQ(radio.asked.size(), 3u);
}
