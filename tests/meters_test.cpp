// Level ballistics, the "io nch=" line and the diagnostics log file.

#include "diag_log.h"
#include "meters.h"
#include "support/files.h"
#include "support/qt_printers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kA = QStringLiteral("/Applications/A.app");
const QString kB = QStringLiteral("/Applications/B.app");

// Each pump: the level the meters show for a slot, and the master's.
struct Pumped {
    QMap<QString, float> levels;
    float master = 0.0f;
};

// A cycle of the mix leaves these peaks behind.
void cycleLeaves(RenderState& state, int meter, float peak)
{
    state.meterBuf[std::size_t(meter)].store(peak);
    state.cycles.fetch_add(1);
}

Pumped pump(const RenderState& state, const QStringList& ids, QMap<QString, float> levels, float master)
{
    pumpLevels(state, ids, levels, master);
    return {levels, master};
}

TEST(MeterPump, RisesInstantlyAndFallsByFourFifthsPerPumpDownToTheRawPeak)
{
    RenderState state;
    cycleLeaves(state, 0, 0.5f);
    cycleLeaves(state, kMasterMeter, 0.25f);
    QMap<QString, float> levels{{kA, 1.0f}};
    float master = 0.5f;
    for (const float expected : {0.8f, 0.64f, 0.512f, 0.5f}) {
        pumpLevels(state, {kA}, levels, master);
        EXPECT_FLOAT_EQ(levels.value(kA), expected);
    }
    EXPECT_FLOAT_EQ(pump(state, {}, {}, 0.5f).master, 0.4f) << "the master decays alike";
    EXPECT_FLOAT_EQ(pump(state, {}, {}, 0.1f).master, 0.25f);
    cycleLeaves(state, 0, 0.9f);
    EXPECT_FLOAT_EQ(pump(state, {kA}, {{kA, 0.2f}}, 0.0f).levels.value(kA), 0.9f);
}

// PipeWire suspends a device with nothing to play, and its mix's cycles
// stop with their last peaks left behind: those are silence, not a level
// frozen where the last application stopped.
TEST(MeterPump, AMixWhoseDeviceStoppedCallingItFallsSilent)
{
    RenderState state;
    cycleLeaves(state, 0, 0.5f);
    cycleLeaves(state, kMasterMeter, 0.5f);
    QMap<QString, float> levels;
    float master = 0.0f;
    pumpLevels(state, {kA}, levels, master);
    std::this_thread::sleep_for(kSilentAfterNoCycleFor + std::chrono::milliseconds(20));
    pumpLevels(state, {kA}, levels, master);
    EXPECT_FLOAT_EQ(levels.value(kA), 0.4f);
    EXPECT_FLOAT_EQ(master, 0.4f);
    cycleLeaves(state, kMasterMeter, 0.5f);
    pumpLevels(state, {kA}, levels, master);
    EXPECT_FLOAT_EQ(master, 0.5f) << "called again: its peaks count again";
}

TEST(MeterPump, OnlyTheFirstSixteenTappedApplicationsHaveLevels)
{
    RenderState state;
    cycleLeaves(state, 0, 0.05f);
    const Pumped next = pump(state, {kB, kA}, {{kB, 0.1f}}, 0.0f);
    EXPECT_EQ(next.levels.keys(), (QStringList{kA, kB}));
    EXPECT_FLOAT_EQ(next.levels.value(kB), 0.08f) << "a level carries over when another application joins";
    EXPECT_EQ(pump(state, {kB}, {{kA, 1.0f}, {kB, 0.1f}}, 0.0f).levels.keys(), QStringList{kB})
        << "one no longer tapped loses its level at once";
    QStringList ids;
    for (int i = 0; i < 20; ++i)
        ids.append(QStringLiteral("/Applications/%1.app").arg(i));
    QStringList first = ids.mid(0, 16);
    first.sort();
    EXPECT_EQ(pump(state, ids, {}, 0.0f).levels.keys(), first);
}

// Each device's mix has its own meters; while the applications stay the
// same, their levels move on where they are, not in a new map each pump.
TEST(MeterPump, TheLevelsOfEveryMixAreMovedOnInPlace)
{
    RenderState first;
    RenderState second;
    cycleLeaves(first, 0, 0.5f);
    cycleLeaves(second, 0, 0.25f);
    const QStringList firstIDs{kA};
    const QStringList secondIDs{kB};
    const MeterSource sources[] = {{&first, &firstIDs}, {&second, &secondIDs}};
    QMap<QString, float> levels;
    float master = 0.0f;
    pumpLevels(sources, first, levels, master);
    EXPECT_EQ(levels, (QMap<QString, float>{{kA, 0.5f}, {kB, 0.25f}}));
    const float* level = &*levels.constFind(kB);
    pumpLevels(sources, first, levels, master);
    EXPECT_EQ(&*levels.constFind(kB), level);
}

TEST(IoDiagnosticsLine, ListsAtMostEightChannelPeaksAndTheRawMaster)
{
    RenderState state;
    state.diagNch.store(3);
    state.diagOffset.store(1);
    state.diagPeaks[0].store(0.5f);
    state.diagPeaks[1].store(0.0f);
    state.diagPeaks[2].store(1.23456f);
    cycleLeaves(state, kMasterMeter, 0.0625f);
    EXPECT_EQ(ioDiagnosticsLine(state, 1), "io nch=3 apps=1 offset=1 chPeaks=[0.500 0.000 1.235] master=0.062");
    state.diagNch.store(0);
    EXPECT_EQ(ioDiagnosticsLine(state, 0), "io nch=0 apps=0 offset=1 chPeaks=[] master=0.062");
    state.diagNch.store(12);
    EXPECT_EQ(ioDiagnosticsLine(state, 2).count(QLatin1Char('.')), 9);
}

class DiagLogTest : public testing::Test {
protected:
    QString path() const { return dir.filePath(QStringLiteral("diag.log")); }
    static QByteArray contents(const QString& file) { return readFile(file, "<missing>"); }

    QTemporaryDir dir;
};

TEST_F(DiagLogTest, RestartReplacesTheFileAndAppendAddsLinesOrStartsANewFileForItsOwnerOnly)
{
    const auto mode = [&] {
        struct stat info {};
        return ::stat(QFile::encodeName(path()).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
    };
    writeFile(path(), "old line\n");
    ::chmod(QFile::encodeName(path()).constData(), 0644);
    const DiagLog log(path());
    log.restart(QStringLiteral("=== rebuild 1 app(s) ==="));
    log.append(QStringLiteral("  tap obj=5"));
    EXPECT_EQ(contents(path()), "=== rebuild 1 app(s) ===\n  tap obj=5\n");
    EXPECT_EQ(mode(), 0600u) << "an earlier run's file is closed to others";
    QFile::remove(path());
    const mode_t umaskBefore = ::umask(0);
    log.append(QStringLiteral("io nch=2"));
    ::umask(umaskBefore);
    EXPECT_EQ(contents(path()), "io nch=2\n");
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(DiagLogTest, NeverWritesIntoAFileThatIsNotItsOwnNorWaitsOnAFifo)
{
    const QString victim = dir.filePath(QStringLiteral("victim"));
    writeFile(victim, "precious\n");
    const DiagLog log(path());
    auto writeBoth = [&] {
        log.restart(QStringLiteral("header"));
        log.append(QStringLiteral("line"));
    };

    ASSERT_TRUE(QFile::link(victim, path()));
    writeBoth();
    EXPECT_EQ(contents(victim), "precious\n") << "through a symbolic link";

    QFile::remove(path());
    ASSERT_EQ(::link(QFile::encodeName(victim).constData(), QFile::encodeName(path()).constData()), 0);
    writeBoth();
    EXPECT_EQ(contents(victim), "precious\n") << "into a file with another name";

    if (geteuid() == 0) {
        QFile::remove(path());
        writeFile(path(), "theirs\n");
        ASSERT_EQ(::chown(QFile::encodeName(path()).constData(), 65534, 65534), 0);
        writeBoth();
        EXPECT_EQ(contents(path()), "theirs\n") << "into another user's file";
    }

    QFile::remove(path());
    ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    writeBoth();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "returned without a reader, and left the FIFO alone";
}

} // namespace
