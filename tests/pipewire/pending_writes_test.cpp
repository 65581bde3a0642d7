// The session manager's rules: the words of our own metadata writes that
// come back after a later write of ours are old news, where another
// program's write is news; and when it has settled on a stream's sink.

#include "pending_writes.h"
#include "settling.h"

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

// When the session manager has settled, on a timeline: a stream plays on
// sink A or B (or both), the default it follows is A or B. Asked at the end:
// the one sink it has settled on alone, and whether it has settled on A.
namespace settling {

struct Step {
    qint64 at;                 // ms
    QList<uint32_t> sinks;     // the stream's links, by sink id (1: A, 2: B)
    QString followed = QStringLiteral("A");
    bool forget = false;       // we just sent the stream elsewhere
};

struct Case {
    const char* what;
    std::vector<Step> steps;
    qint64 askedAt;
    uint32_t settledSink;      // by id; 0: none
    bool settledOnA;
};

constexpr uint64_t kStream = 110;

pw_graph::Graph graphOf(const Step& step)
{
    pw_graph::Graph graph;
    const auto add = [&](uint32_t id, uint64_t serial, const char* mediaClass, const char* name) {
        pw_graph::Node node;
        node.id = id;
        node.serial = serial;
        node.mediaClass = QString::fromLatin1(mediaClass);
        node.name = QString::fromLatin1(name);
        graph.nodes.insert(id, node);
    };
    add(1, 101, "Audio/Sink", "A");
    add(2, 102, "Audio/Sink", "B");
    add(10, kStream, "Stream/Output/Audio", "player");
    for (const uint32_t sink : step.sinks)
        graph.links.insert(20 + sink, pw_graph::Link{20 + sink, 10, 0, sink, 0});
    graph.metadata[0].insert(QStringLiteral("default.audio.sink"),
                             {QStringLiteral("Spa:String:JSON"), pw_graph::jsonForName(step.followed)});
    return graph;
}

const QString kB = QStringLiteral("B");

class SettlingTest : public testing::TestWithParam<Case> {};

TEST_P(SettlingTest, AStreamHasSettledOnTheOneSinkItPlayedOnForTheSettleTimeUnderASettledDefault)
{
    qint64 now = 0;
    Settling settling([&now] { return now; });
    for (const Step& step : GetParam().steps) {
        now = step.at;
        if (step.forget)
            settling.forget(kStream);
        settling.update(graphOf(step));
    }
    now = GetParam().askedAt;
    EXPECT_EQ(settling.settledSink(kStream), GetParam().settledSink ? 100u + GetParam().settledSink : 0u);
    EXPECT_EQ(settling.settledOn(kStream, 101), GetParam().settledOnA);
}

constexpr qint64 kSettle = Settling::kSettleMs;

INSTANTIATE_TEST_SUITE_P(Timelines, SettlingTest, testing::Values(
    Case{"not yet", {{0, {1}}}, kSettle - 1, 0, false},
    Case{"on A", {{0, {1}}}, kSettle, 1, true},
    Case{"moved to B starts anew", {{0, {1}}, {1000, {2}}}, 1000 + kSettle - 1, 0, false},
    Case{"on B", {{0, {1}}, {1000, {2}}}, 1000 + kSettle, 2, false},
    Case{"on two sinks: settled on each, on none alone", {{0, {1, 2}}}, 10 * kSettle, 0, true},
    Case{"from two back to one: alone anew", {{0, {1, 2}}, {5000, {1}}}, 5000 + kSettle - 1, 0, true},
    Case{"unlinked a moment starts anew", {{0, {1}}, {2000, {}}, {2100, {1}}}, 2100 + kSettle - 1, 0, false},
    Case{"a new default: on A, but the default has not settled", {{0, {1}}, {3000, {1}, kB}}, 3000 + kSettle - 1, 0, true},
    Case{"a new default settled", {{0, {1}}, {3000, {1}, kB}}, 3000 + kSettle, 1, true},
    Case{"sent elsewhere by us starts anew", {{0, {1}}, {3000, {1}, QStringLiteral("A"), true}}, 3000 + kSettle - 1, 0, false}));

TEST(Settling, ADeviceWasTheDefaultLatelyForTwiceTheSettleTimeAfterItStopped)
{
    qint64 now = 0;
    Settling settling([&now] { return now; });
    settling.update(graphOf({0, {}}));
    now = 1000;
    settling.update(graphOf({1000, {}, kB}));
    EXPECT_EQ(settling.followedDefault(), kB);
    EXPECT_TRUE(settling.wasDefaultLately(kB));
    now = 1000 + 2 * kSettle;
    settling.update(graphOf({now, {}, kB}));
    EXPECT_TRUE(settling.wasDefaultLately(QStringLiteral("A")));
    now += 1;
    EXPECT_FALSE(settling.wasDefaultLately(QStringLiteral("A")));
    EXPECT_FALSE(settling.wasDefaultLately(QStringLiteral("C")));
}

} // namespace settling
