#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "codeplug/QUVTransfer.h"
#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using Bytes = std::vector<uint8_t>;

constexpr const char* kIdentifier = "5A17C0DE2B4F6E01";

// The simulated radio running in the background on a pseudo-terminal
// published in a temporary COM directory.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& options)
    {
        std::vector<std::string> args = { "--idle-exit", "30" };
        args.insert(args.end(), options.begin(), options.end());
        m_Process.Start(testsupport::SimBinary(), m_Dir.Path(), args);
    }
    // Waits for the simulator to end by itself (it writes its output first).
    bool WaitExit(int seconds) { return m_Process.WaitForExit(std::chrono::seconds(seconds)); }
    int Port() const { return m_Process.Port(); }
    std::filesystem::path File(const std::string& name) const { return m_Dir / name; }
    const testsupport::TempDir& Dir() const { return m_Dir; }

private:
    testsupport::TempDir m_Dir;
    testsupport::SimProcess m_Process;
};

// A chain of three blocks followed by non-header words.
Bytes SampleCodeplug()
{
    Bytes bytes;
    for (int words : { 90, 37, 200 }) {
        bytes.insert(bytes.end(), { 0x5F, 0x5F, 0x00, static_cast<uint8_t>(words) });
        for (int i = 2; i < words; ++i) {
            bytes.insert(
                bytes.end(), { static_cast<uint8_t>(i * 3), static_cast<uint8_t>(words + i) });
        }
    }
    bytes.insert(bytes.end(), 62, 0x11);
    return bytes;
}

// Reads the identifier, uploads, changes the codeplug, downloads it back and
// checks what the simulator stored, as the update's codeplug step does.
void RoundTrip(const std::string& password, const std::vector<std::string>& prompts)
{
    testsupport::TempDir files;
    const Bytes codeplug = SampleCodeplug();
    testsupport::WriteFileBytes(files / "in.bin", codeplug);
    std::vector<std::string> options
        = { "--serial", kIdentifier, "--codeplug", (files / "in.bin").string(), "--codeplug-out",
              (files / "out.bin").string(), "--exit-after-codeplug" };
    if (!password.empty()) {
        options.insert(options.end(), { "--password", password, "--verdict-noise", "1" });
    }
    Simulator sim(options);
    ASSERT_GT(sim.Port(), 0) << "the simulator did not start";
    setenv("CORVEL_COM_DIR", sim.Dir().Path().c_str(), 1);

    CommSession session;
    SimpleLinkHost host(session);
    std::string message;
    ASSERT_TRUE(session.OpenDevice(sim.Port(), 19200, false, message)) << message;
    session.SetFraming(CommSession::kFramingFramed);
    session.SetWaitTime(4000);

    session.SetReceiveEnable(true);
    ASSERT_GT(session.SendCode2(0x04, 0x04, nullptr, 0), 0);
    LinkMessage reply;
    ASSERT_EQ(session.ReceiveMessage(reply), 1);
    ASSERT_EQ(reply.count, 10);
    const std::string identifier = HexTextOfBytes(reply.data + 2, 8);
    EXPECT_EQ(identifier, kIdentifier);

    std::vector<uint8_t> image(kCodeplugBufferSize, 0);
    QUVTransferParms transfer;
    size_t prompt = 0;
    transfer.SetPasswordPrompt([&](std::string& entry) {
        if (prompt >= prompts.size()) {
            return false;
        }
        entry = prompts[prompt++];
        return true;
    });
    transfer.SetBuffer(image.data(), 0);
    transfer.SetRadioIdentifier(identifier);
    transfer.SetSession(&session);
    ASSERT_GT(transfer.Upload(), 0);
    ASSERT_GE(transfer.ByteCount(), static_cast<int32_t>(codeplug.size()));
    EXPECT_EQ(transfer.ByteCount() % 128, 0);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + codeplug.size()), codeplug);

    // Grow the codeplug by a few words and write it back: 700 bytes go out
    // as six blocks, the last 68 bytes of them blanks.
    for (int i = 0; i < 700; i += 7) {
        image[i] ^= 0xA5;
    }
    transfer.SetBuffer(image.data(), 700);
    ASSERT_GT(transfer.Download(), 0);
    session.Close();
    ASSERT_TRUE(sim.WaitExit(10));
    const Bytes stored = ReadFileBytes(files / "out.bin");
    EXPECT_EQ(stored, Bytes(image.begin(), image.begin() + 768));
    EXPECT_EQ(Bytes(stored.begin() + 700, stored.end()), Bytes(68, 0x20));
    EXPECT_EQ(prompt, prompts.size());
}

TEST(CodeplugWithSimulator, RoundTripWithoutPassword)
{
    RoundTrip("", {});
}

TEST(CodeplugWithSimulator, RoundTripWithPasswordAfterAWrongAnswer)
{
    RoundTrip("13579", { "1-3-5-7-8", " 1 3 5 7 9", "13579" });
}

} // namespace
