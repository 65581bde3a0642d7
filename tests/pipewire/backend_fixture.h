#pragma once

// The fixture of the tests that run the mixer on a real PipeWire daemon: one
// private session per test program, players that play known tones as
// separate clients (through PipeWire's own API and through PulseAudio's),
// and recordings of what the sinks play, fitted. Each test leaves the
// session as it found it, so that the tests pass in one program as well as
// one by one.

#include "child_process.h"
#include "engine.h"
#include "event_pump.h"
#include "linux_process_inspector.h"
#include "memory_user_defaults.h"
#include "monitor_recorder.h"
#include "pipewire_audio_hardware.h"
#include "pipewire_session.h"
#include "pw_dump.h"
#include "signal_fit.h"
#include "test_player_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <span>

constexpr double kMusicHz = 440.0;
constexpr double kChatHz = 660.0;
constexpr double kRadioHz = 880.0;
constexpr double kAmplitude = 0.25;

class PipeWireBackendTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        session = new PipeWireSession;
        if (!session->start())
            FAIL() << session->errorString().toStdString();
        session->applyToThisProcess();
    }

    static void TearDownTestSuite()
    {
        delete session;
        session = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(session && session->isRunning());
        QDir(session->runtimeDir() + QStringLiteral("/ravlet")).removeRecursively();
    }

    void TearDown() override
    {
        // A failure on a loaded machine is often the audio server's: what
        // its daemons said, and whether they still run, tells.
        if (HasFailure()) {
            std::string tails;
            for (const QString& section : session->logs().split(QStringLiteral("==== "), Qt::SkipEmptyParts)) {
                const QStringList lines = section.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                tails += "==== " + lines.value(0).toStdString() + "\n"
                       + lines.mid(std::max<qsizetype>(1, lines.size() - 12)).join(QLatin1Char('\n')).toStdString() + "\n";
            }
            std::fprintf(stderr, "daemons %s; the last of their logs:\n%s",
                         session->isRunning() ? "running" : "NOT all running", tails.c_str());
            // Whole logs, for a failure that the tails do not explain.
            if (const QString keep = qEnvironmentVariable("RAVLET_TEST_LOGS"); !keep.isEmpty()) {
                const auto* test = testing::UnitTest::GetInstance()->current_test_info();
                const QString into = QStringLiteral("%1/%2.%3-%4").arg(keep, QLatin1String(test->test_suite_name()),
                                                                       QLatin1String(test->name()))
                                         .arg(QCoreApplication::applicationPid());
                QDir().mkpath(into);
                const QDir logs(session->rootDir() + QStringLiteral("/logs"));
                for (const QString& name : logs.entryList(QDir::Files))
                    QFile::copy(logs.filePath(name), into + QLatin1Char('/') + name);
            }
        }
        engine.reset();
        hardware.reset();
        connection.reset();
        // Where a stream was last sent, the session manager sends every later
        // stream of its kind (all players here have one role): a test that
        // left one sent to a device leaves a session as new.
        const QJsonArray dump = session->pwDump();
        const bool remembers = std::ranges::any_of(pwdump::nodes(dump), [&](const pwdump::Node& node) {
            return std::ranges::any_of(std::array{QStringLiteral("target.object"), QStringLiteral("target.node")}, [&](const QString& key) {
                const auto target = pwdump::metadataValue(dump, QStringLiteral("default"), node.id, key);
                const QString text = target ? pwdump::metadataText(*target) : QString();
                return !text.isEmpty() && text != QLatin1String("-1") && !text.startsWith(QLatin1String("ravlet"));
            });
        });
        players.clear();
        if ((remembers || !session->rememberedTargets().value_or(QMap<QString, QString>{}).isEmpty())
            && !session->restart(10000, true))
            FAIL() << session->errorString().toStdString();
        // The next test starts from the session as it was: the speakers the
        // output, at full volume and unmuted, and no link left.
        // The speakers chosen last, then no choice: WirePlumber prefers the
        // sinks chosen most recently once none is chosen.
        session->run(QStringLiteral("pw-metadata"), {QStringLiteral("0"), QStringLiteral("default.configured.audio.sink"),
                                                     QStringLiteral(R"({"name":"speakers"})"),
                                                     QStringLiteral("Spa:String:JSON")});
        session->run(QStringLiteral("pw-metadata"), {QStringLiteral("-d"), QStringLiteral("0"),
                                                     QStringLiteral("default.configured.audio.sink")});
        for (const QString& sink : {QStringLiteral("speakers"), QStringLiteral("headphones")}) {
            if (const auto node = pwdump::nodeByName(session->pwDump(), sink))
                session->run(QStringLiteral("pw-cli"), {QStringLiteral("s"), QString::number(node->id), QStringLiteral("Props"),
                                                        QStringLiteral("{ mute: false, channelVolumes: [ 1.0, 1.0 ] }")});
        }
        session->waitUntil([](const QJsonArray& dump) {
            return pwdump::countObjects(dump, QStringLiteral("Link")) == 0;
        }, 5000);
        pumpUntil([] { return session->metadataValue(0, QStringLiteral("default.audio.sink"))
                              == QStringLiteral(R"({"name":"speakers"})"); }, 5000);
    }

    // A player whose binary, and so whose application, is `name`.
    void play(const QString& name, double frequency, const QString& api = QStringLiteral("pipewire"),
              const QString& target = {}, double level = kAmplitude)
    {
        PlayerOptions options = playerOptions(name, frequency, api);
        options.amplitude = level;
        options.target = target;
        startPlayer(options);
    }

    static PlayerOptions playerOptions(const QString& name, double frequency, const QString& api)
    {
        PlayerOptions options;
        options.api = api;
        options.name = name;
        options.executableName = name;
        options.frequency = frequency;
        return options;
    }

    void startPlayer(const PlayerOptions& options)
    {
        players.emplace_back(*session);
        ASSERT_TRUE(players.back().start(options)) << players.back().output().toStdString();
    }

    void startEngine()
    {
        connection = std::make_unique<PipeWireConnection>();
        hardware = std::make_unique<PipeWireAudioHardware>(*connection, inspector);
        engine = std::make_unique<RavletEngine>(
            EnginePlatform{*hardware, inspector, defaults, session->rootDir() + QStringLiteral("/diag.log")});
    }

    // The ports of our mix node that the streams of an application are
    // linked to.
    QSet<quint32> mixPortsOf(const QString& application) const
    {
        const QJsonArray dump = session->pwDump();
        QSet<quint32> found;
        for (const pwdump::Node& stream : pwdump::nodesByApplication(dump, application)) {
            for (const pwdump::Link& link : pwdump::links(dump)) {
                const auto to = pwdump::nodeById(dump, link.inputNode);
                if (link.outputNode == stream.id && to
                    && to->prop(QStringLiteral("node.name")).startsWith(QLatin1String("ravlet-mix-")))
                    found.insert(link.inputPort);
            }
        }
        return found;
    }

    bool listed(const QString& id) const
    {
        return std::any_of(engine->apps().begin(), engine->apps().end(), [&](const AudioApp& app) { return app.id == id; });
    }

    // Refreshes until every named application is listed.
    void waitForApps(const QStringList& names)
    {
        ASSERT_TRUE(pumpUntil(
            [&] {
                engine->refresh();
                return std::all_of(names.begin(), names.end(), [&](const QString& name) { return listed(id(name)); });
            },
            10000))
            << "listed: " << [&] {
                   QStringList ids;
                   for (const AudioApp& app : engine->apps())
                       ids.append(app.id);
                   return ids.join(QLatin1Char(' ')).toStdString();
               }();
    }

    static QString id(const QString& name) { return QStringLiteral("client:") + name; }

    // What the sink plays while work runs, this thread's events pumped.
    std::vector<float> record(const QString& sink = QStringLiteral("speakers"), int milliseconds = 400,
                              const std::function<void()>& work = {})
    {
        // Recorded on a thread of its own: the engine's connection must keep
        // answering the daemon meanwhile, as it does in the program.
        QString error;
        auto recording = std::async(std::launch::async, [&] { return recordMonitor(*session, sink, milliseconds, &error); });
        if (work)
            work();
        std::vector<float> samples = pumpUntilReady(recording);
        EXPECT_FALSE(samples.empty()) << error.toStdString();
        return samples;
    }

    // Records until fit() of what the sink plays holds (moves take a few
    // hundred milliseconds), pumping the engine's event loop meanwhile.
    bool soundsLike(const std::function<bool(const std::vector<float>&)>& fits, int timeoutMs = 5000,
                    const QString& sink = QStringLiteral("speakers"))
    {
        return pumpUntil([&] { return fits(record(sink, 300)); }, timeoutMs);
    }

    // Whether the graph holds no node of ours.
    static bool nothingOfOurs()
    {
        const std::vector<pwdump::Node> nodes = pwdump::nodes(session->pwDump());
        return std::none_of(nodes.begin(), nodes.end(), [](const pwdump::Node& node) {
            return node.prop(QStringLiteral("node.name")).startsWith(QLatin1String("ravlet-"));
        });
    }

    static int openDescriptors()
    {
        return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    }

    // Runs of windows of the given length in which the first of the steady
    // tones fell below half its level: each run is one drop-out, however
    // long.
    static int dropOuts(std::span<const float> samples, const std::vector<double>& tones, double level, int windowMs = 5,
                        int channel = 0)
    {
        const std::size_t window = std::size_t(48 * windowMs) * 2;
        int count = 0;
        bool inGap = false;
        for (std::size_t start = 0; start + window <= samples.size(); start += window) {
            const bool gap = !(fitAmplitudes(samples.subspan(start, window), channel, tones).amplitudes.front() > level / 2);
            count += gap && !inGap ? 1 : 0;
            inGap = gap;
        }
        return count;
    }

    quint32 nodeOf(const QString& applicationName) const
    {
        const auto nodes = pwdump::nodesByApplication(session->pwDump(), applicationName);
        return nodes.empty() ? 0 : nodes.front().id;
    }

    static inline PipeWireSession* session = nullptr;
    std::list<TestPlayer> players;
    MemoryUserDefaults defaults;
    LinuxProcessInspector inspector;
    std::unique_ptr<PipeWireConnection> connection;
    std::unique_ptr<PipeWireAudioHardware> hardware;
    std::unique_ptr<RavletEngine> engine;
};

inline double amplitude(const std::vector<float>& samples, double frequency)
{
    return fitAmplitudes(samples, 0, {frequency}).amplitudes.front();
}
