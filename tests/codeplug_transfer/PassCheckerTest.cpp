#include <gtest/gtest.h>

#include <deque>

#include "FakeRadio.h"
#include "codeplug/QUVTransferParmsPassChecker.h"

namespace {

using Answer = std::array<uint8_t, 4>;

TEST(PassChecker, EncodesUpToEightDigitsOfTheFirstTwelveCharacters)
{
    const auto encode = QUVTransferParmsPassChecker::EncodeEntry;
    EXPECT_EQ(encode(""), (Answer { 0xFF, 0xFF, 0xFF, 0xFF }));
    EXPECT_EQ(encode("123"), (Answer { 0x12, 0x3F, 0xFF, 0xFF }));
    EXPECT_EQ(encode("12345678"), (Answer { 0x12, 0x34, 0x56, 0x78 }));
    EXPECT_EQ(encode("12 34-56 78"), encode("12345678"));
    EXPECT_EQ(encode("1 2-3 4"), encode("1234"));
    EXPECT_EQ(encode("90817263544536"), (Answer { 0x90, 0x81, 0x72, 0x63 }));
    // Twelve characters hold six digits; the "78" after them is not read.
    EXPECT_EQ(encode("1-2-3-4-5-6-78"), (Answer { 0x12, 0x34, 0x56, 0xFF }));
    EXPECT_EQ(encode("ab9"), (Answer { 0x9F, 0xFF, 0xFF, 0xFF }));
}

// A checker on a fake radio whose prompt plays scripted entries (an empty
// script cancels).
struct CheckerRig {
    FakeLink link;
    QUVTransferParmsPassChecker checker;
    std::deque<std::string> entries;
    int prompts = 0;

    explicit CheckerRig(int waitMs = 2000)
        : link(waitMs)
    {
        checker.SetSession(&link.session);
        checker.SetPasswordPrompt([this](std::string& entry) {
            ++prompts;
            if (entries.empty())
                return false;
            entry = entries.front();
            entries.pop_front();
            return true;
        });
        link.session.SetReceiveEnable(true);
    }
};

TEST(PassChecker, GrantAtOnceNeedsNoPrompt)
{
    for (uint8_t grant : { 13, 14 }) {
        CheckerRig rig;
        rig.link.device->Send({ 3, grant });
        EXPECT_EQ(rig.checker.CheckPassword(), 1);
        EXPECT_EQ(rig.prompts, 0);
        EXPECT_TRUE(rig.link.device->received.empty()) << rig.link.device->Trace();
    }
}

TEST(PassChecker, ThreeAnswersThenAbandonsWithoutPrompting)
{
    CheckerRig rig;
    rig.link.device->password = Answer { 0x12, 0x34, 0x56, 0x78 };
    rig.entries = { "1", "2", "3", "4" };
    rig.link.device->Send({ 3, 11 });
    EXPECT_GT(rig.checker.CheckPassword(), 0);
    EXPECT_EQ(rig.prompts, 3);
    EXPECT_EQ(rig.link.device->Trace(), "3,12 3,12 3,12 3,4");
    EXPECT_EQ(rig.link.device->received[2], (Bytes { 3, 12, 0x3F, 0xFF, 0xFF, 0xFF }));
}

TEST(PassChecker, SilenceAndStrangeMessagesAbandonTheTransfer)
{
    {
        CheckerRig rig(150); // the radio says nothing
        EXPECT_LT(rig.checker.CheckPassword(), 0);
        EXPECT_EQ(rig.link.device->Trace(), "3,4");
    }
    {
        CheckerRig rig; // a message that is no answer at all
        rig.link.device->Send({ 3, 2, 0 });
        EXPECT_EQ(rig.checker.CheckPassword(), 1);
        EXPECT_EQ(rig.prompts, 0);
        EXPECT_EQ(rig.link.device->Trace(), "3,4");
    }
}

} // namespace
