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

// Our private sink is ours by the node our proxy was bound to: a node of
// another client under its name takes none of the streams we hold, nor makes
// us let them go, those held already or new ones.
TEST_F(ForeignClients, ANodeOfAnotherClientUnderOurSinksNameTakesNoHoldAway)
{
    QStringList log;
    setSystemLogSink([&](const QString& line) { log.append(line); });
    const auto noLog = qScopeGuard([] { setSystemLogSink({}); });
    play(QStringLiteral("music"), kMusicHz);
    startEngine();
    waitForApps({QStringLiteral("music")});
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    const auto halfOf = [](double hz) {
        return [hz](const std::vector<float>& s) { return std::abs(amplitude(s, hz) - kAmplitude / 2) < 0.005; };
    };
    ASSERT_TRUE(soundsLike(halfOf(kMusicHz)));

    const auto nodeName = [](const QJsonValue& value) {
        return value[QLatin1String("info")][QLatin1String("props")][QLatin1String("node.name")].toString();
    };
    QString ours;
    qint64 ourId = 0;
    for (const QJsonValue& value : session->pwDump()) {
        if (nodeName(value).startsWith(QLatin1String("ravlet-hold-"))) {
            ours = nodeName(value);
            ourId = value[QLatin1String("id")].toInteger();
        }
    }
    ASSERT_FALSE(ours.isEmpty());
    // Never suspended: WirePlumber 0.4.13 crashes on a sink destroyed while
    // it is about to suspend it.
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"),
                             {QStringLiteral("create-node"), QStringLiteral("adapter"),
                              QStringLiteral("{ factory.name = support.null-audio-sink node.name = %1 media.class = Audio/Sink "
                                             "audio.position = [ FL FR ] object.linger = true "
                                             "session.suspend-timeout-seconds = 0 }").arg(ours)}));
    std::optional<quint32> copy;
    const auto removeCopy = qScopeGuard([&] {
        if (copy)
            session->run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), QString::number(*copy)});
    });
    ASSERT_TRUE(pumpUntil([&] {
        for (const QJsonValue& value : session->pwDump()) {
            if (nodeName(value) == ours && value[QLatin1String("id")].toInteger() != ourId)
                copy = quint32(value[QLatin1String("id")].toInteger());
        }
        return copy.has_value();
    }, 5000));

    // A new stream of the application is held too, and both stay held past
    // the time a move is given to settle; so they are once our sink, gone
    // while nothing was tapped, is made again.
    play(QStringLiteral("music"), kChatHz);
    const auto bothHeld = [&] {
        if (!soundsLike([&](const auto& s) { return halfOf(kMusicHz)(s) && halfOf(kChatHz)(s); }))
            return false;
        pumpFor(StreamMover::kMoveDeadlineMs + 1000);
        return soundsLike([&](const auto& s) { return halfOf(kMusicHz)(s) && halfOf(kChatHz)(s); }, 1000);
    };
    EXPECT_TRUE(bothHeld());
    engine->setGain(id(QStringLiteral("music")), 1.0f);
    engine->setHidden(id(QStringLiteral("music")), true);
    ASSERT_TRUE(pumpUntil([&] {
        const QJsonArray dump = session->pwDump();
        return std::none_of(dump.begin(), dump.end(), [&](const QJsonValue& value) {
            return value[QLatin1String("id")].toInteger() == ourId && nodeName(value) == ours;
        });
    }, 10000)) << "our sink goes once nothing is tapped";
    engine->setHidden(id(QStringLiteral("music")), false);
    engine->setGain(id(QStringLiteral("music")), 0.5f);
    EXPECT_TRUE(bothHeld());
    for (const QString& line : std::as_const(log))
        EXPECT_FALSE(line.contains(QLatin1String("did not move")) || line.contains(QLatin1String("another program moved")))
            << line.toStdString();
}

} // namespace
