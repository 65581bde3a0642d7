// Words of our own metadata writes that come back after a later write of
// ours: old news, where another program's write is news.

#include "pending_writes.h"

#include <gtest/gtest.h>

namespace {

const QString kKey = QStringLiteral("target.object");
const QString kA = QStringLiteral("a");
const QString kB = QStringLiteral("b");

class PendingWritesTest : public testing::Test {
protected:
    PendingWrites writes;
};

TEST_F(PendingWritesTest, TheWordOfAnOverwrittenWriteIsOldNewsAndTheLastWordIsNews)
{
    writes.wrote(7, kKey, kA);
    writes.wrote(7, kKey, kB);
    EXPECT_TRUE(writes.isOverwritten(7, kKey, kA));
    EXPECT_TRUE(writes.overtaken(7, kKey, kA));
    EXPECT_FALSE(writes.overtaken(7, kKey, kB));
    // Said again once nothing of ours is under way, it is another program's.
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
}

TEST_F(PendingWritesTest, AFreshReadOfOurLatestValueEndsTheWaitForItsWord)
{
    writes.wrote(7, kKey, kA);
    writes.wrote(7, kKey, kB);
    writes.read(7, kKey, kA);
    EXPECT_TRUE(writes.isOverwritten(7, kKey, kA));
    writes.read(7, kKey, kB);
    EXPECT_FALSE(writes.isOverwritten(7, kKey, kA));
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
}

TEST_F(PendingWritesTest, AWordThatMatchesNoWriteOfOursIsNewsAndLeavesOursAwaited)
{
    writes.wrote(7, kKey, kA);
    writes.wrote(7, kKey, std::nullopt);
    EXPECT_FALSE(writes.overtaken(7, kKey, QStringLiteral("c")));
    EXPECT_FALSE(writes.isOverwritten(7, kKey, QStringLiteral("c")));
    // The removal is a value of its own.
    EXPECT_TRUE(writes.overtaken(7, kKey, kA));
    EXPECT_FALSE(writes.overtaken(7, kKey, std::nullopt));
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
}

TEST_F(PendingWritesTest, AWordOfALaterWriteEndsTheWaitForEarlierOnesWhoseWordWasLost)
{
    writes.wrote(7, kKey, kA);
    writes.wrote(7, kKey, kB);
    writes.wrote(7, kKey, kA);
    // The latest value again: applying it changes nothing.
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
    EXPECT_TRUE(writes.overtaken(7, kKey, kB));
    EXPECT_FALSE(writes.isOverwritten(7, kKey, kA));
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
}

TEST_F(PendingWritesTest, KeysAndSubjectsAreApartAndASubjectClearedForgetsItsWrites)
{
    writes.wrote(7, kKey, kA);
    writes.wrote(7, kKey, kB);
    writes.wrote(8, kKey, kA);
    writes.wrote(7, QStringLiteral("target.node"), kA);
    EXPECT_FALSE(writes.overtaken(8, kKey, kA));
    EXPECT_FALSE(writes.overtaken(7, QStringLiteral("target.node"), kA));
    writes.forget(7);
    EXPECT_FALSE(writes.overtaken(7, kKey, kA));
}

TEST_F(PendingWritesTest, AKeyWrittenOverAndOverWaitsOnlyForItsLatestWrites)
{
    // However often: the oldest are let go, never the recent ones.
    for (int value = 0; value < 1000; ++value)
        writes.wrote(7, kKey, QString::number(value));
    EXPECT_FALSE(writes.overtaken(7, kKey, QStringLiteral("0")));
    EXPECT_TRUE(writes.overtaken(7, kKey, QStringLiteral("998")));
    EXPECT_FALSE(writes.overtaken(7, kKey, QStringLiteral("999")));
}

} // namespace
