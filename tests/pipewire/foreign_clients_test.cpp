// Other clients of the daemon that say what they are not: a native client
// claiming another process as its own, and one that names a node of its own
// after ours.

#include "backend_fixture.h"
#include "stream_mover.h"
#include "system_log.h"

#include <QScopeGuard>

namespace {

using ForeignClients = PipeWireBackendTest;

const AudioApp* appWithId(const RavletEngine& engine, const QString& id)
{
    const auto& apps = engine.apps();
    const auto found = std::find_if(apps.begin(), apps.end(), [&](const AudioApp& app) { return app.id == id; });
    return found == apps.end() ? nullptr : &*found;
}

// What the daemon checked outranks what the client says: a native client is
// its own process, whichever running process it claims to be (the claim is
// taken from clients of the PulseAudio server only, which the server passes
// on for them).
TEST_F(ForeignClients, ANativeClientClaimingAnotherRunningProcessIsListedAsItself)
{
    play(QStringLiteral("music"), kMusicHz);
    startEngine();
    waitForApps({QStringLiteral("music")});
    const qint64 music = players.front().pid();

    PlayerOptions impostor = playerOptions(QStringLiteral("impostor"), kChatHz, QStringLiteral("pipewire"));
    impostor.claimedPid = music;
    impostor.claimedBinary = QStringLiteral("music");
    startPlayer(impostor);
    const qint64 own = players.back().pid();
    QList<qint32> pids;
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        const AudioApp* app = appWithId(*engine, id(QStringLiteral("music")));
        pids = app ? app->pids : QList<qint32>();
        return pids.contains(own);
    }, 10000)) << "music's pids: " << testing::PrintToString(std::vector<qint32>(pids.begin(), pids.end()));
    EXPECT_TRUE(pids.contains(music));
}

// A node another client makes under our private sink's name, while ours is
// there or after ours went: the session manager finds a target by name,
// whichever node has it, and the streams we hold would go there, never
// reaching ours (a muted application heard, one at 50 % silent). Ours is made
// anew under a new name, and the streams follow it.
TEST_F(ForeignClients, ANodeOfAnotherClientUnderOurSinksNameTakesNoHoldAway)
{
    QStringList log;
    setSystemLogSink([&](const QString& line) { log.append(line); });
    const auto noLog = qScopeGuard([] { setSystemLogSink({}); });
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat")});
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    engine->setMuted(id(QStringLiteral("chat")), true);
    const auto half = [](const std::vector<float>& s) {
        return std::abs(amplitude(s, kMusicHz) - kAmplitude / 2) < 0.005 && energyDb(s, 0, kChatHz) < -90.0;
    };
    ASSERT_TRUE(soundsLike(half));

    const auto nodeName = [](const QJsonValue& value) {
        return value[QLatin1String("info")][QLatin1String("props")][QLatin1String("node.name")].toString();
    };
    const auto nodesNamed = [&](const QString& name) {
        QList<quint32> ids;
        for (const QJsonValue& value : session->pwDump()) {
            if (nodeName(value) == name)
                ids.append(quint32(value[QLatin1String("id")].toInteger()));
        }
        return ids;
    };
    const auto ourNames = [&] {
        QStringList names;
        for (const QJsonValue& value : session->pwDump()) {
            if (nodeName(value).startsWith(QLatin1String("ravlet-hold-")))
                names.append(nodeName(value));
        }
        return names;
    };
    QStringList copies;
    const auto copy = [&](const QString& name) {
        // Never suspended: WirePlumber 0.4.13 crashes on a sink destroyed
        // while it is about to suspend it.
        copies.append(name);
        return session->run(QStringLiteral("pw-cli"),
                            {QStringLiteral("create-node"), QStringLiteral("adapter"),
                             QStringLiteral("{ factory.name = support.null-audio-sink node.name = %1 media.class = Audio/Sink "
                                            "audio.position = [ FL FR ] object.linger = true "
                                            "session.suspend-timeout-seconds = 0 }").arg(name)});
    };
    const auto removeCopies = qScopeGuard([&] {
        for (const QString& name : std::as_const(copies)) {
            for (const quint32 node : nodesNamed(name))
                session->run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), QString::number(node)});
        }
    });
    const QStringList before = ourNames();
    ASSERT_EQ(before.size(), 1);
    const QString first = before.front();

    // While ours is there: the streams it holds follow it to its new name
    // without a drop-out, and a new stream of each held application, and
    // the setup around them, stay where they belong.
    const std::vector<float> heard = record(QStringLiteral("speakers"), 1500, [&] {
        ASSERT_TRUE(copy(first));
        EXPECT_TRUE(pumpUntil([&] { return nodesNamed(first).size() == 1 && ourNames().size() == 2; }, 5000))
            << "ours made anew under a new name, the old one gone: " << ourNames().join(QLatin1Char(' ')).toStdString();
    });
    // The streams move from one sink of ours to the other as the session
    // manager relinks them, which costs a cycle (about 21 ms at its usual
    // quantum); a stream not read meanwhile would miss the move's time too.
    int missing = 0;   // ms of music below half its level, in windows of 5 ms
    for (std::size_t start = 0; start + 480 <= heard.size(); start += 480)
        missing += fitAmplitudes(std::span(heard).subspan(start, 480), 0, {kMusicHz, kChatHz}).amplitudes.front() > kAmplitude / 4 ? 0 : 5;
    EXPECT_LE(missing, 30) << dropOuts(heard, {kMusicHz, kChatHz}, kAmplitude / 2) << " drop-outs";
    play(QStringLiteral("chat"), kChatHz);
    EXPECT_TRUE(soundsLike(half));
    pumpFor(StreamMover::kMoveDeadlineMs + 1000);
    EXPECT_TRUE(soundsLike(half, 1000));

    // After ours went (nothing tapped, the device fallen quiet): made again,
    // not under the name another client's node has now.
    QStringList now = ourNames();
    now.removeAll(first);
    ASSERT_EQ(now.size(), 1);
    const QString second = now.front();
    engine->setGain(id(QStringLiteral("music")), 1.0f);
    engine->setMuted(id(QStringLiteral("chat")), false);
    engine->setHidden(id(QStringLiteral("music")), true);
    engine->setHidden(id(QStringLiteral("chat")), true);
    players.clear();
    ASSERT_TRUE(pumpUntil([&] { return nodesNamed(second).isEmpty(); }, 10000))
        << "our sink goes once nothing is tapped and the device falls quiet";
    ASSERT_TRUE(copy(second));
    ASSERT_TRUE(pumpUntil([&] { return nodesNamed(second).size() == 1; }, 5000));
    engine->setHidden(id(QStringLiteral("music")), false);
    play(QStringLiteral("music"), kMusicHz);
    waitForApps({QStringLiteral("music")});
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    EXPECT_TRUE(soundsLike(half));
    pumpFor(StreamMover::kMoveDeadlineMs + 1000);
    EXPECT_TRUE(soundsLike(half, 1000));
    for (const QString& line : std::as_const(log))
        EXPECT_FALSE(line.contains(QLatin1String("did not move"))) << line.toStdString();
}

} // namespace
