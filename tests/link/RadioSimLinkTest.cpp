// The session and the queries against the simulated radio, and the session
// on a real serial device flooded with hostile data.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include "link/RadioQueries.h"
#include "tests/link/FakeLink.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

using namespace linktest;
using namespace testsupport;

namespace {

// A session opened on COM<port> of a COM folder, as the window opens it,
// with its waits capped at 600 ms.
struct OpenLink {
    CommSession session;
    SimpleEventLoop loop;
    SimpleWaitTimer timer { loop, session };
    CappedWaitTimer capped { timer, 600 };
    bool opened = false;
    std::string error;

    void Open(const std::filesystem::path& comDir, int port)
    {
        ::setenv("CORVEL_COM_DIR", comDir.c_str(), 1);
        session.SetMessagePump(&loop);
        session.SetWaitTimer(&capped);
        opened = session.OpenDevice(port, 19200, false, error);
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
    }
    ~OpenLink() { session.Close(); }
};

// The simulated radio with its frame log, and a link opened on it.
struct SimLink : OpenLink {
    TempDir dir;
    SimProcess sim;
    std::filesystem::path log = dir / "sim.log";

    bool Start(std::vector<std::string> options)
    {
        std::filesystem::create_directories(dir / "com");
        options.insert(options.end(), { "--log", log.string() });
        if (!sim.Start(SimBinary(), dir / "com", options)) {
            error = sim.Error();
            return false;
        }
        Open(dir / "com", sim.Port());
        return opened;
    }
    // Requests with the given code the simulator received. A last round trip
    // first makes sure it has handled everything sent before.
    int Received(const std::string& code)
    {
        session.SetReceiveEnable(true);
        session.SendCode2(0x04, 0x1C, nullptr, 0);
        EXPECT_EQ(session.Exchange(LinkCode(0x04, 0x1D), 4, LinkCode(0x04, 0x20), 2).count, 4);
        const std::string text = ReadFileText(log), request = ">> BA 7F 01 " + code;
        int count = 0;
        for (size_t at = text.find(request); at != std::string::npos;
             at = text.find(request, at + 1))
            ++count;
        return count;
    }
};

} // namespace

TEST(LinkAgainstSim, VersionQueriesOverAPseudoTerminal)
{
    uint8_t record[kVersionInfoSize];
    {
        SimLink link;
        ASSERT_TRUE(link.Start({ "--check-speed" })) << link.error;
        link.session.SetWaitTime(500);
        EXPECT_TRUE(link.session.ProbeRadio());
        link.session.SetReceiveEnable(true);
        std::fill(record, record + kVersionInfoSize, 0xEE);
        EXPECT_EQ(QueryVersionInfo(link.session, 0, record, true), QueryResult::Ok);
        EXPECT_EQ(Bytes(record, record + kVersionInfoSize),
            (Bytes { 0x05, 0x08, 0x01, 0x02, 0x03, 0x02, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x1A,
                0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x06, 0x0A, 0x01, 0x00 }));
        // At 115200 the radio, which follows the rate message, still answers.
        link.session.SetRadioBaudRate(115200);
        uint8_t boot[2] = {};
        EXPECT_EQ(QueryBootInfo(link.session, 0, boot), QueryResult::Ok);
        EXPECT_EQ(Bytes(boot, boot + 2), (Bytes { 6, 10 }));
    }
    // Model code 5, no boot answer: 8 with the SEM step, 5 without it.
    for (const char* controller : { "021000", "031000" }) {
        SimLink link;
        ASSERT_TRUE(link.Start({ "--silent", "boot", "--controller-version", controller }))
            << link.error;
        std::fill(record, record + kVersionInfoSize, 0xEE);
        const QueryResult expected
            = controller[1] == '2' ? QueryResult::SemMissing : QueryResult::BootMissing;
        EXPECT_EQ(QueryVersionInfo(link.session, 5, record, true), expected);
        EXPECT_EQ(record[19], 0);
        EXPECT_EQ(record[20], 0);
        EXPECT_EQ(link.Received("04 3E"), expected == QueryResult::SemMissing ? 1 : 0);
    }
    // Model code 2: no SEM step; negative replies leave zeros.
    SimLink link;
    ASSERT_TRUE(link.Start({ "--negative", "dsp,serial" })) << link.error;
    std::fill(record, record + kVersionInfoSize, 0xEE);
    EXPECT_EQ(QueryVersionInfo(link.session, 2, record, true), QueryResult::Ok);
    EXPECT_EQ(Bytes(record + 2, record + 5), Bytes(3, 0));
    EXPECT_EQ(Bytes(record + 11, record + 19), Bytes(8, 0));
    EXPECT_EQ(record[5], 0x02);
    EXPECT_EQ(record[21], 0);
    EXPECT_EQ(link.Received("04 3E"), 0);
    EXPECT_EQ(link.Received("04 2D"), 1);
}

TEST(LinkAgainstSim, HostileLinesEndWithinTheWaitTime)
{
    TempDir dir;
    PtyPair pty;
    std::filesystem::create_symlink(pty.SlavePath(), dir / "COM7");
    OpenLink link;
    link.Open(dir.Path(), 7);
    ASSERT_TRUE(link.opened) << link.error;
    link.session.SetWaitTime(400);

    // A writer that keeps the line full until told to stop.
    auto flood = [&](std::function<uint8_t(size_t)> next) {
        std::atomic<bool> stop { false };
        std::thread writer([&] {
            size_t index = 0;
            while (!stop) {
                uint8_t chunk[256];
                for (auto& b : chunk)
                    b = next(index++);
                pollfd entry { pty.Master(), POLLOUT, 0 };
                // A full line just drops the chunk: the flood only has to keep coming.
                if (::poll(&entry, 1, 20) > 0 && ::write(pty.Master(), chunk, sizeof chunk) < 0)
                    continue;
            }
        });
        link.session.SetReceiveEnable(true);
        auto start = Clock::now();
        LinkMessage reply = link.session.Exchange(LinkCode(0x04, 0x2E), 4, LinkCode(0x04, 0x20), 2);
        auto waited = Clock::now() - start;
        stop = true;
        writer.join();
        EXPECT_EQ(reply.count, 0);
        EXPECT_EQ(link.session.LinkStatus(), LinkResult::TimedOut);
        EXPECT_LT(waited, std::chrono::milliseconds(1500));
        // Drop what is still queued before the next case: read until a wait
        // ends on a quiet line.
        link.session.SetWaitTime(100);
        for (int i = 0; i < 100; ++i) {
            link.session.SetReceiveEnable(true);
            link.session.ReceiveAny();
            if (!link.session.ReceiveEnabled() && link.session.Idle())
                break;
        }
        link.session.SetWaitTime(400);
    };
    std::mt19937 random(99);
    flood([&](size_t) { return static_cast<uint8_t>(random()); });
    flood([](size_t i) { return i == 0 ? uint8_t { 0xBA } : uint8_t { 0x33 }; });
    // 5000-byte frames: each dropped at the bound.
    flood([](size_t i) {
        return i % 5003 == 0 ? uint8_t { 0xBA }
                             : (i % 5003 == 5002 ? uint8_t { 0x7E } : uint8_t { 0x01 });
    });

    // After all that, a good frame is still read.
    link.session.SetReceiveEnable(true);
    pty.Write({ 0xBA, 0x01, 0x7F, 0x04, 0x2E, 0x06, 0x0A, 0x3E, 0x7E });
    LinkMessage reply = link.session.Exchange(LinkCode(0x04, 0x2E), 4, LinkCode(0x04, 0x20), 2);
    EXPECT_EQ(reply.count, 4);

    // The radio closes the line in the middle of a frame: the wait ends at
    // once, well before the wait time, as a communication problem.
    pty.Write({ 0xBA, 0x01, 0x7F, 0x04 });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.CloseMaster();
    link.session.SetWaitTime(4000);
    link.session.SetReceiveEnable(true);
    auto start = Clock::now();
    reply = link.session.Exchange(LinkCode(0x04, 0x2E), 4, LinkCode(0x04, 0x20), 2);
    EXPECT_EQ(reply.count, 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::CommProblem);
    EXPECT_NE(link.session.LineLoss(), platform::LineLoss::None);
}
