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

// A node another client made under our private sink's name, while ours was
// there: once ours goes (nothing tapped) and comes again, the session manager
// finds the other client's node by that name first, and the streams we hold
// would go there, never reaching ours, and be given up on.
TEST_F(ForeignClients, ANodeOfAnotherClientUnderOurSinksNameTakesNoHoldAway)
{
    QStringList log;
    setSystemLogSink([&](const QString& line) { log.append(line); });
    const auto noLog = qScopeGuard([] { setSystemLogSink({}); });
    play(QStringLiteral("music"), kMusicHz);
    startEngine();
    waitForApps({QStringLiteral("music")});
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    const auto half = [](const std::vector<float>& s) { return std::abs(amplitude(s, kMusicHz) - kAmplitude / 2) < 0.005; };
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
    QString ours;
    for (const QJsonValue& value : session->pwDump()) {
        if (nodeName(value).startsWith(QLatin1String("ravlet-hold-")))
            ours = nodeName(value);
    }
    ASSERT_FALSE(ours.isEmpty());
    // Never suspended: WirePlumber 0.4.13 crashes on a sink destroyed while
    // it is about to suspend it.
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"),
                             {QStringLiteral("create-node"), QStringLiteral("adapter"),
                              QStringLiteral("{ factory.name = support.null-audio-sink node.name = %1 media.class = Audio/Sink "
                                             "audio.position = [ FL FR ] object.linger = true "
                                             "session.suspend-timeout-seconds = 0 }").arg(ours)}));
    const auto removeCopy = qScopeGuard([&] {
        for (const quint32 node : nodesNamed(ours))
            session->run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), QString::number(node)});
    });
    ASSERT_TRUE(pumpUntil([&] { return nodesNamed(ours).size() == 2; }, 5000));

    engine->setGain(id(QStringLiteral("music")), 1.0f);
    engine->setHidden(id(QStringLiteral("music")), true);
    players.clear();
    ASSERT_TRUE(pumpUntil([&] { return nodesNamed(ours).size() == 1; }, 10000))
        << "our sink goes once nothing is tapped and the device falls quiet";
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
