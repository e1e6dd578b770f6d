#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "link/CommSession.h"
#include "link/RadioQueries.h"
#include "link/SimpleEventLoop.h"
#include "tests/link/FakeLink.h"

using linktest::Bytes;
using linktest::FakeComponent;
using linktest::FakeDevice;
using linktest::RadioFrame;

namespace {

// A radio played in process: answers each request code from a table, with
// the negative reply, or not at all. The wait time of the queries is cut
// short through the timer's expiry so that silent steps stay quick.
struct ScriptedRadio {
    std::map<uint16_t, Bytes> answers; // request code -> reply payload
    std::set<uint16_t> negative;
    std::map<uint16_t, int> negativeTimes; // answer negatively the first N times
    std::vector<uint16_t> asked;

    void Answer(const Bytes& written, const std::function<void(const Bytes&)>& feed)
    {
        if (written.size() < 6 || written[0] != 0xBA) {
            return;
        }
        uint16_t code = static_cast<uint16_t>(written[3] << 8 | written[4]);
        asked.push_back(code);
        auto times = negativeTimes.find(code);
        if (negative.count(code) != 0 || (times != negativeTimes.end() && times->second-- > 0)) {
            feed(RadioFrame({ 0x04, 0x20 }));
            return;
        }
        auto it = answers.find(code);
        if (it != answers.end()) {
            feed(RadioFrame(it->second));
        }
    }

    static ScriptedRadio Full()
    {
        ScriptedRadio radio;
        radio.answers = {
            { 0x041C, { 0x04, 0x1D, 0x05, 0x08 } },
            { 0x040B, { 0x04, 0x0C, 0x01, 0x02, 0x03 } },
            { 0x0409, { 0x04, 0x0A, 0x02, 0x10, 0x00 } },
            { 0x0407, { 0x04, 0x08, 0x00, 0x01, 0x00 } },
            { 0x0404, { 0x04, 0x05, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70 } },
            { 0x042D, { 0x04, 0x2E, 0x06, 0x0A } },
            { 0x043E, { 0x04, 0x3F, 0x01, 0x07 } },
        };
        return radio;
    }
};

struct QueryLink {
    CommSession session;
    SimpleLinkHost host { session };
    FakeDevice* device = nullptr;
    ScriptedRadio radio;

    explicit QueryLink(ScriptedRadio script)
        : radio(std::move(script))
    {
        auto owned = std::make_unique<FakeDevice>();
        device = owned.get();
        device->responder = [this](const Bytes& w) {
            radio.Answer(w, [this](const Bytes& b) { device->Feed(b); });
        };
        session.AttachDevice(std::move(owned));
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
        // 4 s per silent step would make these tests slow: the timer fires
        // after 80 ms whatever interval the query arms.
        host.Timer().SetExpiryHandler([this] { session.SetReceiveEnable(false); });
        host.Loop().SetPumpHook([this] {
            if (host.Timer().Active() && host.Timer().Interval() == 4000 && !armed) {
                armed = true;
                host.Loop().PostDelayed(80, [this] {
                    armed = false;
                    if (host.Timer().Active()) {
                        host.Timer().Stop();
                        session.SetReceiveEnable(false);
                    }
                });
            }
        });
    }
    bool armed = false;
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
        ScriptedRadio radio = ScriptedRadio::Full();
        radio.answers.erase(0x040B);
        QueryLink link(radio);
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 5, record, true), kLinkTimedOut);
        EXPECT_EQ(record[0], 0x05);
        EXPECT_EQ(record[2], 0xEE);
        EXPECT_EQ(record[21], 0xEE);
        EXPECT_EQ(link.radio.asked.size(), 2u);
    }
    // Model code 0 does not tolerate a missing boot answer: the link status,
    // the boot field untouched, the SEM field zeroed, no SEM request.
    {
        ScriptedRadio radio = ScriptedRadio::Full();
        radio.answers.erase(0x042D);
        QueryLink link(radio);
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 0, record, true), kLinkTimedOut);
        EXPECT_EQ(record[19], 0xEE);
        EXPECT_EQ(record[21], 0);
        EXPECT_EQ(link.radio.asked.back(), 0x042D);
    }
    // Without the SEM flag the query ends after the boot step.
    {
        QueryLink link(ScriptedRadio::Full());
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 0, record, false), 1);
        EXPECT_EQ(record[19], 0x06);
        EXPECT_EQ(record[21], 0);
        EXPECT_EQ(link.radio.asked.back(), 0x042D);
    }
}

TEST(RadioQueries, BootQueryToleranceAndComponentRepetition)
{
    uint8_t boot[2] = { 0xEE, 0xEE };
    {
        QueryLink link(ScriptedRadio::Full());
        EXPECT_EQ(QueryBootInfo(link.session, 0, boot), 1);
        EXPECT_EQ(boot[0], 0x06);
        EXPECT_EQ(boot[1], 0x0A);
    }
    for (int model : { 1, 5, 7, 8, 0 }) {
        ScriptedRadio radio = ScriptedRadio::Full();
        radio.answers.erase(0x042D);
        QueryLink link(radio);
        boot[0] = boot[1] = 0xEE;
        int result = QueryBootInfo(link.session, model, boot);
        if (model == 0) {
            EXPECT_EQ(result, kLinkTimedOut);
            EXPECT_EQ(boot[0], 0xEE);
        } else {
            EXPECT_EQ(result, 5) << model;
            EXPECT_EQ(boot[0], 0);
            EXPECT_EQ(boot[1], 0);
        }
    }
    // Direct path: a negative reply is taken as an answer without data.
    {
        ScriptedRadio radio = ScriptedRadio::Full();
        radio.negativeTimes[0x042D] = 2;
        QueryLink link(radio);
        boot[0] = boot[1] = 0xEE;
        EXPECT_EQ(QueryBootInfo(link.session, 0, boot), 1);
        EXPECT_EQ(boot[0], 0);
        EXPECT_EQ(link.radio.asked.size(), 1u);
    }
    // Component path: the request is repeated while the radio refuses.
    {
        CommSession session;
        SimpleLinkHost host(session);
        FakeComponent component;
        ScriptedRadio radio = ScriptedRadio::Full();
        radio.negativeTimes[0x042D] = 2;
        component.responder
            = [&](const Bytes& w) { radio.Answer(w, [&](const Bytes& b) { component.Feed(b); }); };
        std::string message;
        ASSERT_TRUE(session.OpenComponentPort(&component, message));
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
        EXPECT_EQ(QueryBootInfo(session, 0, boot), 1);
        EXPECT_EQ(boot[0], 0x06);
        EXPECT_EQ(boot[1], 0x0A);
        EXPECT_EQ(radio.asked.size(), 3u);
    }
}
