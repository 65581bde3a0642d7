// Streams as the daemon numbers them and as other programs move them: players
// that start again while their application is tapped, a held stream moved by
// the user's own mixer, the session manager's memory of where a kind of
// stream plays, and our private sink made the default by someone else.

#include "backend_fixture.h"
#include "stream_mover.h"
#include "system_log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTimer>

#include <csignal>
#include <thread>

namespace {

// Milliseconds of the chat tone above -60 dBFS on either side, counted in
// windows of 5 ms; a click (a step in another player's sound, spread over
// every frequency) is told apart by a frequency no one plays.
int chatHeardMs(const std::vector<float>& samples)
{
    constexpr std::size_t kWindow = 240 * 2;
    constexpr double kNobodyHz = 1300.0;
    int ms = 0;
    for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        const std::span<const float> window(samples.data() + start, kWindow);
        for (const int channel : {0, 1}) {
            const SineFit fit = fitAmplitudes(window, channel, {kChatHz, kRadioHz, kNobodyHz});
            const double chat = amplitudeDb(fit.amplitudes[0]);
            if (!fit.valid || (chat > -60.0 && chat > amplitudeDb(fit.amplitudes[2]) + 10.0)) {
                ms += 5;
                break;
            }
        }
    }
    return ms;
}

// The system log's lines, for as long as it lives.
struct LogCapture {
    LogCapture() { setSystemLogSink([this](const QString& line) { lines.append(line); }); }
    ~LogCapture() { setSystemLogSink({}); }
    bool has(const QString& start) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const QString& line) { return line.startsWith(start); });
    }
    QStringList lines;
};

// The ports of a node in pw-dump, by channel.
QHash<QString, quint32> portsOf(const QJsonArray& dump, quint32 node, const QString& direction)
{
    QHash<QString, quint32> ports;
    for (const QJsonValue& value : dump) {
        const QJsonObject props = value[QLatin1String("info")][QLatin1String("props")].toObject();
        if (value[QLatin1String("type")].toString() == QLatin1String("PipeWire:Interface:Port")
            && props.value(QLatin1String("node.id")).toInteger() == node
            && props.value(QLatin1String("port.direction")).toString() == direction)
            ports.insert(props.value(QLatin1String("audio.channel")).toString(), quint32(value[QLatin1String("id")].toInteger()));
    }
    return ports;
}

class StreamIdentity : public PipeWireBackendTest {
protected:
    void playRestarting(const QString& name, double frequency, const QString& api, double restartAfter)
    {
        PlayerOptions options = playerOptions(name, frequency, api);
        options.restartAfter = restartAfter;
        startPlayer(options);
    }

    std::optional<pwdump::Node> streamOf(const QString& name) const
    {
        const auto nodes = pwdump::nodesByApplication(session->pwDump(), name);
        return nodes.empty() ? std::nullopt : std::optional(nodes.front());
    }

    // What the speakers and the headphones play while a new player of chat
    // starts and, while it plays, another application is tapped or untapped:
    // the milliseconds of it heard on either.
    int heardWhileStarting(const QString& api, const std::function<void()>& rebuild)
    {
        QString errors[2];
        auto speakers = std::async(std::launch::async, [&] {
            return recordMonitor(*session, QStringLiteral("speakers"), 1800, &errors[0]);
        });
        auto headphones = std::async(std::launch::async, [&] {
            return recordMonitor(*session, QStringLiteral("headphones"), 1800, &errors[1]);
        });
        pumpFor(300);
        play(QStringLiteral("chat"), kChatHz, api);
        pumpFor(700);
        rebuild();
        const std::vector<float> onSpeakers = pumpUntilReady(speakers);
        const std::vector<float> onHeadphones = pumpUntilReady(headphones);
        EXPECT_FALSE(onSpeakers.empty() || onHeadphones.empty()) << errors[0].toStdString() << errors[1].toStdString();
        return chatHeardMs(onSpeakers) + chatHeardMs(onHeadphones);
    }

    // A user's mixer moves a stream, through the PulseAudio server. A move
    // to the default device forgets the target, written as -1.
    bool moveByMixer(const pwdump::Node& stream, const QString& sink, bool toDefault = false)
    {
        const quint32 sinkId = pwdump::nodeByName(session->pwDump(), sink)->id;
        const QString written = toDefault ? QStringLiteral("-1") : QString::number(sinkId);
        return moveSinkInput(*session, stream.serial, sink, [&] {
            return session->metadataValue(stream.id, QStringLiteral("target.node")) == written;
        });
    }

    bool chatPlays(double level, const QString& sink, int timeoutMs = 5000)
    {
        return soundsLike([&](const auto& s) { return std::abs(amplitude(s, kChatHz) - level) < 0.005; }, timeoutMs, sink);
    }

    pid_t sessionManager() const
    {
        const std::vector<qint64> daemons = session->pids();
        return daemons.size() == 4u ? pid_t(daemons[2]) : 0;
    }

    AudioObjectID output(const QString& name) const
    {
        for (const OutputDevice& device : engine->outputs()) {
            if (device.name == name)
                return device.id;
        }
        return 0;
    }

    bool chatSilent(const QString& sink)
    {
        return soundsLike([](const auto& s) { return energyDb(s, 0, kChatHz) < -90.0; }, 5000, sink);
    }

    // Where each application's streams play and are sent, in a line each: a
    // failure's first words, which a long log after them must not bury.
    std::string whereTheyPlay(const QStringList& applications) const
    {
        const QJsonArray dump = session->pwDump();
        QString text;
        for (const QString& application : applications) {
            for (const pwdump::Node& stream : pwdump::nodesByApplication(dump, application)) {
                QStringList to;
                for (const pwdump::Link& link : pwdump::links(dump)) {
                    if (const auto sink = pwdump::nodeById(dump, link.inputNode); link.outputNode == stream.id && sink)
                        to.append(sink->prop(QStringLiteral("node.name")));
                }
                to.removeDuplicates();
                text += application + QStringLiteral(" → ") + to.join(QLatin1Char(','));
                for (const QString& key : {QStringLiteral("target.object"), QStringLiteral("target.node")})
                    text += QLatin1Char(' ') + key + QLatin1Char('=') + session->metadataValue(stream.id, key).value_or(QString());
                text += QLatin1Char('\n');
            }
        }
        return (text + QStringLiteral("default.audio.sink=")
                + session->metadataValue(0, QStringLiteral("default.audio.sink")).value_or(QString()) + QLatin1Char('\n'))
            .toStdString();
    }
};

// A move made in the user's mixer is the user's choice of device, also for
// the application a mix keeps at 100 % (tapped though nothing about it
// changes), and a move back to the default device forgets that choice.
TEST_F(StreamIdentity, AMoveByAnotherMixerIsTheApplicationsDeviceEvenWhileKeptAndBackOnTheDefault)
{
    play(QStringLiteral("chat"), kChatHz);
    startEngine();
    waitForApps({QStringLiteral("chat")});
    const QString chatID = id(QStringLiteral("chat"));
    ASSERT_TRUE(pumpUntil([&] { return engine->activeIDs().contains(chatID); }, 5000)) << "kept";
    ASSERT_TRUE(chatPlays(kAmplitude, QStringLiteral("speakers")));
    const auto chat = streamOf(QStringLiteral("chat"));

    ASSERT_TRUE(moveByMixer(*chat, QStringLiteral("headphones")));
    EXPECT_TRUE(pumpUntil([&] { return engine->outputChoices().value(chatID) == QLatin1String("headphones"); }, 5000))
        << whereTheyPlay({QStringLiteral("chat")});
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones"))) << whereTheyPlay({QStringLiteral("chat")});
    EXPECT_TRUE(chatSilent(QStringLiteral("speakers")));

    ASSERT_TRUE(moveByMixer(*chat, QStringLiteral("speakers"), true));
    EXPECT_TRUE(pumpUntil([&] { return !engine->outputChoices().contains(chatID); }, 5000))
        << whereTheyPlay({QStringLiteral("chat")});
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("speakers"))) << whereTheyPlay({QStringLiteral("chat")});
    EXPECT_TRUE(chatSilent(QStringLiteral("headphones")));
}

// A volume another program sets on a stream (a desktop mixer, the player
// itself) multiplies with ours: the engine tells it, so that the row and the
// list can say what is heard.
TEST_F(StreamIdentity, AVolumeAnotherProgramSetsOnAStreamIsToldBesideOurs)
{
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("chat")});
    const QString chatID = id(QStringLiteral("chat"));
    engine->setGain(chatID, 0.5f);
    ASSERT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("speakers")));
    EXPECT_EQ(engine->ownVolume(chatID), 1.0f);

    const auto chat = streamOf(QStringLiteral("chat"));
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"), {QStringLiteral("set-param"), QString::number(chat->id),
                                                        QStringLiteral("Props"),
                                                        QStringLiteral("{ channelVolumes = [ 0.5, 0.5 ] }")}));
    EXPECT_TRUE(chatPlays(kAmplitude / 4, QStringLiteral("speakers"))) << "the two multiply";
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return std::abs(engine->ownVolume(chatID) - 0.5f) < 0.01f;
    }, 5000)) << engine->ownVolume(chatID);

    // Muted there, it is heard at nothing, whatever its volume.
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"), {QStringLiteral("set-param"), QString::number(chat->id),
                                                        QStringLiteral("Props"), QStringLiteral("{ mute = true }")}));
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return engine->ownVolume(chatID) == 0.0f;
    }, 5000)) << engine->ownVolume(chatID);

    // Unity again, for the tests after on this session: the session manager
    // remembers an application's volume, and writes its memory a second
    // after the last change.
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"), {QStringLiteral("set-param"), QString::number(chat->id),
                                                        QStringLiteral("Props"),
                                                        QStringLiteral("{ mute = false, channelVolumes = [ 1.0, 1.0 ] }")}));
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return engine->ownVolume(chatID) == 1.0f;
    }, 5000));
    pumpFor(1500);
}

// A muted application's player started again and again, through both APIs,
// while another application is tapped and untapped, both while the muted one
// has no process at all and while it plays: each new stream is held before
// the session manager links it anywhere, and stays unheard while the setup
// around it changes. Where every core is busy, this process may not run at
// all between the daemon announcing a stream and the session manager linking
// it (some 4 ms); one such start is let pass, as long as it is a moment, not
// the second it was before.
TEST_F(StreamIdentity, NewStreamsOfAMutedApplicationAreNeverHeard)
{
    constexpr int kStartsPerApi = 5;
    // Far below what counts as heard, steps in its level included.
    constexpr double kFaint = 0.0005;
    play(QStringLiteral("chat"), kChatHz);
    startEngine();
    waitForApps({QStringLiteral("chat")});
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(chatSilent(QStringLiteral("speakers")));
    players.clear();
    // Started after the muted application, so it is listed, and tapped, in
    // front of it whenever the muted one has stopped.
    play(QStringLiteral("radio"), kRadioHz, QStringLiteral("pipewire"), {}, kFaint);
    const TestPlayer* radio = &players.back();
    ASSERT_TRUE(pumpUntil([&] { return engine->pidsByID().contains(id(QStringLiteral("radio"))); }, 5000));
    // Always tapped: the muted one and it change places among the slots.
    float radioGain = 0.5f;
    const auto rebuild = [&] {
        radioGain = radioGain == 0.5f ? 0.7f : 0.5f;
        engine->setGain(id(QStringLiteral("radio")), radioGain);
        pumpFor(300);
    };

    QList<int> heard;
    for (const QString& api : {QStringLiteral("pipewire"), QStringLiteral("pulse")}) {
        QStringList line;
        for (int start = 0; start < kStartsPerApi; ++start) {
            rebuild();
            heard.append(heardWhileStarting(api, rebuild));
            line.append(QString::number(heard.last()));
            players.remove_if([&](const TestPlayer& player) { return &player != radio; });
        }
        std::printf("%s: ms heard per start: %s\n", qPrintable(api), qPrintable(line.join(QLatin1Char(' '))));
    }
    EXPECT_LE(std::count_if(heard.begin(), heard.end(), [](int ms) { return ms > 0; }), 1);
    EXPECT_LE(*std::max_element(heard.begin(), heard.end()), 30);
}

// A player that starts again, as a new stream of the same process (which the
// daemon very often gives the old one's id) or as a new process, is mixed at
// its application's gain at once, and plays on its device again when the
// application is back at 100 %.
TEST_F(StreamIdentity, APlayerStartedAgainIsMixedAtOnceAndHeardAgainAtFullVolume)
{
    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pulse"));
    startEngine();
    for (const QString& api : {QStringLiteral("pipewire"), QStringLiteral("pulse")}) {
        for (const bool sameProcess : {true, false}) {
            SCOPED_TRACE(api.toStdString() + (sameProcess ? " same process" : " new process"));
            playRestarting(QStringLiteral("chat"), kChatHz, api, sameProcess ? 5.0 : 0.0);
            waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
            const quint64 before = streamOf(QStringLiteral("chat"))->serial;
            engine->setGain(id(QStringLiteral("chat")), 0.5f);
            ASSERT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("speakers")));

            if (!sameProcess) {
                players.pop_back();
                play(QStringLiteral("chat"), kChatHz, api);
            }
            ASSERT_TRUE(pumpUntil([&] {
                const auto stream = streamOf(QStringLiteral("chat"));
                return stream && stream->serial != before;
            }, 6000));
            EXPECT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("speakers"), 3000)) << "mixed, at its gain";

            engine->setGain(id(QStringLiteral("chat")), 1.0f);
            EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("speakers"))) << "heard again";
            const auto stream = streamOf(QStringLiteral("chat"));
            ASSERT_TRUE(stream);
            EXPECT_FALSE(session->metadataValue(stream->id, QStringLiteral("target.object")).has_value());
            players.pop_back();
        }
    }
}

// The user's mixer moves a held stream: the application plays there from
// then on, mixed at its gain, and its menu shows the device. A link made
// from it to a device is a move too.
TEST_F(StreamIdentity, AHeldStreamMovedByTheUserIsMixedWhereItWasSentAtItsGain)
{
    LogCapture log;
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    const QString chatID = id(QStringLiteral("chat"));
    engine->setGain(chatID, 0.5f);
    ASSERT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("speakers")));

    const auto chat = streamOf(QStringLiteral("chat"));
    const auto headphones = pwdump::nodeByName(session->pwDump(), QStringLiteral("headphones"));
    ASSERT_TRUE(moveByMixer(*chat, QStringLiteral("headphones")));
    EXPECT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("headphones"))) << "mixed where it was sent, at its gain";
    EXPECT_TRUE(chatSilent(QStringLiteral("speakers")));
    EXPECT_EQ(engine->outputChoices().value(chatID), QStringLiteral("headphones"));
    EXPECT_EQ(engine->gains().value(chatID), 0.5f);
    EXPECT_TRUE(log.has(QStringLiteral("[ravlet] another program moved a stream of")))
        << log.lines.join(QLatin1Char('\n')).toStdString();

    engine->setGain(chatID, 1.0f);
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones"))) << "played there by the daemon once untapped";
    EXPECT_TRUE(chatSilent(QStringLiteral("speakers")));
    // By its serial, as the PulseAudio server writes it, also when the daemon
    // kept that write from us and the link showed it: a name the session
    // manager would remember for every stream of its kind.
    EXPECT_EQ(session->metadataValue(chat->id, QStringLiteral("target.object")), QString::number(headphones->serial));

    // Linked to the speakers, the default, for a moment while held, as a
    // session manager catching up with the default does: no one's move.
    // Taken long after it was given back, which waits out such links anyway.
    pumpFor(3000);
    engine->setGain(chatID, 0.5f);
    ASSERT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("headphones")));
    const QJsonArray dump = session->pwDump();
    const auto from = portsOf(dump, chat->id, QStringLiteral("out"));
    const auto to = portsOf(dump, pwdump::nodeByName(dump, QStringLiteral("speakers"))->id, QStringLiteral("in"));
    const auto link = [&](const QStringList& options) {
        for (const QString& channel : {QStringLiteral("FL"), QStringLiteral("FR")}) {
            if (!session->run(QStringLiteral("pw-link"),
                              options + QStringList{QString::number(from.value(channel)), QString::number(to.value(channel))}))
                return false;
        }
        return true;
    };
    log.lines.clear();
    ASSERT_TRUE(link({}));
    pumpFor(500);
    ASSERT_TRUE(link({QStringLiteral("-d")}));
    EXPECT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("headphones")));
    EXPECT_FALSE(log.has(QStringLiteral("[ravlet] another program moved a stream of")));
    EXPECT_EQ(engine->outputChoices().value(chatID), QStringLiteral("headphones"));
    // Linked there by hand for good.
    ASSERT_TRUE(link({}));
    EXPECT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("speakers"))) << "the link is undone, the stream mixed there";
    EXPECT_TRUE(chatSilent(QStringLiteral("headphones")));
    engine->setGain(chatID, 1.0f);
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("speakers")));
    EXPECT_TRUE(chatSilent(QStringLiteral("headphones")));
}

// The session manager remembers where each kind of stream played (here, by
// its "Music" role); tapping and untapping one leaves that memory as it was.
TEST_F(StreamIdentity, TheTargetTheSessionManagerRemembersForAKindOfStreamIsKept)
{
    const QString kind = QStringLiteral("Output/Audio:media.role:Music");
    const auto remembered = [&] { return session->rememberedTargets().value_or(QMap<QString, QString>{}); };
    const auto describe = [&] {
        QString text;
        for (auto it = remembered().cbegin(); it != remembered().cend(); ++it)
            text += it.key() + QLatin1String(" -> ") + it.value() + QLatin1Char('\n');
        return text.toStdString();
    };
    play(QStringLiteral("chat"), kChatHz);
    ASSERT_TRUE(pumpUntil([&] { return streamOf(QStringLiteral("chat")).has_value(); }, 5000));
    const auto first = streamOf(QStringLiteral("chat"));
    ASSERT_TRUE(moveByMixer(*first, QStringLiteral("headphones")));
    ASSERT_TRUE(pumpUntil([&] { return remembered().value(kind) == QLatin1String("headphones"); }, 5000)) << describe();
    players.clear();

    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pulse"));
    play(QStringLiteral("chat"), kChatHz);
    ASSERT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones"))) << "restored by the session manager";
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(chatSilent(QStringLiteral("headphones")));
    engine->setMuted(id(QStringLiteral("chat")), false);
    ASSERT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones")));
    pumpFor(1500);
    EXPECT_EQ(remembered().value(kind), QStringLiteral("headphones")) << describe();
    for (const QString& target : remembered().values())
        EXPECT_FALSE(target.startsWith(QLatin1String("ravlet"))) << describe();

    // Forgotten again, as a move to the default does, for the tests after.
    // The session manager writes its memory a second after the last change
    // it saw: a move repeated before that only puts the writing off.
    ASSERT_TRUE(moveByMixer(*streamOf(QStringLiteral("chat")), QStringLiteral("speakers"), true));
    EXPECT_TRUE(pumpUntil([&] { return remembered().value(kind) != QLatin1String("headphones"); }, 8000)) << describe();
}

// The user picks an output and, before a session manager that lags behind
// has caught up, another: the word of the first pick, when it comes, is old
// news, and the second stays the output throughout.
TEST_F(StreamIdentity, AnOutputPickedAgainBeforeTheSessionManagerCaughtUpStaysTheLastPicked)
{
    play(QStringLiteral("music"), kMusicHz);
    startEngine();
    waitForApps({QStringLiteral("music")});
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    // Mixed on each device once: what a device's mix needs is there.
    for (const QString& name : {QStringLiteral("Headphones"), QStringLiteral("Speakers")}) {
        engine->selectOutputDevice(output(name));
        ASSERT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kMusicHz) - kAmplitude / 2) < 0.005; },
                               5000, name.toLower()));
    }
    QStringList outputs;
    QObject::connect(engine.get(), &RavletEngine::outputNameChanged, [&] {
        if (outputs.isEmpty() || outputs.last() != engine->outputName())
            outputs.append(engine->outputName());
    });

    ASSERT_EQ(::kill(sessionManager(), SIGSTOP), 0);
    engine->selectOutputDevice(output(QStringLiteral("Headphones")));
    pumpFor(300);
    // The word of that pick comes while nothing reads it, and waits; the
    // session manager stops again before it takes the second.
    ASSERT_EQ(::kill(sessionManager(), SIGCONT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(::kill(sessionManager(), SIGSTOP), 0);
    engine->selectOutputDevice(output(QStringLiteral("Speakers")));
    pumpFor(1000);
    ASSERT_EQ(::kill(sessionManager(), SIGCONT), 0);
    EXPECT_TRUE(pumpUntil([&] {
        return session->metadataValue(0, QStringLiteral("default.audio.sink")) == QStringLiteral(R"({"name":"speakers"})");
    }, 5000));
    pumpFor(1000);
    EXPECT_EQ(outputs.join(QLatin1Char(' ')).toStdString(), "Headphones Speakers");
    EXPECT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kMusicHz) - kAmplitude / 2) < 0.005; }, 5000,
                           QStringLiteral("speakers")));
}

// A mute, and a move to a device nothing is mixed on yet, made while the
// session manager is stopped, for longer than a move may take: the stream
// plays on meanwhile (better heard than silenced for good), the main thread
// never waits for the daemon to answer (its popover would not redraw), and
// once the session manager runs again both hold as the rows say.
TEST_F(StreamIdentity, AMuteAndAMoveMadeWhileTheSessionManagerIsStoppedHoldOnceItRunsAgain)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    const QString musicID = id(QStringLiteral("music"));
    engine->setGain(musicID, 0.5f);
    const auto musicAtHalf = [](const auto& s) { return std::abs(amplitude(s, kMusicHz) - kAmplitude / 2) < 0.005; };
    ASSERT_TRUE(soundsLike(musicAtHalf));
    ASSERT_TRUE(chatPlays(kAmplitude, QStringLiteral("speakers")));
    QString headphones;
    for (const OutputDevice& device : engine->outputs()) {
        if (device.name == QLatin1String("Headphones"))
            headphones = device.uid;
    }
    ASSERT_FALSE(headphones.isEmpty());

    ASSERT_EQ(::kill(sessionManager(), SIGSTOP), 0);
    auto resume = qScopeGuard([&] { ::kill(sessionManager(), SIGCONT); });
    // The longest turn of the loop, and the time all turns past 100 ms took.
    QElapsedTimer beat;
    qint64 longest = 0;
    qint64 blocked = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 turn = beat.restart();
        longest = std::max(longest, turn);
        blocked += turn > 100 ? turn : 0;
    });
    beat.start();
    ticker.start(20);
    engine->setMuted(id(QStringLiteral("chat")), true);
    ASSERT_TRUE(engine->setOutputOf(musicID, headphones));
    pumpFor(StreamMover::kMoveDeadlineMs + 3000);
    ticker.stop();
    EXPECT_LT(longest, 1000) << "the main thread waited for the daemon";
    EXPECT_LT(blocked, 1000) << "the main thread waited for the daemon at every try";
    ASSERT_EQ(::kill(sessionManager(), SIGCONT), 0);
    EXPECT_TRUE(chatSilent(QStringLiteral("speakers")));
    EXPECT_TRUE(soundsLike(musicAtHalf, 5000, QStringLiteral("headphones")));
}

// With a daemon that tells nobody of the metadata's changes anymore, as
// PipeWire does for good once a client binding the metadata left before the
// session manager answered for it: the session manager stopped a moment, a
// client killed while it waits. Or with a session manager that lags behind,
// which makes the word of a write come seconds late.
enum class Daemon { Telling, TellingNoChanges, Lagging };

class DefaultGuard : public StreamIdentity, public testing::WithParamInterface<Daemon> {
protected:
    void deafen()
    {
        const pid_t manager = sessionManager();
        ASSERT_NE(manager, 0);
        ASSERT_EQ(::kill(manager, SIGSTOP), 0);
        EXPECT_FALSE(session->run(QStringLiteral("pw-metadata"), {QStringLiteral("0"), QStringLiteral("ravlet.test.key"),
                                                                  QStringLiteral("1")}, nullptr, nullptr, 500));
        ASSERT_EQ(::kill(manager, SIGCONT), 0);
    }
};

INSTANTIATE_TEST_SUITE_P(Server, DefaultGuard, testing::Values(Daemon::Telling, Daemon::TellingNoChanges, Daemon::Lagging),
                         [](const auto& info) {
                             return info.param == Daemon::Telling           ? "Telling"
                                    : info.param == Daemon::TellingNoChanges ? "TellingNoChanges"
                                                                             : "Lagging";
                         });

// Another program makes our private sink the default output: everything
// that plays directly would fall silent, so the user's default is put back.
TEST_P(DefaultGuard, OurSinkMadeTheDefaultByAnotherProgramGivesWayToTheUsersDefault)
{
    LogCapture log;
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    const QString key = QStringLiteral("default.configured.audio.sink");
    const QString type = QStringLiteral("Spa:String:JSON");
    ASSERT_TRUE(session->run(QStringLiteral("pw-metadata"),
                             {QStringLiteral("0"), key, QStringLiteral(R"({"name":"headphones"})"), type}));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    const bool deaf = GetParam() == Daemon::TellingNoChanges;
    if (deaf)
        deafen();
    // Our write whose word never comes back, nor that of the change Ravlet
    // makes to tell, tells; a word that comes late does not.
    if (GetParam() == Daemon::Lagging) {
        // A choice of output, which no move waits on.
        ASSERT_EQ(::kill(sessionManager(), SIGSTOP), 0);
        engine->selectOutputDevice(output(QStringLiteral("Speakers")));
        pumpFor(3500);
        ASSERT_EQ(::kill(sessionManager(), SIGCONT), 0);
        // Its applications stayed behind on the old default meanwhile: no
        // one moved them there.
        EXPECT_TRUE(engine->outputChoices().isEmpty());
        engine->selectOutputDevice(output(QStringLiteral("Headphones")));
    }
    engine->setMuted(id(QStringLiteral("music")), true);
    ASSERT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones")));
    const auto told = [&](int ms) {
        return pumpUntil([&] { return log.has(QStringLiteral("[ravlet] the audio server stopped telling")); }, ms);
    };
    if (deaf) {
        // On a busy machine the daemon may count the killed client only
        // after the word of that write was sent: another application is
        // taken and given back, which writes for certain (music, unmuted,
        // may stay tapped).
        bool noticed = told(8000);
        for (int attempt = 0; attempt < 2 && !noticed; ++attempt) {
            engine->setGain(id(QStringLiteral("chat")), 0.5f);
            pumpFor(1000);
            engine->setGain(id(QStringLiteral("chat")), 1.0f);
            noticed = told(8000);
        }
        EXPECT_TRUE(noticed);
    } else {
        EXPECT_FALSE(told(4000));
    }

    // The private sink that holds music, once music stays there: on a slow
    // machine it may first have been held on another device's sink, on its
    // way out.
    std::optional<pwdump::Node> ours;
    QElapsedTimer steady;
    ASSERT_TRUE(pumpUntil([&] {
        const QJsonArray dump = session->pwDump();
        const auto music = streamOf(QStringLiteral("music"));
        std::optional<pwdump::Node> holding;
        for (const pwdump::Link& link : pwdump::links(dump)) {
            const auto to = pwdump::nodeById(dump, link.inputNode);
            if (music && link.outputNode == music->id && to
                && to->prop(QStringLiteral("node.name")).startsWith(QLatin1String("ravlet-hold-")))
                holding = to;
        }
        if (!holding || !ours || holding->id != ours->id)
            steady.start();
        ours = holding;
        return ours && steady.elapsed() >= 500;
    }, 5000)) << log.lines.join(QLatin1Char('\n')).toStdString();
    // Written again if our connection missed it: the daemon drops metadata
    // events to its clients while another client binds the metadata, so
    // nothing binds it here (as pw-dump does) until Ravlet has answered.
    const QString putBack = QStringLiteral(
        "[ravlet] another program made Ravlet's private sink the default output; the default is headphones again");
    EXPECT_TRUE(pumpUntil([&] {
        session->run(QStringLiteral("pw-metadata"),
                     {QStringLiteral("0"), key, pw_graph::jsonForName(ours->prop(QStringLiteral("node.name"))), type});
        return pumpUntil([&] { return log.lines.contains(putBack); }, 3000);
    }, 9000)) << log.lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(pumpUntil([&] { return session->metadataValue(0, key) == QStringLiteral(R"({"name":"headphones"})"); },
                          3000));
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones")));
    // The PulseAudio server takes a move to the device the session manager
    // names as default for "forget the target", and a session manager a
    // moment behind may still name our sink.
    const QString followed = QStringLiteral("default.audio.sink");
    QElapsedTimer settled;
    settled.start();
    EXPECT_TRUE(pumpUntil([&] {
        if (session->metadataValue(0, followed) != QStringLiteral(R"({"name":"headphones"})"))
            settled.start();
        return settled.elapsed() >= 1000;
    }, 8000));

    // It sends a stream there too: our sink is never where that stream
    // belongs, so once mixed and let go it plays on the default again, also
    // where Ravlet was never told of that move (a deaf daemon, or a word
    // lost while the mixer's check binds the metadata).
    ASSERT_TRUE(moveByMixer(*streamOf(QStringLiteral("chat")), ours->prop(QStringLiteral("node.name"))))
        << session->metadataValue(0, followed).value_or(QString()).toStdString();
    ASSERT_TRUE(chatSilent(QStringLiteral("headphones"))) << log.lines.join(QLatin1Char('\n')).toStdString();
    engine->setGain(id(QStringLiteral("chat")), 0.5f);
    EXPECT_TRUE(chatPlays(kAmplitude / 2, QStringLiteral("headphones"))) << whereTheyPlay({QStringLiteral("chat")});
    engine->setGain(id(QStringLiteral("chat")), 1.0f);
    EXPECT_TRUE(chatPlays(kAmplitude, QStringLiteral("headphones")))
        << whereTheyPlay({QStringLiteral("chat"), QStringLiteral("music")}) << log.lines.join(QLatin1Char('\n')).toStdString();
}

} // namespace

// An application with several streams (a browser's tabs: here two processes
// of its own through PipeWire and one through the PulseAudio server) is
// heard at its gain every time it is tapped again, every stream of it: a
// port of the mix node left unread while untapped gave silence for good
// once two links fed it again (PipeWire 0.3.65).
TEST_F(StreamIdentity, AnApplicationWithSeveralStreamsIsHeardAtItsGainAtEveryTap)
{
    constexpr double kTabHz[] = {kChatHz, kRadioHz, 1100.0};
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kTabHz[0]);
    play(QStringLiteral("chat"), kTabHz[1]);
    play(QStringLiteral("chat"), kTabHz[2], QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    ASSERT_TRUE(pumpUntil([&] { return pwdump::nodesByApplication(session->pwDump(), QStringLiteral("chat")).size() == 3u; }, 5000));
    for (int tap = 1; tap <= 4; ++tap) {
        for (const float gain : {0.5f, 1.0f}) {
            engine->setGain(id(QStringLiteral("chat")), gain);
            std::vector<float> heard;
            EXPECT_TRUE(soundsLike([&](const auto& samples) {
                heard = samples;
                return std::all_of(std::begin(kTabHz), std::end(kTabHz), [&](double hz) {
                    return std::abs(amplitude(samples, hz) - kAmplitude * gain) < 0.005;
                });
            })) << "tap " << tap << " at " << gain << ": " << amplitude(heard, kTabHz[0]) << ' '
                << amplitude(heard, kTabHz[1]) << ' ' << amplitude(heard, kTabHz[2]) << '\n'
                << whereTheyPlay({QStringLiteral("music"), QStringLiteral("chat")});
        }
    }
}
