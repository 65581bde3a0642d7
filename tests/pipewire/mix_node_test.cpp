// The mix node on a real PipeWire daemon: which side of a sink each channel
// lands on, whether anyone Ravlet does not touch hears it at work, what a
// rebuild leaves behind, and whether the players it holds can finish.

#include "backend_fixture.h"

#include <QDir>
#include <QElapsedTimer>

#include <span>

namespace {

constexpr double kRightHz = 550.0;
constexpr double kMovieHz = 1100.0;
constexpr double kMovieRightHz = 1320.0;
constexpr double kVoiceHz = 770.0;

class MixNodeTest : public PipeWireBackendTest {
protected:
    void TearDown() override
    {
        PipeWireBackendTest::TearDown();
        for (const quint32 sink : std::as_const(m_sinks))
            session->run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), QString::number(sink)});
    }

    // A sink of the session whose ports the daemon numbers in the order of
    // positions; it goes at the end of the test. WirePlumber 0.4.13 crashes
    // when a sink it is about to suspend is destroyed, so it never is.
    quint32 addSink(const QString& name, const QString& positions)
    {
        const QString args = QStringLiteral("{ factory.name = support.null-audio-sink node.name = %1 node.description = %2 "
                                            "media.class = Audio/Sink audio.position = [ %3 ] object.linger = true "
                                            "monitor.channel-volumes = true session.suspend-timeout-seconds = 0 }")
                                 .arg(name.toLower(), name, positions);
        if (!session->run(QStringLiteral("pw-cli"), {QStringLiteral("create-node"), QStringLiteral("adapter"), args}))
            return 0;
        std::optional<pwdump::Node> node;
        session->waitUntil([&](const QJsonArray& dump) {
            node = pwdump::nodeByName(dump, name.toLower());
            return node && pwdump::countPorts(dump, node->id, QStringLiteral("input")) == positions.count(' ') + 1;
        }, 5000);
        if (node)
            m_sinks.append(node->id);
        return node ? node->id : 0;
    }

    // The channel of the sink's input port with the lowest id.
    QString firstPortChannel(quint32 sink) const
    {
        std::map<qint64, QString> channels;
        for (const QJsonValue& object : session->pwDump()) {
            const QJsonObject info = object[QLatin1String("info")].toObject();
            if (info[QLatin1String("direction")] == QLatin1String("input")
                && info[QLatin1String("props")][QLatin1String("node.id")].toInteger() == sink)
                channels[object[QLatin1String("id")].toInteger()] = info[QLatin1String("props")][QLatin1String("audio.channel")].toString();
        }
        return channels.empty() ? QString() : channels.begin()->second;
    }

    AudioObjectID output(const QString& name) const
    {
        for (const OutputDevice& device : engine->outputs()) {
            if (device.name == name)
                return device.id;
        }
        return 0;
    }

    QList<quint32> m_sinks;
};

// Each sink numbers its ports in another order; the players play one tone
// on their left and another on their right (a 5.1 player on its left and
// right pairs, a mono one on its only channel), all three tapped.
TEST_F(MixNodeTest, EachChannelLandsOnItsOwnSideWhateverOrderTheSinkNumberedItsPortsIn)
{
    PlayerOptions stereo;
    stereo.name = stereo.executableName = QStringLiteral("music");
    stereo.frequency = kMusicHz;
    stereo.rightFrequency = kRightHz;
    PlayerOptions surround = stereo;
    surround.name = surround.executableName = QStringLiteral("movie");
    surround.api = QStringLiteral("pulse");
    surround.channels = 6;
    surround.frequency = kMovieHz;
    surround.rightFrequency = kMovieRightHz;
    PlayerOptions mono = stereo;
    mono.name = mono.executableName = QStringLiteral("voice");
    mono.channels = 1;
    mono.frequency = kVoiceHz;
    mono.rightFrequency = 0;
    for (const PlayerOptions& options : {stereo, surround, mono}) {
        players.emplace_back(*session);
        ASSERT_TRUE(players.back().start(options)) << players.back().output().toStdString();
    }
    const quint32 mirrored = addSink(QStringLiteral("Mirrored"), QStringLiteral("FR FL"));
    const quint32 single = addSink(QStringLiteral("Single"), QStringLiteral("MONO"));
    const quint32 cinema = addSink(QStringLiteral("Cinema"), QStringLiteral("RR FR LFE FC RL FL"));
    ASSERT_TRUE(mirrored && single && cinema);
    ASSERT_EQ(firstPortChannel(mirrored), QStringLiteral("FR")) << "the case the test is about";
    ASSERT_EQ(firstPortChannel(cinema), QStringLiteral("RR"));

    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("movie"), QStringLiteral("voice")});
    for (const QString& app : {QStringLiteral("music"), QStringLiteral("movie"), QStringLiteral("voice")})
        engine->setGain(id(app), 0.5f);

    // Each tone and the sides it belongs on; a mono sink has all of them on
    // its one channel. The levels are the daemon's own mixdowns': only the
    // sides count.
    const std::vector<double> tones = {kMusicHz, kRightHz, kMovieHz, kMovieRightHz, kVoiceHz};
    const std::vector<std::pair<bool, bool>> sides = {{true, false}, {false, true}, {true, false}, {false, true}, {true, true}};
    for (const QString& sink : {QStringLiteral("Speakers"), QStringLiteral("Mirrored"), QStringLiteral("Cinema"), QStringLiteral("Single")}) {
        ASSERT_TRUE(pumpUntil([&] {
            engine->refresh();
            return output(sink) != 0;
        }, 5000));
        engine->selectOutputDevice(output(sink));
        const bool monoSink = sink == QLatin1String("Single");
        std::string heard;
        EXPECT_TRUE(soundsLike([&](const std::vector<float>& s) {
            heard.clear();
            bool fits = true;
            for (const int channel : {0, 1}) {
                const SineFit fit = fitAmplitudes(s, channel, tones);
                for (std::size_t i = 0; i < tones.size(); ++i) {
                    const bool wanted = monoSink || (channel == 0 ? sides[i].first : sides[i].second);
                    fits = fits && (wanted ? fit.amplitudes[i] > 0.1 : fit.amplitudes[i] < 0.001);
                    heard += " " + std::to_string(fit.amplitudes[i]);
                }
            }
            return fits;
        }, 5000, sink.toLower())) << sink.toStdString() << ", left then right:" << heard;
    }
}

// Untapped players of both APIs, recorded in one piece while the mixer
// starts and while another application is tapped and untapped: none of them
// may miss a beat. When the mixer ends, the clock our private sink follows
// changes once, and they may miss one.
TEST_F(MixNodeTest, UntappedApplicationsPlayOnThroughRebuilds)
{
    constexpr double kRadioHz = 1000.0;
    constexpr double kTalkHz = 1500.0;
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    play(QStringLiteral("radio"), kRadioHz);
    play(QStringLiteral("talk"), kTalkHz, QStringLiteral("pulse"));
    const std::vector<double> tones = {kMusicHz, kChatHz, kRadioHz, kTalkHz};
    ASSERT_TRUE(soundsLike([&](const auto& s) {
        const SineFit fit = fitAmplitudes(s, 0, tones);
        return std::all_of(fit.amplitudes.begin(), fit.amplitudes.end(), [](double a) { return std::abs(a - kAmplitude) < 0.005; });
    }));
    const auto dropOutsWhile = [&](int milliseconds, const std::function<void()>& work) {
        const std::vector<float> samples = record(QStringLiteral("speakers"), milliseconds, work);
        return std::max(dropOuts(samples, {kRadioHz, kMusicHz, kChatHz, kTalkHz}, kAmplitude),
                        dropOuts(samples, {kTalkHz, kMusicHz, kChatHz, kRadioHz}, kAmplitude));
    };

    const auto musicLinks = [&] { return mixPortsOf(QStringLiteral("music")); };
    int rebuilds = 0;
    QSet<quint32> linksAtFirst;
    QSet<quint32> linksWithChat;
    const int whileTapping = dropOutsWhile(4000, [&] {
        pumpFor(300);
        startEngine();
        waitForApps({QStringLiteral("music"), QStringLiteral("chat"), QStringLiteral("radio"), QStringLiteral("talk")});
        for (; rebuilds < 8; ++rebuilds) {
            pumpFor(300);
            if (rebuilds == 0)
                linksAtFirst = musicLinks();
            if (rebuilds == 1)
                linksWithChat = musicLinks();
            engine->setGain(id(QStringLiteral("chat")), rebuilds % 2 == 0 ? 0.5f : 1.0f);
        }
    });
    // Chat comes before music in the setup and goes again: music changes
    // slot, and a cycle that read it at chat's gain while links change
    // would be a drop-out of its tone above. It is read on a pair of ports
    // of its own wherever it is read.
    EXPECT_EQ(linksAtFirst.size(), 2);
    EXPECT_EQ(linksWithChat.size(), 2);
    const int atTheEnd = dropOutsWhile(1000, [&] {
        pumpFor(300);
        engine.reset();
        hardware.reset();
        connection.reset();
    });
    std::printf("drop-outs of the untapped players: %d over the start and %d rebuilds, %d at the end\n", whileTapping,
                rebuilds, atTheEnd);
    // One to spare for a busy machine's own hiccup: the fault this is about
    // costs one per rebuild.
    EXPECT_LE(whileTapping, 1);
    EXPECT_LE(atTheEnd, 1);
}

// Rebuilds by the hundred, on one output and across outputs: every one
// gives back the descriptors it took.
TEST_F(MixNodeTest, RebuildsGiveBackEveryDescriptorTheyTook)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    const AudioObjectID speakers = output(QStringLiteral("Speakers"));
    const AudioObjectID headphones = output(QStringLiteral("Headphones"));
    const auto rebuild = [&](int i) {
        if (i % 10 == 9)
            engine->selectOutputDevice(i % 20 == 9 ? headphones : speakers);
        else
            engine->setGain(id(QStringLiteral("chat")), i % 2 == 0 ? 0.5f : 1.0f);
        pumpFor(10);
    };
    for (int i = 0; i < 20; ++i)
        rebuild(i);
    pumpFor(300);
    const int before = openDescriptors();
    for (int i = 0; i < 200; ++i)
        rebuild(i);
    pumpFor(300);
    const int after = openDescriptors();
    std::printf("descriptors: %d before, %d after 200 rebuilds\n", before, after);
    EXPECT_LE(after, before + 2);
}

// Short players of a tapped application, one after another and overlapping,
// through both APIs: each plays out and ends. Once nothing plays, nothing of
// ours keeps a device awake, and once nothing is tapped nothing of ours is
// left.
TEST_F(MixNodeTest, ShortPlayersOfATappedApplicationAllFinishAndTheDevicesSleepAfterwards)
{
    const int runs = qEnvironmentVariableIntValue("RAVLET_SHORT_PLAYERS") > 0 ? qEnvironmentVariableIntValue("RAVLET_SHORT_PLAYERS") : 50;
    startEngine();
    engine->setMuted(id(QStringLiteral("beep")), true);
    struct Run {
        std::unique_ptr<TestPlayer> player;
        QElapsedTimer since;
        double seconds = 0;
    };
    std::list<Run> running;
    int finished = 0;
    qint64 worstDrainMs = 0;
    int started = 0;
    while ((started < runs || !running.empty()) && !HasFailure()) {
        if (started < runs && running.size() < 2) {
            PlayerOptions options;
            options.name = options.executableName = QStringLiteral("beep");
            options.api = started % 2 == 0 ? QStringLiteral("pulse") : QStringLiteral("pipewire");
            options.frequency = kChatHz;
            options.seconds = 0.1 + 0.05 * (started % 9);
            running.push_back({std::make_unique<TestPlayer>(*session), {}, options.seconds});
            ASSERT_TRUE(running.back().player->start(options));
            running.back().since.start();
            ++started;
        }
        engine->refresh();
        pumpFor(20);
        for (auto it = running.begin(); it != running.end();) {
            const qint64 drainMs = it->since.elapsed() - qint64(it->seconds * 1000);
            if (!it->player->isRunning()) {
                EXPECT_EQ(it->player->exitCode(), 0) << it->player->output().toStdString();
                worstDrainMs = std::max(worstDrainMs, drainMs);
                ++finished;
                it = running.erase(it);
            } else if (drainMs > 2000) {
                ADD_FAILURE() << "a player of " << it->seconds << " s has not finished " << drainMs << " ms after its end";
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::printf("short players: %d of %d finished, the slowest %lld ms after its end\n", finished, runs,
                static_cast<long long>(worstDrainMs));
    EXPECT_EQ(finished, runs);

    // The muted application stays tapped after its players are gone; the
    // devices sleep all the same, and nothing of ours runs.
    EXPECT_EQ(engine->activeIDs(), QStringList{id(QStringLiteral("beep"))});
    const auto asleep = [](const QJsonArray& dump) {
        for (const pwdump::Node& node : pwdump::nodes(dump)) {
            const bool ours = node.prop(QStringLiteral("node.name")).startsWith(QLatin1String("ravlet-"));
            const bool sink = node.prop(QStringLiteral("media.class")) == QLatin1String("Audio/Sink");
            if ((ours && node.state == QLatin1String("running")) || (sink && !ours && node.state != QLatin1String("suspended")))
                return false;
        }
        return true;
    };
    QJsonArray last;
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        last = session->pwDump();
        return asleep(last);
    }, 15000)) << [&] {
        std::string states;
        for (const pwdump::Node& node : pwdump::nodes(last))
            states += node.prop(QStringLiteral("node.name")).toStdString() + ": " + node.state.toStdString() + "\n";
        return states;
    }();

    engine->setMuted(id(QStringLiteral("beep")), false);
    EXPECT_TRUE(engine->activeIDs().isEmpty());
    EXPECT_TRUE(pumpUntil([&] { return nothingOfOurs(); }, 5000));
}

// While its level is followed (the popover open), an application Ravlet does
// not mix is listened to beside its device: its level reads as the same tone
// mixed does, its sound stays as it was, and neither the start nor the end
// of listening costs it or anyone a drop-out. Once no one follows the
// levels, nothing of ours is linked to it.
TEST_F(MixNodeTest, AnUnmixedApplicationIsListenedToOnlyWhileItsLevelIsFollowed)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    const QString chat = id(QStringLiteral("chat"));
    ASSERT_EQ(engine->activeIDs(), QStringList{id(QStringLiteral("music"))});
    // Each application's own: the one listened to (a stalled graph) and the
    // one mixed (a cycle its mix missed while the setup was rebuilt).
    int chatGaps = 0;
    int musicGaps = 0;
    const auto dropOutsWhile = [&](int milliseconds, const std::function<void()>& work) {
        const std::vector<float> samples = record(QStringLiteral("speakers"), milliseconds, work);
        const int chatHere = dropOuts(samples, {kChatHz, kMusicHz}, kAmplitude);
        const int musicHere = dropOuts(samples, {kMusicHz, kChatHz}, kAmplitude);
        chatGaps += chatHere;
        musicGaps += musicHere;
        return std::max(chatHere, musicHere);
    };

    QObject follower;
    const int atOpening = dropOutsWhile(1500, [&] {
        pumpFor(300);
        QObject::connect(engine.get(), &RavletEngine::levelsChanged, &follower, [] {});
        EXPECT_TRUE(pumpUntil([&] { return !mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
    });
    EXPECT_EQ(engine->meteredIDs(), QStringList{chat});
    pumpFor(300);
    const float unmixed = engine->levels().value(chat);
    const float mixed = engine->levels().value(id(QStringLiteral("music")));
    std::printf("levels: %.4f listened to, %.4f mixed, of the same amplitude\n", unmixed, mixed);
    EXPECT_NEAR(20.0 * std::log10(double(unmixed) / double(mixed)), 0.0, 1.0);
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.005; }))
        << "neither silenced nor doubled";

    int atClosing = dropOutsWhile(1500, [&] {
        pumpFor(300);
        QObject::disconnect(engine.get(), &RavletEngine::levelsChanged, &follower, nullptr);
        EXPECT_TRUE(pumpUntil([&] { return engine->meteredIDs().isEmpty() && mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
    });
    // Opened and closed twice more in one recording.
    int later = dropOutsWhile(4000, [&] {
        for (int i = 0; i < 2; ++i) {
            pumpFor(300);
            QObject::connect(engine.get(), &RavletEngine::levelsChanged, &follower, [] {});
            EXPECT_TRUE(pumpUntil([&] { return !mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
            pumpFor(300);
            QObject::disconnect(engine.get(), &RavletEngine::levelsChanged, &follower, nullptr);
            EXPECT_TRUE(pumpUntil([&] { return mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
        }
    });
    std::printf("drop-outs: %d when listening first started, %d when it ended, %d over two more "
                "(%d of the application listened to, %d of the one mixed)\n",
                atOpening, atClosing, later, chatGaps, musicGaps);
    // Two to spare over the six changes, for the mixed player's own hiccups
    // (a quiet machine shows up to two, before and after any change here):
    // the fault this is about costs one at each. Under a sanitizer each change's
    // rebuild takes the main thread several cycles, which the mixed player
    // may miss: only timing, which such a build does not measure.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LE(atOpening + atClosing + later, 2);
#endif
}



// The same on a device where nothing is mixed: its only node of ours comes
// for the levels and must not cost the players there a cycle when they go.
TEST_F(MixNodeTest, LevelsFollowedOnADeviceThatOnlyListensCostItsPlayersNoCycle)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pipewire"), QStringLiteral("headphones"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    QObject follower;
    int atOpening = 0;
    int atClosing = 0;
    for (int i = 0; i < 3; ++i) {
        atOpening += dropOuts(record(QStringLiteral("headphones"), 1200, [&] {
            pumpFor(300);
            QObject::connect(engine.get(), &RavletEngine::levelsChanged, &follower, [] {});
            EXPECT_TRUE(pumpUntil([&] { return !mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
        }), {kChatHz}, kAmplitude, 10);
        atClosing += dropOuts(record(QStringLiteral("headphones"), 1200, [&] {
            pumpFor(300);
            QObject::disconnect(engine.get(), &RavletEngine::levelsChanged, &follower, nullptr);
            EXPECT_TRUE(pumpUntil([&] { return mixPortsOf(QStringLiteral("chat")).isEmpty(); }, 1000));
        }), {kChatHz}, kAmplitude, 10);
    }
    std::printf("drop-outs on the other device: %d over three openings, %d over three closings\n", atOpening,
                atClosing);
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.005; }, 3000,
                           QStringLiteral("headphones")));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LE(atOpening + atClosing, 1);
#endif
}

} // namespace
