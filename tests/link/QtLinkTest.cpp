#include <gtest/gtest.h>

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>
#include <thread>

#include "app/QtLinkBindings.h"
#include "app/QtSerialPortComponent.h"
#include "platform/PortLock.h"
#include "tests/link/FakeLink.h"
#include "tests/support/TestSupport.h"

using namespace linktest;
using namespace testsupport;

namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "link_qt_tests";
    static char* argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    return app;
}

// A pseudo-terminal published as COM<port> in a COM folder of its own.
struct PtyPort {
    TempDir dir;
    PtyPair pty;

    explicit PtyPort(int port)
    {
        ::setenv("CORVEL_COM_DIR", dir.Path().c_str(), 1);
        std::filesystem::create_symlink(pty.SlavePath(), dir / ("COM" + std::to_string(port)));
    }
};

// The session wired as the window wires it, on the component path.
struct ComponentSession {
    CommSession session;
    QtSerialPortComponent component;
    QtMessagePump pump;
    QtWaitTimer timer { [this] { session.SetReceiveEnable(false); } };

    ComponentSession()
    {
        App();
        session.SetComponent(&component);
        session.SetMessagePump(&pump);
        session.SetWaitTimer(&timer);
    }
    bool Open(int port, std::string& message)
    {
        component.SetPortNumber(port);
        component.SetRs485Mode(true);
        if (!session.OpenComponentPort(&component, message))
            return false;
        session.SetReceiveEnable(true);
        session.SetFraming(CommSession::kFramingFramed);
        session.SetLocalBaudRate(19200);
        return true;
    }
};

} // namespace

TEST(LinkComponentPath, OpenErrorsAndTheTickDelay)
{
    // A missing port and one the direct path already holds.
    PtyPort com(4);
    PtyPair& pty = com.pty;
    CommSession direct;
    std::string message;
    ASSERT_TRUE(direct.OpenDevice(4, 19200, false, message)) << message;
    for (int port : { 9, 4 }) {
        ComponentSession link;
        EXPECT_FALSE(link.Open(port, message));
        EXPECT_EQ(message, "The chosen COM port is in use or not available");
    }
    direct.Close();
    {
        ComponentSession link;
        ASSERT_TRUE(link.Open(4, message)) << message;
        // Other programs see the port as taken; after Close it is free.
        EXPECT_EQ(platform::LockHolder(std::filesystem::canonical(pty.SlavePath())), ::getpid());
        // Bytes written go out as one block; bytes arriving are read one by one.
        link.session.SendCode2(0x04, 0x1C, nullptr, 0);
        EXPECT_EQ(pty.Read(7, std::chrono::milliseconds(1000)),
            (std::vector<uint8_t> { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x60, 0x7E }));
        pty.Write({ 0xBA, 0x01, 0x7F, 0x04, 0x1D, 0x05, 0x08, 0x52, 0x7E });
        link.session.SetWaitTime(1000);
        EXPECT_EQ(link.session.Exchange(LinkCode(0x04, 0x1D), 4, LinkCode(0x04, 0x20), 2).count, 4);
        EXPECT_EQ(link.component.OutputUsed(), 0);
        EXPECT_EQ(link.component.OutputFree(), 4096);

        // The tick delay lasts its ticks and lets queued events run.
        bool eventRan = false;
        QTimer::singleShot(20, [&] { eventRan = true; });
        auto start = Clock::now();
        link.session.DelayTicks(3);
        EXPECT_GE(ElapsedMs(start), 160);
        EXPECT_TRUE(eventRan);
        link.session.Close();
        EXPECT_EQ(platform::LockHolder(std::filesystem::canonical(pty.SlavePath())), 0);
    }
}

TEST(LinkQtBindings, IdleWaitWakesForTheLineAndForEvents)
{
    App();
    QtMessagePump pump;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(::write(fds[1], "x", 1), 1);
    });
    auto start = Clock::now();
    pump.WaitIdle(fds[0], 3000);
    EXPECT_LT(ElapsedMs(start), 1500);
    writer.join();
    // Readable already: returns at once, repeatedly.
    start = Clock::now();
    for (int i = 0; i < 5; ++i)
        pump.WaitIdle(fds[0], 3000);
    EXPECT_LT(ElapsedMs(start), 1500);
    ::close(fds[0]);
    ::close(fds[1]);

    // A timer event ends the wait; without one the limit does.
    bool fired = false;
    QTimer::singleShot(30, [&] { fired = true; });
    start = Clock::now();
    while (!fired && ElapsedMs(start) < 3000)
        pump.WaitIdle(-1, 3000);
    EXPECT_TRUE(fired);
    EXPECT_LT(ElapsedMs(start), 1500);
    start = Clock::now();
    pump.WaitIdle(-1, 60);
    EXPECT_GE(ElapsedMs(start), 55);

    // The wait timer of its own stops on expiry and runs its handler once.
    int expiries = 0;
    QtWaitTimer timer([&] { ++expiries; });
    timer.Start(20);
    start = Clock::now();
    while (ElapsedMs(start) < 150)
        pump.WaitIdle(-1, 10);
    EXPECT_EQ(expiries, 1);
    EXPECT_FALSE(timer.Timer().isActive());
}

TEST(LinkComponentPath, APulledCableEndsTheWaitAtOnce)
{
    PtyPort com(5);
    ComponentSession link;
    std::string message;
    ASSERT_TRUE(link.Open(5, message)) << message;
    link.session.SetWaitTime(15000);
    com.pty.CloseMaster();
    auto start = Clock::now();
    EXPECT_EQ(link.session.ReceiveAny().count, 0);
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(link.session.LinkStatus(), LinkResult::CommProblem);
    EXPECT_NE(link.session.LineLoss(), platform::LineLoss::None);
    link.session.Close();
}
