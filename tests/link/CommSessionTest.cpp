#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "link/LinkTrace.h"
#include "link/MessageTable.h"
#include "tests/link/FakeLink.h"
#include "tests/support/TestSupport.h"

using namespace linktest;
using testsupport::Hex;

TEST(LinkFraming, FramesAndEscapesOutgoingMessages)
{
    DirectLink link;
    auto& writes = link.device->writes;

    // 0xBA, 0x7E and 0x10 in the data and in checksums (0x10, 0xBA) go out
    // escaped; a missing data pointer sends no data bytes.
    const uint8_t data[] = { 0xBA, 0x7E, 0x10, 0x11 };
    link.session.SendCode2(0x04, 0x1C, nullptr, 0);
    link.session.SendCode2(0x02, 0x09, data, 4);
    link.session.SendCode2(0x04, 0x6C, nullptr, 0);
    link.session.SendCode1(0xC6, nullptr, 5);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(Hex(writes[0]), "BA 7F 01 04 1C 60 7E");
    EXPECT_EQ(Hex(writes[1]), "BA 7F 01 02 09 10 00 10 01 10 02 11 1C 7E");
    EXPECT_EQ(Hex(writes[2]), "BA 7F 01 04 6C 10 02 7E");
    EXPECT_EQ(Hex(writes[3]), "BA 7F 01 C6 10 00 7E");

    // Raw mode sends the bytes as they are.
    link.session.SetFraming(CommSession::kFramingRaw);
    LinkMessage raw;
    raw.count = 3;
    std::memcpy(raw.data, "\xBA\x10\x7E", 3);
    EXPECT_EQ(link.session.SendMessage(raw), 3);
    EXPECT_EQ(writes[4], (Bytes { 0xBA, 0x10, 0x7E }));

    // A message longer than the buffer is refused, not overrun.
    std::vector<uint8_t> big(2000, 0x55);
    EXPECT_EQ(link.session.SendCode2(0x02, 0x09, big.data(), 2000), -1);
    EXPECT_EQ(writes.size(), 5u);
}

TEST(LinkFraming, ReceivesValidFramesAndDropsBrokenOnes)
{
    DirectLink link;
    auto feed = [&](const Bytes& bytes) { link.device->Feed(bytes); };
    auto next = [&] {
        LinkMessage reply;
        EXPECT_EQ(link.session.ReceiveMessage(reply), 1);
        return Payload(reply);
    };

    // Garbage between frames, then a bad checksum, then a good frame.
    Bytes bad = RadioFrame({ 0x04, 0x1D, 0x05, 0x08 });
    bad[bad.size() - 2] ^= 0x01;
    feed({ 0x00, 0x33 });
    feed(bad);
    feed(RadioFrame({ 0x04, 0x1D, 0x05, 0x09 }));
    EXPECT_EQ(next(), (Bytes { 0x04, 0x1D, 0x05, 0x09 }));

    // Every escape comes back; a frame of exactly 1024 raw bytes is accepted
    // (1021 + 2 header bytes + checksum).
    Bytes escaped { 0x02, 0x09, 0xBA, 0x7E, 0x10, 0x00, 0x01, 0x02 };
    feed(RadioFrame(escaped));
    EXPECT_EQ(next(), escaped);
    feed(RadioFrame(Bytes(1021, 0x41)));
    EXPECT_EQ(next(), Bytes(1021, 0x41));

    // A start byte inside a frame drops the partial frame.
    feed({ 0xBA, 0x01, 0x7F, 0x04, 0x0A });
    feed(RadioFrame({ 0x04, 0x0C, 0x07, 0x08, 0x09 }));
    EXPECT_EQ(next(), (Bytes { 0x04, 0x0C, 0x07, 0x08, 0x09 }));

    // A wrong second header byte is never processed; its bytes wait for the
    // next start byte.
    feed(RadioFrame({ 0x04, 0x2E, 0x06, 0x0A }, 0x7F, 0x01));
    feed(RadioFrame({ 0x04, 0x2E, 0x06, 0x0B }));
    EXPECT_EQ(next(), (Bytes { 0x04, 0x2E, 0x06, 0x0B }));

    // Unknown escapes and an escape right before the end byte invalidate the
    // frame like a bad checksum (checksums chosen so the sum would be 0).
    feed({ 0xBA, 0x01, 0x7F, 0x04, 0x10, 0x03, 0x79, 0x7E });
    feed({ 0xBA, 0x01, 0x7F, 0x04, 0x7C, 0x10, 0x7E });
    feed({ 0xBA, 0x01, 0x7F, 0x05, 0x7B, 0x7E });
    EXPECT_EQ(next(), (Bytes { 0x05 }));

    // A frame over 1024 raw bytes is dropped, even with a good checksum, and
    // the receiver picks up the next frame.
    feed(RadioFrame(Bytes(1022, 0x41)));
    feed(RadioFrame({ 0x02, 0x07 }));
    EXPECT_EQ(next(), (Bytes { 0x02, 0x07 }));
    EXPECT_EQ(link.device->Pending(), 0u);
}

TEST(LinkExchange, MatchesCodeAndLength)
{
    DirectLink link;
    bool alternative = true;
    auto feed = [&](const Bytes& payload) { link.device->Feed(RadioFrame(payload)); };
    auto exchange = [&](LinkCode code, int length, LinkCode other, int otherLength) {
        return Payload(link.session.Exchange(code, length, other, otherLength, &alternative));
    };

    // Second code byte wrong, right code with the wrong length, then the
    // expected reply.
    feed({ 0x04, 0x2F, 0x06, 0x0A });
    feed({ 0x04, 0x2E, 0x06 });
    feed({ 0x04, 0x2E, 0x06, 0x0A });
    EXPECT_EQ(exchange(LinkCode(0x04, 0x2E), 4, LinkCode(0x04, 0x20), 2),
        (Bytes { 0x04, 0x2E, 0x06, 0x0A }));
    EXPECT_FALSE(alternative);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::ReplyReceived);
    EXPECT_EQ(link.device->Pending(), 0u);
    feed({ 0x04, 0x20 });
    EXPECT_EQ(exchange(LinkCode(0x04, 0x2E), 4, LinkCode(0x04, 0x20), 2), (Bytes { 0x04, 0x20 }));
    EXPECT_TRUE(alternative);

    // One-byte codes compare the first payload byte only.
    feed({ 0x07, 0x99, 0x01 });
    EXPECT_EQ(
        exchange(LinkCode::One(0x07), 3, LinkCode::One(0x08), 3), (Bytes { 0x07, 0x99, 0x01 }));
    EXPECT_FALSE(alternative);

    // Two replies taken from the line in one read: the second waits for the
    // next receive; a new line starts empty.
    link.device->readChunk = 64;
    feed({ 0x02, 0x07 });
    feed({ 0x02, 0x02, 0x12, 0x34 });
    EXPECT_EQ(exchange(LinkCode(0x02, 0x07), 2, LinkCode(0x02, 0x0A), 2), (Bytes { 0x02, 0x07 }));
    EXPECT_EQ(link.device->Pending(), 0u);
    EXPECT_EQ(exchange(LinkCode(0x02, 0x02), 4, LinkCode(0x02, 0x0A), 2),
        (Bytes { 0x02, 0x02, 0x12, 0x34 }));
    feed({ 0x02, 0x07 });
    feed({ 0x02, 0x05 });
    LinkMessage reply;
    ASSERT_EQ(link.session.ReceiveMessage(reply), 1);
    EXPECT_EQ(link.device->Pending(), 0u); // the second frame is in the session
    link.session.Close();
    auto fresh = std::make_unique<FakeDevice>();
    link.device = fresh.get();
    link.session.AttachDevice(std::move(fresh));
    link.session.SetReceiveEnable(true);
    EXPECT_EQ(link.session.ReceiveMessage(reply), -1);
    link.session.SetReceiveEnable(true);

    // ReceiveAny takes whatever comes first; unexpected replies to an
    // Exchange are dropped until the time-out, which leaves count 0.
    feed({ 0x55, 0x66 });
    EXPECT_EQ(Payload(link.session.ReceiveAny()), (Bytes { 0x55, 0x66 }));
    feed({ 0x55, 0x66 });
    reply = link.session.Exchange(LinkCode(0x02, 0x07), 2, LinkCode(0x02, 0x0A), 2);
    EXPECT_EQ(reply.count, 0);
    EXPECT_EQ(reply.data[0], 0);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::TimedOut);
}

TEST(LinkWaits, TimeOutStopAndTheReceiveEnableLatch)
{
    DirectLink link(150);
    auto& loop = link.host.Loop();

    // Silence: the timer ends the wait, not the loop spinning on its own.
    auto exchange = [&] {
        return link.session.Exchange(LinkCode(0x04, 0x0A), 5, LinkCode(0x04, 0x20), 2).count;
    };
    auto start = Clock::now();
    EXPECT_EQ(exchange(), 0);
    long waited = ElapsedMs(start);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::TimedOut);
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 1500);
    EXPECT_FALSE(link.host.Timer().Active());
    EXPECT_EQ(link.host.Timer().Interval(), 150);
    // Idle passes sleep on the pump rather than polling the line flat out.
    EXPECT_LT(link.device->charReadyCalls, 100);

    // After a time-out every wait returns at once until the flag is set again.
    long pumps = loop.PumpCount();
    EXPECT_EQ(exchange(), 0);
    EXPECT_EQ(loop.PumpCount(), pumps);
    LinkMessage untouched;
    untouched.count = 7;
    EXPECT_EQ(link.session.ReceiveMessage(untouched), -1);
    EXPECT_EQ(untouched.count, 7);

    // Stop (a window event clearing the flag) ends a long wait early.
    link.session.SetWaitTime(5000);
    link.session.SetReceiveEnable(true);
    loop.PostDelayed(60, [&] { link.session.SetReceiveEnable(false); });
    start = Clock::now();
    EXPECT_EQ(link.session.ReceiveAny().count, 0);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::TimedOut);

    // A reply that trickles in byte by byte is still accepted.
    link.session.SetReceiveEnable(true);
    Bytes frame = RadioFrame({ 0x04, 0x0A, 0x02, 0x00, 0x00 });
    size_t next = 0;
    link.device->onPoll = [&] {
        if (next < frame.size())
            link.device->Feed({ frame[next++] });
    };
    EXPECT_EQ(exchange(), 5);
    link.device->onPoll = nullptr;

    // The line closing ends the wait with the flag still set: status 1, no
    // reply.
    link.device->Feed({ 0xBA, 0x01, 0x7F, 0x04 });
    link.device->closeWhenDrained = true;
    EXPECT_EQ(exchange(), 0);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::ReplyReceived);
}

TEST(LinkWaits, APulledCableEndsTheWaitAtOnceAsACommunicationProblem)
{
    DirectLink link(5000);
    LinkTrace trace(10);
    link.session.SetTrace(&trace);
    auto exchange = [&] {
        return link.session.Exchange(LinkCode(0x02, 0x07), 2, LinkCode(0x02, 0x0A), 2).count;
    };

    // The device goes away in the middle of a long wait: the wait ends within
    // a few idle passes, not at its time-out, and says why.
    link.host.Loop().PostDelayed(50, [&] { link.device->loss = platform::LineLoss::Removed; });
    auto start = Clock::now();
    EXPECT_EQ(exchange(), 0);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::CommProblem);
    EXPECT_EQ(link.session.LineLoss(), platform::LineLoss::Removed);
    EXPECT_THAT(trace.Lines().back(), testing::HasSubstr(" -- device removed"));

    // Every later wait ends at once the same way, even with the flag set again.
    link.session.SetReceiveEnable(true);
    start = Clock::now();
    EXPECT_EQ(link.session.ReceiveAny().count, 0);
    EXPECT_LT(ElapsedMs(start), 200);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::CommProblem);

    // A hung-up line is named as such; a fresh line starts without a loss.
    auto hungUp = std::make_unique<FakeDevice>();
    hungUp->loss = platform::LineLoss::HungUp;
    link.session.AttachDevice(std::move(hungUp));
    EXPECT_EQ(link.session.LineLoss(), platform::LineLoss::None);
    link.session.SetReceiveEnable(true);
    EXPECT_EQ(exchange(), 0);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::CommProblem);
    EXPECT_THAT(trace.Lines().back(), testing::HasSubstr(" -- line hung up"));
    link.session.SetTrace(nullptr);
}

TEST(LinkWaits, EndsByItselfWithoutATimer)
{
    CommSession session;
    session.AttachDevice(std::make_unique<FakeDevice>());
    session.SetFraming(CommSession::kFramingFramed);
    session.SetWaitTime(120);
    session.SetReceiveEnable(true);
    auto start = Clock::now();
    EXPECT_EQ(session.ReceiveAny().count, 0);
    EXPECT_GE(ElapsedMs(start), 110);
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_EQ(session.LinkStatus(), LinkResult::TimedOut);
}

TEST(LinkComponent, OpensSendsAndReportsStatusLikeTheComponentPath)
{
    CommSession session;
    SimpleLinkHost host { session };
    FakeComponent component;
    std::string message;
    // Any open error but "in use" (the Qt component's test has that one).
    component.openError = -1;
    EXPECT_FALSE(session.OpenComponentPort(&component, message));
    EXPECT_EQ(message, "Unable to start communication: COM port error");

    // Opened in RS-485 mode as the window opens it: both buffers emptied.
    component.openError = 0;
    component.rs485 = true;
    component.Feed({ 0x55 });
    component.outputUsed = 100;
    ASSERT_TRUE(session.OpenComponentPort(&component, message)) << message;
    session.SetFraming(CommSession::kFramingFramed);
    session.SetWaitTime(300);
    session.SetReceiveEnable(true);
    EXPECT_TRUE(component.input.empty());
    EXPECT_EQ(component.outputUsed, 0);

    // A block write of 0 is success (1); anything else fails (-1).
    EXPECT_EQ(session.SendCode2(0x04, 0x1C, nullptr, 0), 1);
    EXPECT_EQ(Hex(component.writes.back()), "BA 7F 01 04 1C 60 7E");
    component.writeError = -3;
    EXPECT_EQ(session.SendCode2(0x04, 0x1C, nullptr, 0), -1);
    component.writeError = 0;

    // The send waits until the frame fits and CTS is off in RS-485 mode.
    component.outputUsed = 4093;
    component.cts = true;
    int polls = 0;
    component.onOutputPoll = [&] {
        component.outputUsed = ++polls < 5 ? component.outputUsed : 0;
        component.cts = component.cts && polls < 10;
    };
    EXPECT_EQ(session.SendCode2(0x04, 0x1C, nullptr, 0), 1);
    EXPECT_GE(polls, 10);
    // A line that never frees up fails the send after the wait time.
    component.onOutputPoll = nullptr;
    component.cts = true;
    auto start = Clock::now();
    size_t writes = component.writes.size();
    EXPECT_EQ(session.SendCode2(0x04, 0x1C, nullptr, 0), -1);
    EXPECT_EQ(component.writes.size(), writes);
    EXPECT_LT(ElapsedMs(start), 2000);
    component.cts = false;

    // Time-out on an idle line is a communication problem (2); with a byte
    // read at the last poll it is 4; a reply is 1.
    EXPECT_EQ(session.Exchange(LinkCode(0x02, 0x07), 2, LinkCode(0x02, 0x0A), 2).count, 0);
    EXPECT_EQ(session.LinkStatus(), LinkResult::CommProblem);
    session.SetReceiveEnable(true);
    component.Feed(RadioFrame({ 0x02, 0x07 }));
    EXPECT_EQ(session.Exchange(LinkCode(0x02, 0x07), 2, LinkCode(0x02, 0x0A), 2).count, 2);
    EXPECT_EQ(session.LinkStatus(), LinkResult::ReplyReceived);
    host.Loop().SetPumpHook([&] {
        component.Feed({ 0x41 });
        if (host.Loop().PumpCount() > 50)
            session.SetReceiveEnable(false);
    });
    session.ReceiveAny();
    EXPECT_EQ(session.LinkStatus(), LinkResult::TimedOut);
    host.Loop().SetPumpHook(nullptr);

    // Rates go to the component without the direct path's pause; the 55 ms
    // ticks go through the component.
    session.SetReceiveEnable(true);
    start = Clock::now();
    session.SetRadioBaudRate(115200);
    EXPECT_LT(ElapsedMs(start), 80);
    EXPECT_EQ(component.baudRate, 115200);
    EXPECT_EQ(component.writes.back(), RadioFrame({ 0x09, 0x00, 0x05 }, 0x7F, 0x01));
    session.DelayTicks(36);
    EXPECT_EQ(component.delays, std::vector<int> { 36 });

    // Close drains the output, then empties the buffers and closes.
    component.outputUsed = 100;
    polls = 0;
    component.onOutputPoll = [&] { component.outputUsed = ++polls < 3 ? 100 : 0; };
    component.Feed({ 1, 2, 3 });
    session.Close();
    EXPECT_FALSE(component.open);
    EXPECT_TRUE(component.input.empty());
    EXPECT_GE(polls, 3);
}

TEST(LinkProbe, SendsTheFixedProbeAndChecksTheAnswer)
{
    DirectLink link;
    link.device->responder = [&](const Bytes& written) {
        if (written.size() == 10 && written[3] == 0x09 && written[4] == 0x01)
            link.device->Feed(RadioFrame({ 0x09, 0x02, 0x00, 0x00, 0x00, 0x00 }));
    };
    EXPECT_TRUE(link.session.ProbeRadio());
    ASSERT_EQ(link.device->writes.size(), 1u);
    EXPECT_EQ(Hex(link.device->writes[0]), "BA 7F 4F 09 01 77 77 77 C3 7E");
    EXPECT_EQ(link.session.Framing(), CommSession::kFramingFramed);

    // Silence or a reply of another length: no radio.
    link.device->responder = nullptr;
    link.session.SetWaitTime(100);
    EXPECT_FALSE(link.session.ProbeRadio());
    link.session.SetReceiveEnable(true);
    link.device->Feed(RadioFrame({ 0x09, 0x02, 0x00 }));
    EXPECT_FALSE(link.session.ProbeRadio());
}

TEST(LinkSession, DelayTicksWordSumAndTrace)
{
    DirectLink link;
    auto start = Clock::now();
    link.session.DelayTicks(4);
    long waited = ElapsedMs(start);
    EXPECT_GE(waited, 215);
    EXPECT_LT(waited, 1000);
    // It sleeps between pumps instead of spinning.
    EXPECT_LT(link.host.Loop().PumpCount(), 40);

    const uint8_t words[] = { 0x12, 0x34, 0xFF, 0xFF, 0x00, 0x02, 0x99 };
    EXPECT_EQ(CommSession::WordSum16(words, 6), 0x1235);
    EXPECT_EQ(CommSession::WordSum16(words, 7), static_cast<uint16_t>(0x1235 + 0x9900));
    EXPECT_EQ(CommSession::WordSum16(words, 0), 0);

    LinkTrace trace(3);
    link.session.SetTrace(&trace);
    link.session.SendCode2(0x04, 0x1C, nullptr, 0);
    link.device->Feed(RadioFrame({ 0x04, 0x1D, 0x05, 0x08 }));
    LinkMessage reply;
    link.session.ReceiveMessage(reply);
    link.session.SetWaitTime(50);
    link.session.ReceiveMessage(reply);
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0], testing::EndsWith(" >> BA 7F 01 04 1C 60 7E"));
    EXPECT_THAT(lines[1], testing::EndsWith(" << BA 01 7F 04 1D 05 08 52 7E"));
    EXPECT_THAT(lines[2], testing::HasSubstr(" -- time-out"));
    link.session.SendCode2(0x04, 0x1C, nullptr, 0);
    EXPECT_EQ(trace.Lines().size(), 3u);
    EXPECT_EQ(trace.DroppedLines(), 1u);
    link.session.SetTrace(nullptr);
}

TEST(LinkTraceBound, KeepsTheLastBytesOfTraffic)
{
    LinkTrace trace(100, 10);
    const uint8_t frame[6] = { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x7E };
    trace.Sent(frame, 6);
    trace.Event("time-out");
    trace.Sent(frame, 4);
    // 10 bytes still fit: nothing dropped.
    EXPECT_EQ(trace.Lines().size(), 3u);
    for (int i = 0; i < 3; ++i)
        trace.Received(frame[i], false);
    trace.Received(0x7E, true);
    // 14 bytes: the oldest frame and the event before the kept bytes go.
    auto lines = trace.Lines();
    EXPECT_EQ(trace.DroppedLines(), 1u);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0], testing::EndsWith(" -- time-out"));
    EXPECT_THAT(lines[2], testing::EndsWith(" << BA 7F 01 7E"));
    // One frame larger than the bound is still kept whole.
    uint8_t big[32] = {};
    trace.Sent(big, 32);
    EXPECT_EQ(trace.Lines().size(), 1u);
}

TEST(LinkMessageTable, RowsAndLookup)
{
    const MessageTableRow* rows = MessageTable::Rows();
    for (int i = 0; i < MessageTable::kRowCount; ++i)
        EXPECT_EQ(rows[i].number, i);
    LinkCode code;
    ASSERT_TRUE(MessageTable::Code(57, code));
    EXPECT_EQ(code.bytes[0], 0x04);
    EXPECT_EQ(code.bytes[1], 0x2E);
    EXPECT_EQ(MessageTable::ExpectedLength(57), 4);
    EXPECT_EQ(MessageTable::ExpectedLength(48), 130);
    EXPECT_EQ(MessageTable::ExpectedLength(25), 10);
    EXPECT_EQ(MessageTable::ExpectedLength(49), 2);
    // Rows 8, 9 and 10 share a code; lookup still returns the row asked for.
    EXPECT_EQ(MessageTable::Find(9)->number, 9);
    EXPECT_EQ(MessageTable::Find(9)->subCode, 0x07);
    EXPECT_EQ(MessageTable::Find(10)->subCode, 0x07);
    // Unknown numbers: the builder fails and the expected length is 0.
    LinkMessage message;
    message.count = 5;
    EXPECT_FALSE(MessageTable::BuildRequest(60, message));
    EXPECT_EQ(message.count, 0);
    EXPECT_FALSE(MessageTable::Code(-1, code));
    EXPECT_EQ(MessageTable::ExpectedLength(99), 0);
    ASSERT_TRUE(MessageTable::BuildRequest(42, message));
    EXPECT_EQ(Payload(message), (Bytes { 0x09, 0x00 }));
}
