#include <gtest/gtest.h>

#include "link/ModelTraits.h"
#include "link/RadioQueries.h"

// The lookup: each code finds its own row; codes without one (-1, 9 and up)
// get the row of a radio with no optional features, model code 2. (What the
// rows hold is pinned where it shows: erase waits and the flash-type query in
// the flash engine's suite, header layouts in the DSP suite, optional query
// steps in the query suites, the update rate in the COM port suite, the boot
// checks in the sequence suite.)
TEST(ModelTraits, EveryCodeFindsItsRowAndOthersThePlainOne)
{
    for (int code = 0; code <= 8; ++code)
        EXPECT_EQ(ModelTraitsOf(code).code, code);
    for (int code : { -1, 9, 12, 255 })
        EXPECT_EQ(&ModelTraitsOf(code), &ModelTraitsOf(2)) << code;
    const ModelTraits& plain = ModelTraitsOf(2);
    EXPECT_FALSE(plain.versionBootOptional || plain.bootInfoOptional || plain.semPresent
        || plain.skipsBootChecks || plain.showsHardwareRevision || plain.checksFlashType);
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
