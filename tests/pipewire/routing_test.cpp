// Each application on its own device, through the seam alone: a process's
// output device sent elsewhere and back, another program's move read back,
// and two aggregate devices on two sinks that mix at once, each under its
// own device's clock, rebuilt without a gap, with applications moving
// between them, and what a held stream goes back to.

#include "backend_fixture.h"
#include "cf_string.h"
#include "client_properties.h"

#include <QDir>
#include <QThread>

#include <span>

namespace {

constexpr AudioObjectPropertyAddress kRoute{kRavletProcessPropertyOutputDevice, kAudioObjectPropertyScopeGlobal,
                                            kAudioObjectPropertyElementMain};

// The nodes joined by links, any direction: nodes never joined can never
// share a driver.
QHash<quint32, int> linkedGroups(const QJsonArray& dump)
{
    QHash<quint32, quint32> parent;
    const std::function<quint32(quint32)> root = [&](quint32 node) {
        while (parent.value(node, node) != node)
            node = parent.value(node);
        return node;
    };
    for (const pwdump::Link& link : pwdump::links(dump))
        parent.insert(root(link.outputNode), root(link.inputNode));
    QHash<quint32, int> groups;
    for (const pwdump::Node& node : pwdump::nodes(dump))
        groups.insert(node.id, int(root(node.id)));
    return groups;
}

class RoutingTest : public PipeWireBackendTest {
protected:
    // One device's mix as the engine builds it, of one application: its
    // tap, an aggregate device on the sink, a block that scales the tap.
    struct Mix {
        QString sink;
        AudioObjectID process = 0;
        float gain = 1.0f;
        AudioObjectID tap = 0;
        AudioObjectID aggregate = 0;
        DeviceIOProcID proc = nullptr;
    };

    void startHardware()
    {
        connection = std::make_unique<PipeWireConnection>();
        hardware = std::make_unique<PipeWireAudioHardware>(*connection, inspector);
        ASSERT_TRUE(pumpUntil([&] { return connection->isConnected() && hardware->processTapsSupported(); }, 5000));
    }

    template <typename T>
    OSStatus read(AudioObjectID object, AudioObjectPropertySelector selector, T& value, const SInt32* pid = nullptr)
    {
        UInt32 size = sizeof value;
        return hardware->getPropertyData(object, {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
                                         pid ? sizeof *pid : 0, pid, &size, &value);
    }

    OSStatus route(AudioObjectID process, AudioObjectID device)
    {
        return hardware->setPropertyData(process, kRoute, 0, nullptr, sizeof device, &device);
    }

    // The device a process is read as playing on; 0 while it follows the
    // default.
    AudioObjectID routed(AudioObjectID process)
    {
        AudioObjectID device = 0;
        return read(process, kRavletProcessPropertyOutputDevice, device) == kAudioHardwareNoError ? device : 0;
    }

    AudioObjectID processOf(const TestPlayer& player)
    {
        const auto pid = SInt32(player.pid());
        AudioObjectID process = 0;
        pumpUntil([&] { return read(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject, process, &pid) == 0 && process; }, 10000);
        return process;
    }

    AudioObjectID device(const QString& name)
    {
        UInt32 size = 0;
        const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        hardware->getPropertyDataSize(kAudioObjectSystemObject, devices, 0, nullptr, &size);
        std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
        hardware->getPropertyData(kAudioObjectSystemObject, devices, 0, nullptr, &size, ids.data());
        for (const AudioObjectID id : ids) {
            CFStringRef uid = nullptr;
            if (read(id, kAudioDevicePropertyDeviceUID, uid) != 0)
                continue;
            const bool found = QString::fromStdString(utf8FromCFString(uid)) == name;
            CFRelease(uid);
            if (found)
                return id;
        }
        return 0;
    }

    bool build(Mix& mix)
    {
        ProcessTapDescription tap;
        tap.muteBehavior = kTapMutedWhenTapped;
        tap.processes = {mix.process};
        if (hardware->createProcessTap(tap, &mix.tap) != 0)
            return false;
        const QVariantMap description{
            {kAudioAggregateDeviceUIDKey, QStringLiteral("ravlet-test-") + QUuid::createUuid().toString(QUuid::Id128)},
            {kAudioAggregateDeviceMainSubDeviceKey, mix.sink},
            {kAudioAggregateDeviceTapListKey,
             QVariantList{QVariantMap{{kAudioSubTapUIDKey, tap.uuid.toString(QUuid::WithoutBraces).toUpper()}}}}};
        if (hardware->createAggregateDevice(description, &mix.aggregate) != 0)
            return false;
        // Real-time safe: touches the buffers only.
        const float gain = mix.gain;
        const auto block = [gain](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                                  AudioBufferList* out, const AudioTimeStamp*) {
            for (UInt32 channel = 0; channel < out->mNumberBuffers; ++channel) {
                auto* samples = static_cast<float*>(out->mBuffers[channel].mData);
                const auto* from = static_cast<const float*>(in->mBuffers[channel % 2].mData);
                for (UInt32 i = 0; i < out->mBuffers[channel].mDataByteSize / sizeof(float); ++i)
                    samples[i] = gain * from[i];
            }
        };
        return hardware->createIOProcIDWithBlock(&mix.proc, mix.aggregate, nullptr, block) == 0
            && hardware->deviceStart(mix.aggregate, mix.proc) == 0;
    }

    void tearDown(Mix& mix)
    {
        if (mix.aggregate) {
            hardware->deviceStop(mix.aggregate, mix.proc);
            hardware->destroyIOProcID(mix.aggregate, mix.proc);
            hardware->destroyAggregateDevice(mix.aggregate);
        }
        hardware->destroyProcessTap(mix.tap);
        mix.tap = 0;
        mix.aggregate = 0;
        mix.proc = nullptr;
    }

    bool plays(double frequency, double level, const QString& sink, int timeoutMs = 5000)
    {
        return soundsLike([&](const auto& s) { return std::abs(amplitude(s, frequency) - level) < level / 20; }, timeoutMs, sink);
    }

    bool silent(double frequency, const QString& sink)
    {
        return soundsLike([&](const auto& s) { return energyDb(s, 0, frequency) < -90.0; }, 5000, sink);
    }
};

// Untapped players of both APIs sent to the headphones and back, a wrong
// call refused, and a move made with pactl read back as the device; the
// default afterwards undoes that move too.
TEST_F(RoutingTest, AnUntappedApplicationPlaysOnTheDeviceChosenForItAndBackOnTheDefault)
{
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
    startHardware();
    const AudioObjectID music = processOf(players.front());
    const AudioObjectID chat = processOf(players.back());
    const AudioObjectID headphones = device(QStringLiteral("headphones"));
    const AudioObjectID speakers = device(QStringLiteral("speakers"));
    ASSERT_TRUE(music && chat && headphones && speakers);
    EXPECT_FALSE(hardware->hasProperty(music, kRoute)) << "on the default";

    const uint16_t shortValue = 0;
    EXPECT_EQ(hardware->setPropertyData(music, kRoute, 0, nullptr, sizeof shortValue, &shortValue),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(route(music, chat), kAudioHardwareBadDeviceError) << "a process is no device";
    EXPECT_EQ(route(music, 999999), kAudioHardwareBadDeviceError);

    for (const AudioObjectID process : {music, chat})
        ASSERT_EQ(route(process, headphones), kAudioHardwareNoError);
    EXPECT_EQ(routed(music), headphones) << "read back at once";
    for (const double tone : {kMusicHz, kChatHz}) {
        EXPECT_TRUE(plays(tone, kAmplitude, QStringLiteral("headphones"))) << tone;
        EXPECT_TRUE(silent(tone, QStringLiteral("speakers"))) << tone;
    }
    EXPECT_EQ(routed(chat), headphones);

    for (const AudioObjectID process : {music, chat})
        ASSERT_EQ(route(process, kAudioObjectUnknown), kAudioHardwareNoError);
    EXPECT_FALSE(hardware->hasProperty(music, kRoute));
    EXPECT_TRUE(plays(kMusicHz, kAmplitude, QStringLiteral("speakers")));
    EXPECT_TRUE(plays(kChatHz, kAmplitude, QStringLiteral("speakers")));

    // Another program's move is the application's device, and the default
    // chosen afterwards brings it back from there.
    const pwdump::Node stream = pwdump::nodesByApplication(session->pwDump(), QStringLiteral("chat")).front();
    EXPECT_TRUE(moveSinkInput(*session, stream.serial, QStringLiteral("headphones"),
                              [&] { return routed(chat) == headphones; }));
    EXPECT_TRUE(plays(kChatHz, kAmplitude, QStringLiteral("headphones")));
    ASSERT_EQ(route(chat, kAudioObjectUnknown), kAudioHardwareNoError);
    EXPECT_TRUE(plays(kChatHz, kAmplitude, QStringLiteral("speakers")));
    EXPECT_TRUE(silent(kChatHz, QStringLiteral("headphones")));
    EXPECT_EQ(routed(chat), 0u);
}

// Two aggregate devices, one per sink, each mixing its own application at
// its own gain; the two sinks never joined into one clock; rebuilt both at
// once, again and again, without a gap on either, and with the applications
// trading devices, without keeping a descriptor. A held application's
// chosen device is where it goes once let go.
TEST_F(RoutingTest, TwoDevicesMixAtOnceEachOnItsOwnClockAndRebuildWithoutAGap)
{
    constexpr double kTalkHz = 1000.0;
    play(QStringLiteral("music"), kMusicHz);
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"), QStringLiteral("headphones"));
    // Left alone, one on each device: what a change of clock is heard on.
    play(QStringLiteral("radio"), kRadioHz);
    play(QStringLiteral("talk"), kTalkHz, QStringLiteral("pulse"), QStringLiteral("headphones"));
    startHardware();
    Mix onSpeakers{QStringLiteral("speakers"), processOf(players.front()), 0.5f};
    Mix onHeadphones{QStringLiteral("headphones"), processOf(*std::next(players.begin())), 0.8f};
    ASSERT_TRUE(onSpeakers.process && onHeadphones.process);
    ASSERT_TRUE(build(onSpeakers) && build(onHeadphones));
    const auto mixes = [&](const std::vector<float>& s, double tone, double level, double other) {
        return std::abs(amplitude(s, tone) - level) < level / 20 && energyDb(s, 0, other) < -90.0;
    };
    EXPECT_TRUE(soundsLike([&](const auto& s) { return mixes(s, kMusicHz, kAmplitude * 0.5, kChatHz); }, 5000,
                           QStringLiteral("speakers")));
    EXPECT_TRUE(soundsLike([&](const auto& s) { return mixes(s, kChatHz, kAmplitude * 0.8, kMusicHz); }, 5000,
                           QStringLiteral("headphones")));

    const auto separate = [&] {
        const QJsonArray dump = session->pwDump();
        const QHash<quint32, int> groups = linkedGroups(dump);
        const auto speakers = pwdump::nodeByName(dump, QStringLiteral("speakers"));
        const auto phones = pwdump::nodeByName(dump, QStringLiteral("headphones"));
        return speakers && phones && groups.value(speakers->id) != groups.value(phones->id);
    };
    EXPECT_TRUE(separate()) << "the two sinks are joined by links, so one drives the other";

    const auto rebuild = [&](bool trade) {
        tearDown(onSpeakers);
        tearDown(onHeadphones);
        if (trade)
            std::swap(onSpeakers.process, onHeadphones.process);
        EXPECT_TRUE(build(onSpeakers) && build(onHeadphones));
    };
    // Both sinks recorded in one piece while both are rebuilt in one turn.
    QString errors[2];
    auto speakers = std::async(std::launch::async, [&] { return recordMonitor(*session, QStringLiteral("speakers"), 4000, &errors[0]); });
    auto phones = std::async(std::launch::async, [&] { return recordMonitor(*session, QStringLiteral("headphones"), 4000, &errors[1]); });
    pumpFor(300);
    for (int i = 0; i < 8; ++i) {
        rebuild(false);
        pumpFor(300);
    }
    const std::vector<float> heardOnSpeakers = pumpUntilReady(speakers);
    const std::vector<float> heardOnPhones = pumpUntilReady(phones);
    ASSERT_FALSE(heardOnSpeakers.empty() || heardOnPhones.empty()) << errors[0].toStdString() << errors[1].toStdString();
    const int speakerGaps = dropOuts(heardOnSpeakers, {kMusicHz, kChatHz, kRadioHz}, kAmplitude * 0.5, 10);
    const int phoneGaps = dropOuts(heardOnPhones, {kChatHz, kMusicHz, kTalkHz}, kAmplitude * 0.8, 10);
    const int radioGaps = dropOuts(heardOnSpeakers, {kRadioHz, kMusicHz, kChatHz}, kAmplitude, 10);
    const int talkGaps = dropOuts(heardOnPhones, {kTalkHz, kMusicHz, kChatHz}, kAmplitude, 10);
    std::printf("gaps over 8 rebuilds of two devices: mixed %d on the speakers, %d on the headphones; "
                "untouched %d and %d\n", speakerGaps, phoneGaps, radioGaps, talkGaps);
    // One to spare for a busy machine's own hiccup: a node made anew costs
    // one per rebuild. Under a sanitizer a rebuild takes the main thread
    // several cycles, and the mixed applications may miss one of them; the
    // untouched ones never wait for us.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const std::initializer_list<int> counted = {radioGaps, talkGaps};
#else
    const std::initializer_list<int> counted = {speakerGaps, phoneGaps, radioGaps, talkGaps};
#endif
    for (const int found : counted)
        EXPECT_LE(found, 1);
    EXPECT_TRUE(separate());

    for (int i = 0; i < 6; ++i) {
        rebuild(i % 3 == 2);
        pumpFor(20);
    }
    pumpFor(300);
    const int before = openDescriptors();
    for (int i = 0; i < 24; ++i) {
        rebuild(i % 3 == 2);
        pumpFor(20);
    }
    pumpFor(300);
    const int after = openDescriptors();
    std::printf("descriptors: %d before, %d after 24 rebuilds of two devices, 8 trading applications\n", before, after);
    EXPECT_LE(after, before + 2);
    EXPECT_TRUE(soundsLike([&](const auto& s) { return mixes(s, kMusicHz, kAmplitude * 0.5, kChatHz); }, 5000,
                           QStringLiteral("speakers")));

    // Music, held on the speakers, is sent to the headphones: it stays in the
    // speakers' mix until let go, and then plays there.
    const AudioObjectID music = onSpeakers.process;
    const AudioObjectID headphones = device(QStringLiteral("headphones"));
    ASSERT_EQ(route(music, headphones), kAudioHardwareNoError);
    EXPECT_EQ(routed(music), headphones);
    EXPECT_TRUE(soundsLike([&](const auto& s) { return mixes(s, kMusicHz, kAmplitude * 0.5, kChatHz); }, 5000,
                           QStringLiteral("speakers")));
    tearDown(onSpeakers);
    tearDown(onHeadphones);
    EXPECT_TRUE(soundsLike([&](const auto& s) {
        return std::abs(amplitude(s, kMusicHz) - kAmplitude) < 0.01 && std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.01;
    }, 5000, QStringLiteral("headphones")));
    EXPECT_TRUE(silent(kMusicHz, QStringLiteral("speakers")));
    EXPECT_EQ(routed(music), headphones);
    // Nothing of ours is left once nothing mixes and the devices fall quiet.
    players.clear();
    EXPECT_TRUE(pumpUntil([&] { return nothingOfOurs(); }, 5000));
}

// A mix stopped and started again a moment later, as every rebuild does,
// misses no cycle of the application it mixes: the stop comes between two
// cycles, so a start within a few milliseconds finds the next one.
TEST_F(RoutingTest, AMixStoppedAndStartedAgainAtOnceMissesNoCycle)
{
    play(QStringLiteral("music"), kMusicHz, QStringLiteral("pipewire"), QStringLiteral("headphones"));
    startHardware();
    Mix mix{QStringLiteral("headphones"), processOf(players.front()), 0.5f};
    ASSERT_TRUE(mix.process);
    ASSERT_TRUE(build(mix));
    ASSERT_TRUE(plays(kMusicHz, kAmplitude * 0.5, QStringLiteral("headphones")));

    const std::vector<float> heard = record(QStringLiteral("headphones"), 4000, [&] {
        for (int restart = 0; restart < 40; ++restart) {
            pumpFor(60);
            EXPECT_EQ(hardware->deviceStop(mix.aggregate, mix.proc), 0);
            QThread::msleep(4);
            EXPECT_EQ(hardware->deviceStart(mix.aggregate, mix.proc), 0);
        }
    });
    const int gaps = dropOuts(heard, {kMusicHz}, kAmplitude * 0.5);
    std::printf("gaps of the mixed application over 40 restarts of its mix: %d\n", gaps);
    // The fault costs about one in seven restarts (3 of 20); one to spare for
    // a busy machine that holds this thread past a cycle between the two. A
    // sanitizer's build always takes that long: only timing, which such a
    // build does not measure.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LE(gaps, 1);
#endif
    tearDown(mix);
}

// A device whose last mix ends, in place or as its application moves on to
// another device's mix, plays its other applications on without a gap: our
// node leaving the device's graph is not heard by the players beside it.
TEST_F(RoutingTest, ADeviceWhoseLastMixEndsPlaysItsOtherApplicationsOnWithoutAGap)
{
    constexpr double kTalkHz = 1000.0;
    play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"), QStringLiteral("headphones"));
    play(QStringLiteral("talk"), kTalkHz, QStringLiteral("pipewire"), QStringLiteral("headphones"));
    startHardware();
    Mix mix{QStringLiteral("headphones"), processOf(players.front()), 0.5f};
    ASSERT_TRUE(mix.process);
    ASSERT_TRUE(build(mix));

    const std::vector<float> heard = record(QStringLiteral("headphones"), 7000, [&] {
        pumpFor(300);
        // It ends, and starts again;
        tearDown(mix);
        pumpFor(1000);
        EXPECT_TRUE(build(mix));
        pumpFor(500);
        // it ends three times as its application moves on to the speakers'
        // mix, and comes back.
        for (int move = 0; move < 3; ++move) {
            tearDown(mix);
            mix.sink = QStringLiteral("speakers");
            EXPECT_TRUE(build(mix));
            pumpFor(800);
            tearDown(mix);
            mix.sink = QStringLiteral("headphones");
            EXPECT_TRUE(build(mix));
            pumpFor(500);
        }
    });
    const int talkGaps = dropOuts(heard, {kTalkHz, kChatHz}, kAmplitude, 10);
    std::printf("gaps of the untouched player over 4 ends of the device's only mix, 3 of them moves: %d\n", talkGaps);
    // The fault costs one at each end; one to spare for a busy machine.
    EXPECT_LE(talkGaps, 1);

    // The node kept meanwhile mixed again when the device's mix came back,
    EXPECT_TRUE(plays(kChatHz, kAmplitude * 0.5, QStringLiteral("headphones")));

    // Nor is the program heard quitting, with its mix ended first (as the
    // engine ends it) or still running.
    const std::vector<float> atQuits = record(QStringLiteral("headphones"), 4000, [&] {
        for (int quit = 0; quit < 3; ++quit) {
            pumpFor(400);
            if (quit == 0)
                tearDown(mix);
            hardware.reset();
            pumpFor(400);
            startHardware();
            mix.process = processOf(players.front());
            EXPECT_TRUE(mix.process && build(mix));
        }
    });
    const int quitGaps = dropOuts(atQuits, {kTalkHz, kChatHz}, kAmplitude);
    std::printf("gaps of the untouched player over 3 quits: %d\n", quitGaps);
    EXPECT_LE(quitGaps, 1);
    tearDown(mix);
    // and goes with our sink once nothing else plays there.
    players.clear();
    EXPECT_TRUE(pumpUntil([&] { return nothingOfOurs(); }, 5000));
}

} // namespace
