// The mixer on a real PipeWire daemon: players play known tones as separate
// clients, through PipeWire's own API and through PulseAudio's, and what the
// sinks play is recorded from their monitors and fitted.

#include "backend_fixture.h"
#include "system_log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>

namespace {

TEST_F(PipeWireBackendTest, SinksAreTheOutputsAndPickingOneMovesTheMixThere)
{
    play(QStringLiteral("music"), kMusicHz);
    startEngine();
    waitForApps({QStringLiteral("music")});
    QStringList names;
    for (const OutputDevice& output : engine->outputs())
        names.append(output.name);
    EXPECT_EQ(names, (QStringList{QStringLiteral("Speakers"), QStringLiteral("Headphones")}))
        << "our private sink is never offered";
    EXPECT_EQ(engine->outputName(), QStringLiteral("Speakers"));

    engine->selectOutputDevice(engine->outputs().last().id);
    // At once, without waiting for the daemon's echo, which can be lost.
    EXPECT_EQ(engine->outputName(), QStringLiteral("Headphones"));
    EXPECT_EQ(session->metadataValue(0, QStringLiteral("default.configured.audio.sink")),
              QStringLiteral(R"({"name":"headphones"})"));
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.01; },
                           5000, QStringLiteral("headphones")));
    EXPECT_LT(amplitudeDb(amplitude(record(), kMusicHz)), -90.0) << "the speakers fall silent";
    const QString defaultSink = session->metadataValue(0, QStringLiteral("default.audio.sink")).value_or(QString());
    EXPECT_FALSE(defaultSink.contains(QLatin1String("ravlet"))) << defaultSink.toStdString();
}

TEST_F(PipeWireBackendTest, MasterVolumeFollowsTheCubicCurveAndKeepsTheBalanceAndMuteGoesBothWays)
{
    // PipeWire 1.x drops a volume set on a sink that never played (its
    // converter has no format yet to apply it to); a device has played once.
    play(QStringLiteral("music"), kMusicHz);
    ASSERT_TRUE(soundsLike([](const auto& s) { return amplitude(s, kMusicHz) > 0.2; }));
    players.clear();
    startEngine();
    const quint32 speakers = pwdump::nodeByName(session->pwDump(), QStringLiteral("speakers"))->id;
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"),
                             {QStringLiteral("s"), QString::number(speakers), QStringLiteral("Props"),
                              QStringLiteral("{ channelVolumes: [ 0.5, 0.25 ] }")}));
    ASSERT_TRUE(pumpUntil([&] {
        engine->refresh();
        return engine->masterVolumeSupported() && std::abs(engine->masterVolume() - std::cbrt(0.5f)) < 1e-3f;
    }, 5000)) << "the louder side, on the cubic curve: " << engine->masterVolume();

    engine->setMasterVolume(0.5f);
    ASSERT_TRUE(pumpUntil([&] {
        engine->refresh();
        return std::abs(engine->masterVolume() - 0.5f) < 1e-3f;
    }, 5000)) << engine->masterVolume();

    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"), {QStringLiteral("s"), QString::number(speakers),
                                                        QStringLiteral("Props"), QStringLiteral("{ mute: true }")}));
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return engine->masterMuteSupported() && engine->masterMuted();
    }, 5000)) << "muted elsewhere";
    const auto mutedOnTheDaemon = [&] {
        for (const QJsonValue& object : session->pwDump()) {
            if (object[QLatin1String("id")].toInteger() == speakers)
                return object[QLatin1String("info")][QLatin1String("params")][QLatin1String("Props")][0]
                             [QLatin1String("mute")];
        }
        return QJsonValue();
    };
    engine->toggleMasterMuted();
    EXPECT_TRUE(pumpUntil([&] { return mutedOnTheDaemon() == QJsonValue(false); }, 5000));
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return !engine->masterMuted();
    }, 5000)) << "read back";
    QByteArray props;
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"),
                             {QStringLiteral("e"), QString::number(speakers), QStringLiteral("Props")}, &props));
    EXPECT_TRUE(props.contains("0.125")) << props.constData();
    EXPECT_TRUE(props.contains("0.0625")) << "the right side stays at half the left, muted or not";
}

TEST_F(PipeWireBackendTest, GainAndMuteShapeOneApplicationAndLeaveTheOthersAlone)
{
    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pipewire"));
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    play(QStringLiteral("radio"), kRadioHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat"), QStringLiteral("radio")});
    const quint32 aggregateBefore = engine->aggregateDevice();

    engine->setGain(id(QStringLiteral("chat")), 0.5f);
    EXPECT_TRUE(soundsLike([](const std::vector<float>& s) {
        const SineFit fit = fitAmplitudes(s, 0, {kMusicHz, kChatHz, kRadioHz});
        return std::abs(fit.amplitudes[0] - kAmplitude) < 0.005 && std::abs(fit.amplitudes[1] - kAmplitude / 2) < 0.005
            && std::abs(fit.amplitudes[2] - kAmplitude) < 0.005 && residualDb(s, 0, fit) < -60.0;
    })) << "music + 0.5 × chat + radio";
    const QJsonArray dump = session->pwDump();
    const auto speakers = pwdump::nodeByName(dump, QStringLiteral("speakers"));
    EXPECT_GT(pwdump::countLinks(dump, nodeOf(QStringLiteral("radio")), speakers->id), 0)
        << "an application at unity plays to its device directly";
    EXPECT_EQ(pwdump::countLinks(dump, nodeOf(QStringLiteral("chat")), speakers->id), 0);

    const quint32 aggregate = engine->aggregateDevice();
    engine->setGain(id(QStringLiteral("chat")), 0.25f);
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kChatHz) - kAmplitude / 4) < 0.005; }));
    EXPECT_EQ(engine->aggregateDevice(), aggregate) << "a gain change is heard without a rebuild";
    EXPECT_NE(aggregate, aggregateBefore);

    engine->setMuted(id(QStringLiteral("chat")), true);
    EXPECT_TRUE(soundsLike([](const std::vector<float>& s) {
        return energyDb(s, 0, kChatHz) < -90.0 && std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.005;
    }));
}

TEST_F(PipeWireBackendTest, AMutedApplicationStaysSilentThroughRebuildsCausedByOthers)
{
    // The others play softly: a rebuild interrupts them for a moment, and
    // the click must not pass for the muted one.
    constexpr double kSoft = 0.005;
    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pipewire"), {}, kSoft);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    play(QStringLiteral("radio"), kRadioHz, QStringLiteral("pipewire"), {}, kSoft);
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat"), QStringLiteral("radio")});
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(soundsLike([](const auto& s) { return energyDb(s, 0, kChatHz) < -90.0; }));

    // Radio in and out of the setup, every change a rebuild, all of it
    // recorded in one piece.
    const std::vector<float> samples = record(QStringLiteral("speakers"), 3000, [&] {
        for (int i = 0; i < 50; ++i) {
            engine->setGain(id(QStringLiteral("radio")), i % 2 == 0 ? 0.7f : 1.0f);
            pumpFor(40);
        }
    });
    ASSERT_FALSE(samples.empty());
    constexpr std::size_t kWindow = 4800 * 2;
    double loudest = -200.0;
    for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        const std::span<const float> window(samples.data() + start, kWindow);
        loudest = std::max(loudest, amplitudeDb(fitAmplitudes(window, 0, {kMusicHz, kChatHz, kRadioHz}).amplitudes[1]));
    }
    EXPECT_LT(loudest, -60.0);
    EXPECT_TRUE(soundsLike([&](const auto& s) { return std::abs(amplitude(s, kMusicHz) - kSoft) < kSoft / 10; }))
        << "the others play on";
}

TEST_F(PipeWireBackendTest, AStreamSentElsewhereByTheUserGoesBackThereAfterwards)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    ASSERT_TRUE(pumpUntil([&] { return nodeOf(QStringLiteral("chat")) != 0; }, 5000));
    const quint32 chat = nodeOf(QStringLiteral("chat"));
    ASSERT_TRUE(session->run(QStringLiteral("pw-metadata"),
                             {QString::number(chat), QStringLiteral("target.object"), QStringLiteral("headphones")}));
    ASSERT_TRUE(soundsLike([](const auto& s) { return amplitude(s, kChatHz) > 0.2; }, 5000, QStringLiteral("headphones")));

    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(soundsLike([](const auto& s) { return energyDb(s, 0, kChatHz) < -90.0; }, 5000,
                           QStringLiteral("headphones")));

    engine->setMuted(id(QStringLiteral("chat")), false);
    EXPECT_TRUE(soundsLike([](const auto& s) { return amplitude(s, kChatHz) > 0.2; }, 5000, QStringLiteral("headphones")));
    EXPECT_EQ(session->metadataValue(chat, QStringLiteral("target.object")), QStringLiteral("headphones"));
    std::optional<QMap<QString, QString>> remembered;
    ASSERT_TRUE(pumpUntil([&] { return (remembered = session->rememberedTargets()).has_value(); }, 3000));
    for (const QString& target : remembered->values())
        EXPECT_FALSE(target.startsWith(QLatin1String("ravlet"))) << "no target of ours is remembered: " << target.toStdString();
}

TEST_F(PipeWireBackendTest, AfterTheDaemonRestartsAMutedApplicationIsSilencedAgain)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(soundsLike([](const auto& s) { return energyDb(s, 0, kChatHz) < -90.0; }));

    players.clear();
    ASSERT_TRUE(session->restart()) << session->errorString().toStdString();
    ASSERT_TRUE(pumpUntil([&] { return connection->isConnected(); }, 5000)) << "reconnects by itself";
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    EXPECT_TRUE(soundsLike([](const std::vector<float>& s) {
        return energyDb(s, 0, kChatHz) < -90.0 && std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.005;
    }, 10000));
}

// A loopback's playback side carries someone else's sound; a stream that
// asked never to be moved cannot be taken off its device: it plays on
// there, and only there, also when its application was tapped before it
// came, and muting that application is the tap failure the engine already
// reports; one that never reaches our sink is given up on. Clients of
// the PulseAudio server whose word for their process cannot be checked are
// each an application of their own, not one with the server's process.
TEST_F(PipeWireBackendTest, LoopbacksAreNoApplicationAndStreamsThatMustStayAreLeftPlaying)
{
    const QString wav = session->rootDir() + QStringLiteral("/tone.wav");
    {
        QFile file(wav);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        constexpr qint32 frames = 48000 * 20;
        QByteArray data;
        for (qint32 i = 0; i < frames; ++i) {
            const auto sample = qint16(std::lround(32767.0 * kAmplitude * std::sin(2.0 * M_PI * kChatHz * i / 48000.0)));
            data.append(reinterpret_cast<const char*>(&sample), 2).append(reinterpret_cast<const char*>(&sample), 2);
        }
        const auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
        const auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
        file.write("RIFF" + u32(36 + quint32(data.size())) + "WAVEfmt " + u32(16) + u16(1) + u16(2) + u32(48000)
                   + u32(48000 * 4) + u16(4) + u16(16) + "data" + u32(quint32(data.size())) + data);
    }
    // Tools under names of their own, so that each is one application
    // whatever it reports itself as, and the loopback is not known for one
    // by its name.
    const auto copyOf = [&](const QString& tool, const QString& name) {
        const QString path = session->rootDir() + QLatin1Char('/') + name;
        return QFile::exists(path) || QFile::copy(tool, path) ? path : QString();
    };
    QStringList log;
    setSystemLogSink([&](const QString& line) { log.append(line); });
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("steady"), kRadioHz);
    ChildProcess loopback;
    ChildProcess fixed;
    ChildProcess loose;
    ChildProcess tellers[2];
    // Kept off the speakers, which it would otherwise echo into themselves.
    ASSERT_TRUE(loopback.start(copyOf(QStringLiteral("/usr/bin/pw-loopback"), QStringLiteral("relay")),
                               {QStringLiteral("-n"), QStringLiteral("looper"), QStringLiteral("-C"), QStringLiteral("headphones"),
                                QStringLiteral("--capture-props"), QStringLiteral("{ stream.capture.sink = true }"),
                                QStringLiteral("-P"), QStringLiteral("headphones")},
                               session->environment(), session->rootDir() + QStringLiteral("/loopback.log")));
    for (int i = 0; i < 2; ++i) {
        const QString name = QStringLiteral("teller%1").arg(i);
        // A process id no process has.
        ASSERT_TRUE(tellers[i].start(copyOf(QStringLiteral("/usr/bin/pacat"), name),
                                     {QStringLiteral("--playback"), QStringLiteral("--client-name=") + name,
                                      QStringLiteral("--property=application.process.id=4194999"),
                                      QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                                      QStringLiteral("--channels=2"), QStringLiteral("/dev/zero")},
                                     session->environment(), session->rootDir() + QLatin1Char('/') + name + QStringLiteral(".log")));
    }
    // Linked by no one: whatever target it is given, it never moves.
    ASSERT_TRUE(loose.start(copyOf(QStringLiteral("/usr/bin/pw-cat"), QStringLiteral("loose")),
                            {QStringLiteral("--playback"), QStringLiteral("-P"), QStringLiteral("{ node.autoconnect = false }"), wav},
                            session->environment(), session->rootDir() + QStringLiteral("/loose.log")));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("steady"), QStringLiteral("teller0"), QStringLiteral("teller1"),
                 QStringLiteral("loose")});
    EXPECT_EQ(engine->apps().size(), 5) << "the loopback is no application";

    // Given up on after a while, it keeps no target of ours.
    engine->setMuted(id(QStringLiteral("loose")), true);
    ASSERT_TRUE(pumpUntil([&] {
        return std::any_of(log.begin(), log.end(), [](const QString& line) { return line.contains(QLatin1String("did not move")); });
    }, 6000));
    pumpFor(300);
    EXPECT_FALSE(session->metadataValue(nodeOf(QStringLiteral("loose")), QStringLiteral("target.object")).has_value());

    engine->setGain(id(QStringLiteral("steady")), 0.5f);
    ASSERT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kRadioHz) - kAmplitude / 2) < 0.005; }));
    ASSERT_TRUE(fixed.start(copyOf(QStringLiteral("/usr/bin/pw-cat"), QStringLiteral("steady")),
                            {QStringLiteral("--playback"), QStringLiteral("-P"), QStringLiteral("{ node.dont-reconnect = true }"), wav},
                            session->environment(), session->rootDir() + QStringLiteral("/fixed.log")));
    // At once, before the engine's next look at the processes takes the
    // application off the mix for good.
    ASSERT_TRUE(pumpUntil([&] {
        const auto nodes = pwdump::nodesByApplication(session->pwDump(), QStringLiteral("steady"));
        return nodes.size() == 2 && std::all_of(nodes.begin(), nodes.end(), [](const auto& n) { return n.state == "running"; });
    }, 5000));
    EXPECT_NEAR(amplitude(record(QStringLiteral("speakers"), 300), kChatHz), kAmplitude, 0.01) << "played once, unscaled";

    engine->refresh();
    engine->setMuted(id(QStringLiteral("steady")), true);
    EXPECT_TRUE(log.contains(QStringLiteral("[ravlet] tap create failed client:steady: 1852797029"))) << log.join('\n').toStdString();
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.01; }));
    setSystemLogSink({});
}

// Streams come and go while applications are tapped and untapped; once it
// is all over, the graph is as it was.
TEST_F(PipeWireBackendTest, ManyRebuildsWithPlayersComingAndGoingLeaveNothingOfOursInTheGraph)
{
    const auto counts = [](const QJsonArray& dump) {
        return std::array<int, 4>{pwdump::countObjects(dump, QStringLiteral("Node")), pwdump::countObjects(dump, QStringLiteral("Link")),
                                  pwdump::countObjects(dump, QStringLiteral("Port")),
                                  pwdump::countMetadataKeys(dump, QStringLiteral("default"))};
    };
    play(QStringLiteral("music"), kMusicHz);
    ASSERT_TRUE(pumpUntil([&] { return nodeOf(QStringLiteral("music")) != 0; }, 5000));
    pumpFor(300);
    const auto before = counts(session->pwDump());

    startEngine();
    for (int i = 0; i < 200; ++i) {
        if (i % 40 == 0)
            play(QStringLiteral("chat%1").arg(i / 40), kChatHz + i, i % 80 == 0 ? QStringLiteral("pulse") : QStringLiteral("pipewire"));
        if (i % 40 == 20)
            players.pop_back();
        engine->refresh();
        for (const AudioApp& app : engine->apps())
            engine->setMuted(app.id, (i + int(app.name.size())) % 3 == 0);
        pumpFor(10);
    }
    players.erase(std::next(players.begin()), players.end());
    engine.reset();
    hardware.reset();
    connection.reset();
    QJsonArray after;
    EXPECT_TRUE(session->waitUntil([&](const QJsonArray& dump) { return counts(dump) == before; }, 5000, &after))
        << "nodes, links, ports, metadata keys before: " << before[0] << " " << before[1] << " " << before[2] << " "
        << before[3] << ", after: " << counts(after)[0] << " " << counts(after)[1] << " " << counts(after)[2] << " "
        << counts(after)[3];
}

// Started before any audio server: it says why it cannot mix, and picks
// the daemon up by itself once one answers.
TEST(PipeWireAbsent, SaysWhyAndConnectsOnceADaemonStarts)
{
    QTemporaryDir empty;
    qputenv("XDG_RUNTIME_DIR", empty.path().toUtf8());
    qunsetenv("PIPEWIRE_REMOTE");
    qunsetenv("PIPEWIRE_RUNTIME_DIR");
    PipeWireConnection connection;
    LinuxProcessInspector inspector;
    PipeWireAudioHardware hardware(connection, inspector);
    MemoryUserDefaults defaults;
    RavletEngine engine(EnginePlatform{hardware, inspector, defaults, empty.filePath(QStringLiteral("diag.log"))});
    EXPECT_FALSE(engine.supported());
    EXPECT_EQ(engine.unsupportedText(), QStringLiteral("Ravlet needs PipeWire: no audio server answered."));
    EXPECT_TRUE(engine.outputs().isEmpty());

    QDir(empty.path()).mkpath(QStringLiteral("pulse"));
    QFile(empty.filePath(QStringLiteral("pulse/native"))).open(QIODevice::WriteOnly);
    pumpFor(1200);
    engine.refresh();
    EXPECT_EQ(engine.unsupportedText(),
              QStringLiteral("Ravlet needs PipeWire: this desktop's sound server is PulseAudio, not PipeWire."));

    PipeWireSession session;
    ASSERT_TRUE(session.start()) << session.errorString().toStdString();
    session.applyToThisProcess();
    EXPECT_TRUE(pumpUntil([&] {
        engine.refresh();
        return engine.supported() && engine.outputs().size() == 2;
    }, 10000));
    EXPECT_TRUE(engine.unsupportedText().isEmpty());
}

} // namespace
