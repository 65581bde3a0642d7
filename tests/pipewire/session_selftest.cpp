// Proves the harness the PipeWire backend's tests stand on: the private
// session comes up as they expect, both client APIs are heard at the
// amplitude they play, targets are honoured, and nothing outlives the session.

#include "monitor_recorder.h"
#include "pipewire_session.h"
#include "pw_dump.h"
#include "signal_fit.h"
#include "support/qt_printers.h"
#include "test_player_process.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

namespace {

constexpr double kTolerance = 0.02;      // relative amplitude
constexpr double kCleanDb = -60.0;       // residual of an undisturbed tone
constexpr double kSilentDb = -100.0;     // a tone that must not be there at all

class PipeWireSessionTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.start()) << session.errorString().toStdString(); }

    // The player's stream once WirePlumber has linked both its channels to
    // the sink.
    std::optional<pwdump::Node> linkedStream(const QString& application, const QString& sinkName)
    {
        std::optional<pwdump::Node> found;
        const bool linked = session.waitUntil(
            [&](const QJsonArray& graph) {
                const auto streams = pwdump::nodesByApplication(graph, application);
                const auto sink = pwdump::nodeByName(graph, sinkName);
                if (streams.size() != 1 || !sink)
                    return false;
                found = streams.front();
                return pwdump::countLinks(graph, found->id, sink->id) == 2;
            },
            10000);
        if (!linked) {
            ADD_FAILURE() << application.toStdString() << " not linked to " << sinkName.toStdString() << "\n"
                          << session.logs().toStdString();
            return std::nullopt;
        }
        return found;
    }

    std::optional<double> steady(const QString& sinkName, double frequency)
    {
        QString error;
        const auto amplitude = waitForSteadyTone(session, sinkName, frequency, 5000, &error);
        EXPECT_TRUE(amplitude) << error.toStdString() << "\n" << session.logs().toStdString();
        return amplitude;
    }

    std::vector<float> record(const QString& sinkName)
    {
        QString error;
        std::vector<float> samples = recordMonitor(session, sinkName, 500, &error);
        EXPECT_EQ(samples.size(), 500u * 48 * 2) << error.toStdString();
        return samples;
    }

    PipeWireSession session;
};

TEST_F(PipeWireSessionTest, StartsWithBothSinksAndSpeakersAsDefaultInItsOwnDirectories)
{
    const QJsonArray dump = session.pwDump();
    for (const QString& name : {QStringLiteral("speakers"), QStringLiteral("headphones")}) {
        const auto sink = pwdump::nodeByName(dump, name);
        ASSERT_TRUE(sink) << name.toStdString();
        EXPECT_EQ(sink->prop(QStringLiteral("media.class")), QStringLiteral("Audio/Sink"));
        EXPECT_EQ(pwdump::countPorts(dump, sink->id, QStringLiteral("input")), 2);
    }
    EXPECT_EQ(session.metadataValue(0, QStringLiteral("default.audio.sink")),
              QStringLiteral(R"({"name":"speakers"})"));

    struct stat runtime {};
    ASSERT_EQ(::stat(QFile::encodeName(session.runtimeDir()).constData(), &runtime), 0);
    EXPECT_EQ(runtime.st_mode & 0777, 0700u);
    // A pulse client lands on this session's socket, not the user's.
    QByteArray info;
    ASSERT_TRUE(session.run(QStringLiteral("pactl"), {QStringLiteral("info")}, &info));
    EXPECT_TRUE(info.contains(("Server String: " + session.pulseSocket()).toUtf8())) << info.toStdString();

    // So does a client that takes this process's own environment.
    session.applyToThisProcess();
    QByteArray inherited;
    QString error;
    ASSERT_TRUE(runTool(QStringLiteral("pw-dump"), {}, QProcessEnvironment::systemEnvironment(), 5000, &inherited, &error))
        << error.toStdString();
    EXPECT_TRUE(inherited.contains(R"("node.name": "headphones")"));
}

TEST_F(PipeWireSessionTest, PlayersOfBothApisAreHeardAtTheirAmplitudeAndStopOnTerm)
{
    TestPlayer pulse(session);
    TestPlayer pipewire(session);
    ASSERT_TRUE(pulse.start({.api = QStringLiteral("pulse"), .name = QStringLiteral("Pulse Tone"),
                             .frequency = 440, .amplitude = 0.25}));
    ASSERT_TRUE(pipewire.start({.api = QStringLiteral("pipewire"), .name = QStringLiteral("PipeWire Tone"),
                                .frequency = 1000, .amplitude = 0.4, .executableName = QStringLiteral("tone-app")}));
    const auto pulseStream = linkedStream(QStringLiteral("Pulse Tone"), QStringLiteral("speakers"));
    const auto pipewireStream = linkedStream(QStringLiteral("PipeWire Tone"), QStringLiteral("speakers"));
    ASSERT_TRUE(pulseStream && pipewireStream);
    EXPECT_EQ(pulseStream->prop(QStringLiteral("media.class")), QStringLiteral("Stream/Output/Audio"));
    EXPECT_EQ(pipewireStream->prop(QStringLiteral("media.class")), QStringLiteral("Stream/Output/Audio"));
    const auto client = pwdump::clientProps(session.pwDump(), pipewireStream->prop(QStringLiteral("client.id")).toUInt());
    ASSERT_TRUE(client);
    EXPECT_EQ(client->value(QStringLiteral("application.process.binary")).toString(), QStringLiteral("tone-app"));

    ASSERT_TRUE(steady(QStringLiteral("speakers"), 440) && steady(QStringLiteral("speakers"), 1000));
    const std::vector<float> samples = record(QStringLiteral("speakers"));
    for (int channel = 0; channel < 2; ++channel) {
        const SineFit fit = fitAmplitudes(samples, channel, {440, 1000});
        EXPECT_NEAR(fit.amplitudes[0], 0.25, 0.25 * kTolerance) << "channel " << channel;
        EXPECT_NEAR(fit.amplitudes[1], 0.4, 0.4 * kTolerance) << "channel " << channel;
        EXPECT_LT(residualDb(samples, channel, fit), kCleanDb) << "channel " << channel;
    }

    for (TestPlayer* player : {&pulse, &pipewire}) {
        EXPECT_TRUE(player->stop());
        EXPECT_EQ(player->exitCode(), 0) << player->output().toStdString();
    }
    EXPECT_TRUE(session.waitUntil([](const QJsonArray& dump) {
        return pwdump::nodesByApplication(dump, QStringLiteral("Pulse Tone")).empty()
            && pwdump::nodesByApplication(dump, QStringLiteral("PipeWire Tone")).empty();
    }, 5000));
}

TEST_F(PipeWireSessionTest, TargetedPlayersAreHeardOnlyOnTheirSink)
{
    TestPlayer pulse(session);
    TestPlayer pipewire(session);
    ASSERT_TRUE(pulse.start({.api = QStringLiteral("pulse"), .name = QStringLiteral("Pulse Call"),
                             .frequency = 550, .amplitude = 0.3, .target = QStringLiteral("headphones")}));
    ASSERT_TRUE(pipewire.start({.api = QStringLiteral("pipewire"), .name = QStringLiteral("PipeWire Call"),
                                .frequency = 660, .amplitude = 0.2, .target = QStringLiteral("headphones")}));
    ASSERT_TRUE(linkedStream(QStringLiteral("Pulse Call"), QStringLiteral("headphones")));
    ASSERT_TRUE(linkedStream(QStringLiteral("PipeWire Call"), QStringLiteral("headphones")));

    ASSERT_TRUE(steady(QStringLiteral("headphones"), 550) && steady(QStringLiteral("headphones"), 660));
    const std::vector<float> headphones = record(QStringLiteral("headphones"));
    const SineFit fit = fitAmplitudes(headphones, 0, {550, 660});
    EXPECT_NEAR(fit.amplitudes[0], 0.3, 0.3 * kTolerance);
    EXPECT_NEAR(fit.amplitudes[1], 0.2, 0.2 * kTolerance);
    EXPECT_LT(residualDb(headphones, 0, fit), kCleanDb);

    const std::vector<float> speakers = record(QStringLiteral("speakers"));
    EXPECT_LT(energyDb(speakers, 0, 550), kSilentDb);
    EXPECT_LT(energyDb(speakers, 1, 660), kSilentDb);
}

TEST_F(PipeWireSessionTest, RestartBringsTheSessionBackWithNewDaemons)
{
    const std::vector<qint64> before = session.pids();
    ASSERT_TRUE(session.restart()) << session.errorString().toStdString();
    const std::vector<qint64> after = session.pids();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[0], before[0]) << "the bus stays";
    for (std::size_t i = 1; i < after.size(); ++i)
        EXPECT_NE(after[i], before[i]);

    EXPECT_EQ(session.metadataValue(0, QStringLiteral("default.audio.sink")),
              QStringLiteral(R"({"name":"speakers"})"));
    TestPlayer player(session);
    ASSERT_TRUE(player.start({.name = QStringLiteral("After Restart"), .frequency = 880}));
    ASSERT_TRUE(linkedStream(QStringLiteral("After Restart"), QStringLiteral("speakers")));
    const auto amplitude = steady(QStringLiteral("speakers"), 880);
    ASSERT_TRUE(amplitude);
    EXPECT_NEAR(*amplitude, 0.25, 0.25 * kTolerance);
}

TEST_F(PipeWireSessionTest, StopLeavesNoProcessOrGroupBehind)
{
    TestPlayer player(session);
    ASSERT_TRUE(player.start({.name = QStringLiteral("Left Playing")}));
    ASSERT_TRUE(linkedStream(QStringLiteral("Left Playing"), QStringLiteral("speakers")));
    const std::vector<qint64> pids = session.pids();
    ASSERT_EQ(pids.size(), 4u);

    session.stop();
    EXPECT_TRUE(session.pids().empty());
    for (const qint64 pid : pids) {
        const int process = ::kill(static_cast<pid_t>(pid), 0);
        const int why = errno;
        EXPECT_TRUE(process == -1 && why == ESRCH) << pid;
        EXPECT_EQ(::kill(static_cast<pid_t>(-pid), 0), -1) << "group " << pid;
    }
    // A client that loses its server ends by itself.
    EXPECT_TRUE(player.waitForExit(5000));
}

} // namespace
