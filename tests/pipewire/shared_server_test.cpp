// The mixer among others on one audio server: another Ravlet, and
// applications the user has sent to devices of their own.

#include "backend_fixture.h"
#include "system_log.h"

#include <QJsonDocument>
#include <QScopeGuard>

namespace {

// The log's lines while it lives, however the test ends.
struct LogCapture {
    LogCapture() { setSystemLogSink([this](const QString& line) { lines.append(line); }); }
    ~LogCapture() { setSystemLogSink({}); }
    QStringList lines;
};

// Two mixers on one server (two logins of one user, say) would fight over
// every stream. The newer stands back, says why, and takes over, with its
// own settings, once the older quits.
TEST_F(PipeWireBackendTest, ASecondMixerOnTheSameServerTapsNothingUntilTheFirstGoes)
{
    LogCapture log;
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    auto olderConnection = std::make_unique<PipeWireConnection>();
    auto olderHardware = std::make_unique<PipeWireAudioHardware>(*olderConnection, inspector);
    startEngine();
    EXPECT_FALSE(engine->supported());
    EXPECT_TRUE(engine->unsupportedText().startsWith(QStringLiteral("Another Ravlet"))) << engine->unsupportedText().toStdString();
    EXPECT_TRUE(engine->apps().isEmpty());
    EXPECT_EQ(log.lines.filter(QStringLiteral("taps nothing until it quits")).size(), 1) << log.lines.join('\n').toStdString();
    MemoryUserDefaults olderDefaults;
    auto older = std::make_unique<RavletEngine>(
        EnginePlatform{*olderHardware, inspector, olderDefaults, session->rootDir() + QStringLiteral("/older.log")});
    ASSERT_TRUE(older->supported());

    older->setMuted(id(QStringLiteral("chat")), true);
    engine->setMuted(id(QStringLiteral("music")), true);
    const auto onlyChatMuted = [](const std::vector<float>& s) {
        return energyDb(s, 0, kChatHz) < -90.0 && std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.005;
    };
    ASSERT_TRUE(soundsLike([&](const auto& s) {
        older->refresh();
        engine->refresh();
        return onlyChatMuted(s);
    }));
    // And it stays so: no mover takes back what the other moved.
    for (int i = 0; i < 8; ++i) {
        older->refresh();
        engine->refresh();
        pumpFor(400);
    }
    EXPECT_TRUE(onlyChatMuted(record()));

    older.reset();
    olderHardware.reset();
    olderConnection.reset();
    EXPECT_TRUE(pumpUntil([&] {
        engine->refresh();
        return engine->supported();
    }, 5000));
    EXPECT_TRUE(soundsLike([](const std::vector<float>& s) {
        return energyDb(s, 0, kMusicHz) < -90.0 && std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.005;
    }));
    EXPECT_TRUE(log.lines.contains(QStringLiteral("[ravlet] no other Ravlet mixes this audio server any more; this one takes over")));
}

// The mark is any client's to set: one that is not this program (a player
// that sets it, connected first) is not taken for a mixer, and Ravlet mixes
// as ever.
TEST_F(PipeWireBackendTest, AClientThatOnlySaysItIsAMixerIsNotBelieved)
{
    PlayerOptions claimant = playerOptions(QStringLiteral("radio"), kRadioHz, QStringLiteral("pipewire"));
    claimant.claimedMixer = QStringLiteral("stolen");
    startPlayer(claimant);
    play(QStringLiteral("chat"), kChatHz);
    ASSERT_TRUE(session->waitUntil([](const QJsonArray& dump) {
        return QJsonDocument(dump).toJson(QJsonDocument::Compact).contains("\"ravlet.mixer\":\"stolen\"");
    }, 5000));
    startEngine();
    waitForApps({QStringLiteral("chat")});
    EXPECT_TRUE(engine->supported()) << engine->unsupportedText().toStdString();
    engine->setMuted(id(QStringLiteral("chat")), true);
    EXPECT_TRUE(soundsLike([](const std::vector<float>& s) { return energyDb(s, 0, kChatHz) < -90.0; }));
}

// The primary application, tapped though nothing of it must change, is one
// that plays on the default device: one the user (or the application
// itself) sent elsewhere stays there, also once it is no longer muted,
// or sent again by the device's serial, as mixers send it.
TEST_F(PipeWireBackendTest, AnApplicationOnAnotherDeviceIsNeverTheOneTappedForNothing)
{
    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pipewire"), QStringLiteral("headphones"));
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    play(QStringLiteral("radio"), kRadioHz);
    ASSERT_TRUE(pumpUntil([&] { return nodeOf(QStringLiteral("chat")) != 0; }, 5000));
    ASSERT_TRUE(session->run(QStringLiteral("pw-metadata"), {QString::number(nodeOf(QStringLiteral("chat"))),
                                                             QStringLiteral("target.object"), QStringLiteral("headphones")}));
    startEngine();
    waitForApps({QStringLiteral("music"), QStringLiteral("chat"), QStringLiteral("radio")});
    EXPECT_EQ(engine->activeIDs(), QStringList{id(QStringLiteral("radio"))});
    const auto onHeadphones = [](const std::vector<float>& s) {
        return std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.005 && std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.005;
    };
    EXPECT_TRUE(soundsLike(onHeadphones, 5000, QStringLiteral("headphones")));

    // Looked at again while it is held on our sink, it still belongs on the
    // headphones.
    engine->setMuted(id(QStringLiteral("music")), true);
    ASSERT_TRUE(soundsLike(
        [&](const auto& s) {
            engine->refresh();
            return energyDb(s, 0, kMusicHz) < -90.0;
        },
        5000, QStringLiteral("headphones")));
    engine->refresh();
    engine->setMuted(id(QStringLiteral("music")), false);
    EXPECT_TRUE(soundsLike(
        [&](const auto& s) {
            engine->refresh();
            return onHeadphones(s);
        },
        5000, QStringLiteral("headphones")));
    EXPECT_EQ(engine->activeIDs(), QStringList{id(QStringLiteral("radio"))});

    // A device made since, whose serial is no longer its node id.
    ASSERT_TRUE(session->run(QStringLiteral("pw-cli"),
                             {QStringLiteral("create-node"), QStringLiteral("adapter"),
                              QStringLiteral("{ factory.name = support.null-audio-sink node.name = desk media.class = Audio/Sink "
                                             "audio.position = [ FL FR ] priority.session = 100 object.linger = true }")}));
    std::optional<pwdump::Node> desk;
    const auto removeDesk = qScopeGuard([&] {
        if (desk)
            session->run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), QString::number(desk->id)});
    });
    ASSERT_TRUE(pumpUntil([&] { return (desk = pwdump::nodeByName(session->pwDump(), QStringLiteral("desk"))).has_value(); }, 5000));
    ASSERT_NE(desk->serial, desk->id);
    ASSERT_TRUE(session->run(QStringLiteral("pw-metadata"), {QString::number(nodeOf(QStringLiteral("chat"))),
                                                             QStringLiteral("target.object"), QString::number(desk->serial)}));
    pumpFor(1000);
    engine->refresh();
    EXPECT_EQ(engine->activeIDs(), QStringList{id(QStringLiteral("radio"))}) << "chat, first by name, plays elsewhere";
    // Moved back, so that the session manager forgets the headphones for
    // the next test's player of the same name.
    session->run(QStringLiteral("pw-metadata"),
                 {QStringLiteral("-d"), QString::number(nodeOf(QStringLiteral("chat"))), QStringLiteral("target.object")});
}

} // namespace
