#include <gtest/gtest.h>

#include <set>

#include "link/ModelTraits.h"
#include "link/RadioQueries.h"

namespace {

bool In(int code, const std::set<int>& codes)
{
    return codes.count(code) != 0;
}

} // namespace

// Each row against the rules the queries, engines, checks and line opening
// followed code by code before the table; codes without a row of their own
// (2 and 3 have one, -1, 9 and up do not) behave as a radio with no optional
// features.
TEST(ModelTraits, EveryCodeKeepsItsRules)
{
    for (int code = -1; code <= 12; ++code) {
        SCOPED_TRACE(code);
        const ModelTraits& model = ModelTraitsOf(code);
        EXPECT_EQ(model.versionBootOptional, In(code, { 1, 5, 7 }));
        EXPECT_EQ(model.bootInfoOptional, In(code, { 1, 5, 7, 8 }));
        EXPECT_EQ(model.semPresent, In(code, { 0, 1, 4, 5, 6, 7, 8 }));
        EXPECT_EQ(model.skipsBootChecks, In(code, { 1, 4, 5 }));
        EXPECT_EQ(model.showsHardwareRevision, In(code, { 1, 5, 7 }));
        EXPECT_EQ(model.checksFlashType, code == 1);
        EXPECT_EQ(model.dspLayout, code == 3 ? DspLayout::Header48 : DspLayout::Header40);
        EXPECT_EQ(model.updateBaudRate, code == 1 ? kLineBaudRate : kFastBaudRate);

        const std::string text = model.erase.text == nullptr ? "" : model.erase.text;
        if (code == 1) {
            EXPECT_EQ(model.erase.ticks, 18);
            EXPECT_EQ(text, "");
        } else if (code == 4) {
            EXPECT_EQ(model.erase.ticks, 720);
            EXPECT_EQ(text, "Erasing flash (40 seconds)...");
        } else if (code == 0 || code == 8) {
            EXPECT_EQ(model.erase.ticks, 36);
            EXPECT_EQ(text, "Erasing flash (2 seconds)...");
        } else {
            EXPECT_EQ(model.erase.ticks, 1440);
            EXPECT_EQ(text, "Erasing flash (80 seconds)...");
        }
    }
}

// The version panel shows the record for a full reading and for the two
// partial ones, never for a link failure.
TEST(ModelTraits, VersionInfoCountsPartialReadingsAsRead)
{
    EXPECT_TRUE(VersionInfoRead(QueryResult::Ok));
    EXPECT_TRUE(VersionInfoRead(QueryResult::BootMissing));
    EXPECT_TRUE(VersionInfoRead(QueryResult::SemMissing));
    EXPECT_FALSE(VersionInfoRead(QueryResult::CommProblem));
    EXPECT_FALSE(VersionInfoRead(QueryResult::TimedOut));
    EXPECT_EQ(QueryResultOf(LinkResult::ReplyReceived), QueryResult::Ok);
    EXPECT_EQ(QueryResultOf(LinkResult::CommProblem), QueryResult::CommProblem);
    EXPECT_EQ(QueryResultOf(LinkResult::TimedOut), QueryResult::TimedOut);
}
