// Per-application volume from end to end on the simulated hardware: what the
// output device plays, sample by sample, and how the setup behind it is
// built, kept, moved and recovered.

#include "settings.h"
#include "support/files.h"
#include "support/simulated_scene.h"
#include "support/wait_until.h"
#include "support/tone_figures.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

constexpr UInt32 kCycle = SimulatedAudioHardware::kFramesPerCycle;

class TapSetupTest : public testing::Test {
protected:
    void SetUp() override
    {
        music = scene.addApp(QStringLiteral("Music"), 10, musicSignal);
        chat = scene.addApp(QStringLiteral("Chat"), 20, chatSignal);
        engine = scene.makeEngine();
    }

    // The largest difference between what the device played in the last
    // cycle and musicGain × music + chatGain × chat.
    float mismatch(AudioObjectID device, float musicGain, float chatGain) const
    {
        return playedMismatch(scene.hardware, device, musicSignal, musicGain, chatSignal, chatGain);
    }

    int calls(Call call) const { return scene.hardware.callCount(call); }
    QVariantMap currentDescription() const { return scene.hardware.aggregateDescription(engine->aggregateDevice()).value(); }

    const Signal musicSignal = Signal::sine(1000.0f, 0.5f);
    const Signal chatSignal = Signal::sine(250.0f, 0.4f);
    SimulatedScene scene;
    QString music;
    QString chat;
    std::unique_ptr<RavletEngine> engine;
};

TEST_F(TapSetupTest, EachApplicationPlaysAndMetersScaledByItsOwnGainExactlyOnceNewProcessesToo)
{
    ASSERT_EQ(engine->activeIDs(), QStringList{music}) << "the primary application is tapped from the start";
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f);

    engine->setGain(chat, 0.5f);
    scene.hardware.runCycles(1);
    EXPECT_EQ(engine->activeIDs(), (QStringList{chat, music}));
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.5f), 1e-6f) << "no doubled signal from the tapped source";
    engine->pumpMeters();
    EXPECT_NEAR(engine->levels().value(chat), 0.2f, 0.01f);

    // Once tapped, gain and mute changes only push new slot gains.
    const int aggregates = calls(Call::CreateAggregateDevice);
    const int taps = calls(Call::CreateProcessTap);
    const int stops = calls(Call::DeviceStop);
    engine->setGain(chat, 0.25f);
    scene.hardware.runCycles(1);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.25f), 1e-6f);
    engine->setMuted(chat, true);
    for (int i = 0; i < 60; ++i) {
        scene.hardware.runCycles(1);
        engine->pumpMeters();
    }
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);
    EXPECT_LT(engine->levels().value(chat), 1e-5f) << "a muted application's level falls to zero";
    EXPECT_NEAR(engine->levels().value(music), 0.5f, 0.01f);
    EXPECT_NEAR(engine->masterLevel(), 0.5f, 0.01f);
    EXPECT_EQ(calls(Call::CreateAggregateDevice), aggregates);
    EXPECT_EQ(calls(Call::CreateProcessTap), taps);
    EXPECT_EQ(calls(Call::DeviceStop), stops);

    // A second process of the same application, as a browser opens a tab.
    scene.addProcess(21, chat + "/Contents/Helpers/Chat Helper.app/Contents/MacOS/Helper", 0, chatSignal);
    engine->refresh();
    scene.hardware.runCycles(1);
    EXPECT_EQ(engine->pidsByID().value(chat), (QList<qint32>{20, 21}));
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f) << "the new process must not play unmuted";
}

// 150 % of a 1 kHz tone peaking at 0.9: without "Prevent Clipping" the
// device gets 1.35, as it always has. With it, chosen once and remembered by
// the next start, the tone never passes full scale, keeps its level and
// gains no audible distortion, on whichever device it plays.
TEST(PreventClipping, ABoostedToneStaysWithinFullScaleAtItsLevelAndTheChoiceIsRemembered)
{
    SimulatedScene scene;
    const QString headphonesUID = QStringLiteral("hp-uid");
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), headphonesUID);
    const QString music = scene.addApp(QStringLiteral("Music"), 10, Signal::sine(1000.0f, 0.9f));
    {
        const auto engine = scene.makeEngine();
        EXPECT_FALSE(engine->preventClipping());
        engine->setGain(music, 1.5f);
        scene.hardware.runCycles(2);
        EXPECT_NEAR(scene.hardware.recentPeak(scene.speakers, kCycle), 1.35f, 1e-4f);
        ASSERT_TRUE(engine->setOutputOf(music, headphonesUID));
        engine->setPreventClipping(true);
        scene.hardware.runCycles(2);
        EXPECT_LE(scene.hardware.recentPeak(headphones, kCycle), 1.0f);
        ASSERT_TRUE(engine->setOutputOf(music, QString()));
    }
    EXPECT_EQ(scene.defaults.value(settings::limiterKey), QVariant(true));

    const auto engine = scene.makeEngine();
    EXPECT_TRUE(engine->preventClipping());
    scene.hardware.runCycles(100);
    // Half a second: a whole number of the tone's periods.
    const ToneFigures tone =
        measureTone(scene.hardware.recentOutput(scene.speakers, 24000), SimulatedAudioHardware::kSampleRate, 1000.0);
    EXPECT_LE(tone.peak, 1.0f);
    EXPECT_GE(tone.fundamental, 0.9);
    EXPECT_LT(tone.thd, 0.001);
    ASSERT_TRUE(engine->setOutputOf(music, headphonesUID));
    scene.hardware.runCycles(2);
    EXPECT_LE(scene.hardware.recentPeak(headphones, kCycle), 1.0f);
}

// What each setup is built from, as Core Audio and the diagnostics log see it.
// While someone follows the levels (the open popover), each visible row that
// plays has one, the untapped ones through taps that leave their sound as it
// is; a hidden one has none. Once no one follows them, nothing of the
// untapped applications is read any more.
TEST_F(TapSetupTest, EveryVisibleRowHasALevelOnlyWhileSomeoneFollowsTheLevels)
{
    const QString radio = scene.addApp(QStringLiteral("Radio"), 30);
    engine->setHidden(radio, true);
    engine->refresh();
    ASSERT_EQ(engine->activeIDs(), QStringList{music});
    const int tapsBefore = calls(Call::CreateProcessTap);

    QObject follower;
    followLevels(*engine, follower);
    EXPECT_EQ(engine->meteredIDs(), QStringList{chat});
    EXPECT_EQ(engine->activeIDs(), QStringList{music});
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f) << "chat neither silenced nor doubled";
    engine->pumpMeters();
    EXPECT_NEAR(engine->levels().value(chat), 0.4f, 0.01f);
    EXPECT_FALSE(engine->levels().contains(radio));
    EXPECT_NEAR(engine->masterLevel(), 0.5f, 0.01f) << "the master meter shows only what is mixed";

    // A row turned down is mixed instead; one turned back up is metered.
    engine->setGain(chat, 0.5f);
    EXPECT_TRUE(engine->meteredIDs().isEmpty());
    engine->setGain(chat, 1.0f);
    EXPECT_EQ(engine->meteredIDs(), QStringList{chat});

    // No more are listened to than a mix has slots.
    for (int i = 0; i < kSlotCount; ++i)
        scene.addApp(QStringLiteral("Quiet%1").arg(i), 100 + i);
    engine->refresh();
    EXPECT_EQ(engine->meteredIDs().size(), kSlotCount);
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f);

    QObject::disconnect(engine.get(), &RavletEngine::levelsChanged, &follower, nullptr);
    engine->pumpMeters();
    EXPECT_TRUE(engine->meteredIDs().isEmpty());
    EXPECT_GT(calls(Call::CreateProcessTap), tapsBefore);
}

TEST_F(TapSetupTest, EachSetupIsDescribedExactlyAndLogsItsRebuildThenTheFirstPumps)
{
    engine->setMuted(chat, true);
    for (int i = 0; i < 30; ++i) {
        scene.hardware.runCycles(1);
        engine->pumpMeters();
    }
    const QList<AudioObjectID> taps = engine->taps();
    QVariantList tapList;
    for (const AudioObjectID tap : taps) {
        const auto made = scene.hardware.tapDescription(tap).value();
        EXPECT_TRUE(made.isPrivate);
        EXPECT_TRUE(made.stereoMixdown) << "the mix reads two channels from every tap";
        tapList.append(QVariantMap{{"uid", made.uuid.toString(QUuid::WithoutBraces).toUpper()}, {"drift", 1}});
    }
    ASSERT_EQ(taps.size(), 2);
    const QString uid = currentDescription().value("uid").toString();
    EXPECT_TRUE(uid.startsWith("io.morvik.ravlet.agg.")) << uid.toStdString();
    EXPECT_EQ(currentDescription(),
              (QVariantMap{{"master", "speakers-uid"}, {"name", "Ravlet"}, {"private", 1}, {"stacked", 0},
                           {"subdevices", QVariantList{QVariantMap{{"uid", "speakers-uid"}}}}, {"tapautostart", 1},
                           {"taps", tapList}, {"uid", uid}}));

    // The log's facts, not its wording: counts, states and the slots' numbers.
    const QStringList lines = QString::fromUtf8(readFile(scene.diagPath())).split('\n', Qt::SkipEmptyParts);
    const QString agg = QString::number(engine->aggregateDevice());
    ASSERT_EQ(lines.size(), 8 + 25) << "the rebuild, two taps, the start, then a line per pump";
    EXPECT_TRUE(lines[0].contains("2 app(s) out=speakers-uid authAudio=3")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("pid=20 obj=%1 runningOutput=true").arg(scene.hardware.processObject(20))));
    EXPECT_TRUE(lines[7].startsWith(QStringLiteral("tap[1] obj=%1 fmt=48000Hz ch2").arg(taps[1]))) << lines[7].toStdString();
    EXPECT_EQ(scene.log.last(), "[ravlet] started 2 app(s) out=speakers-uid agg=" + agg);

    engine->rebuild(engine->activeIDs());
    EXPECT_NE(currentDescription().value("uid"), uid);
    EXPECT_NE(currentDescription().value("taps").toList().first(), tapList.first());
}

// The setup follows the output device: once when one is picked, even the
// current one, and at the next refresh when its own vanishes. With none left
// it goes, and the meters fall to silence instead of holding its last peak.
TEST_F(TapSetupTest, TheSetupFollowsTheOutputDeviceAndGoesWhileThereIsNone)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp-uid"));
    engine->setGain(chat, 0.5f);
    ASSERT_NE(engine->aggregateDevice(), 0u);
    engine->refresh();
    EXPECT_EQ(engine->outputs(), (QList<OutputDevice>{{scene.speakers, QStringLiteral("Speakers"), QStringLiteral("speakers-uid")},
                                                      {headphones, QStringLiteral("Headphones"), QStringLiteral("hp-uid")}}))
        << "our own aggregate device is never offered";

    const int aggregates = calls(Call::CreateAggregateDevice);
    engine->selectOutputDevice(scene.speakers);
    EXPECT_EQ(calls(Call::CreateAggregateDevice), aggregates + 1) << "picking the current output still rebuilds";
    engine->selectOutputDevice(headphones);
    scene.hardware.runCycles(1);
    EXPECT_EQ(calls(Call::CreateAggregateDevice), aggregates + 2) << "moved once, not twice";
    EXPECT_EQ(engine->currentOutputID(), headphones);
    EXPECT_EQ(currentDescription().value("subdevices"), QVariant(QVariantList{QVariantMap{{"uid", "hp-uid"}}}));
    EXPECT_LT(mismatch(headphones, 1.0f, 0.5f), 1e-6f);
    EXPECT_EQ(scene.hardware.recentPeak(scene.speakers, kCycle), 0.0f);

    scene.hardware.removeDevice(headphones);
    scene.hardware.setDefaultOutputDevice(scene.speakers);
    engine->refresh();
    scene.hardware.runCycles(1);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.5f), 1e-6f);
    EXPECT_EQ(scene.hardware.liveAggregateCount(), 1);

    engine->pumpMeters();
    ASSERT_GT(engine->masterLevel(), 0.4f);
    QFile::remove(scene.diagPath());
    scene.hardware.removeDevice(scene.speakers);
    engine->refresh();
    EXPECT_TRUE(engine->activeIDs().isEmpty());
    EXPECT_EQ(scene.log.last(), "[ravlet] no output device");
    EXPECT_FALSE(QFile::exists(scene.diagPath()));
    EXPECT_EQ(scene.hardware.liveTapCount() + scene.hardware.liveAggregateCount(), 0);
    for (int i = 0; i < 60; ++i)
        engine->pumpMeters();
    EXPECT_LT(engine->masterLevel(), 1e-5f);

    scene.speakers = scene.addOutputDevice(QStringLiteral("Speakers"), QStringLiteral("speakers-uid"));
    scene.hardware.setDefaultOutputDevice(scene.speakers);
    engine->refresh();
    EXPECT_EQ(engine->activeIDs(), (QStringList{chat, music}));
}

TEST_F(TapSetupTest, AnApplicationWhoseProcessesAreGoneIsLeftOutWithoutRetryingForever)
{
    scene.hardware.removeProcess(20);   // gone from the hardware, not yet seen by a refresh
    engine->setGain(chat, 0.5f);
    EXPECT_EQ(engine->activeIDs(), QStringList{music});
    EXPECT_TRUE(scene.log.contains("[ravlet] no process objects for " + chat));

    engine->setMuted(chat, true);
    scene.processes.removeProcess(20);   // now the refresh sees it gone too
    engine->refresh();
    const int aggregates = calls(Call::CreateAggregateDevice);
    engine->refresh();
    engine->refresh();
    EXPECT_EQ(engine->activeIDs(), QStringList{music});
    EXPECT_EQ(calls(Call::CreateAggregateDevice), aggregates);
}

// Where the hardware can tap an application's processes still to come, one
// that stopped playing while others change the setup, or that is remembered
// as muted and has not played yet, keeps a tap waiting for its processes.
TEST_F(TapSetupTest, AnApplicationWithoutProcessesWaitsInTheSetupWhereTheHardwareLetsIt)
{
    scene.hardware.setTapsWaitForProcesses(true);
#if defined(RAVLET_MACOS_SEAMS)
    // Core Audio is not asked for such taps: only what plays is tapped, and
    // the refusal is not asked again at every refresh.
    const bool waits = false;
#else
    const bool waits = true;
#endif
    const QString radio = QStringLiteral("/Applications/Radio.app");
    engine->setMuted(radio, true);
    engine->setMuted(chat, true);
    EXPECT_EQ(engine->activeIDs(), (waits ? QStringList{chat, music, radio} : QStringList{chat, music}));
    const int aggregates = calls(Call::CreateAggregateDevice);
    engine->refresh();
    EXPECT_EQ(calls(Call::CreateAggregateDevice), aggregates) << "a waiting tap is no change";

    scene.removeProcess(20);
    engine->refresh();
    const QString video = scene.addApp(QStringLiteral("Video"), 30);
    engine->refresh();
    engine->setMuted(video, true);
    EXPECT_EQ(engine->activeIDs(), (waits ? QStringList{video, music, chat, radio} : QStringList{video, music}));
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);
}

// What a person hears while the setup changes, with Core Audio's own
// timings: a tap takes 20 ms to make and an aggregate device 150 ms, the
// devices play on meanwhile, and a tap mutes only while a started device
// reads it. Every application plays a tone of its own, a whole number of
// periods per 5 ms, so that each one's level can be read in every 5 ms of
// what both devices played together (far enough apart that a step in one
// tone's level does not show in another's).
class HeardTest : public testing::Test {
protected:
    static constexpr std::size_t kWindow = 240;   // 5 ms
    static constexpr float kAmplitude = 0.3f;

    struct Tone {
        QString name;
        double frequency;
        float level;   // what should be heard of it, throughout
    };

    void SetUp() override
    {
        headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp-uid"));
        music = scene.addApp(QStringLiteral("Music"), 10, Signal::sine(1400.0f, kAmplitude));
        chat = scene.addApp(QStringLiteral("Chat"), 20, Signal::sine(3000.0f, kAmplitude));
        radio = scene.addApp(QStringLiteral("Radio"), 30, Signal::sine(5000.0f, kAmplitude));
        podcast = scene.addApp(QStringLiteral("Podcast"), 40, Signal::sine(400.0f, kAmplitude));
        scene.hardware.runCycles(10);   // until their process objects are published
        engine = scene.makeEngine();
        engine->setMuted(chat, true);
        engine->setGain(radio, 0.2f);
        scene.hardware.runCycles(4);
        listen();
        heard.clear();
    }

    // What both devices played since the last call.
    void listen()
    {
        const std::int64_t cycles = scene.hardware.cyclesRun();
        const auto frames = UInt32((cycles - listenedTo) * kCycle);
        ASSERT_LE(frames, 48000u) << "more than the second the devices remember";
        const std::vector<float> a = scene.hardware.recentOutput(scene.speakers, frames);
        const std::vector<float> b = scene.hardware.recentOutput(headphones, frames);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i)
            heard.push_back(a[i] + b[i]);
        listenedTo = cycles;
    }

    // "<name> at <level> in window <n>" for every 5 ms in which a tone was
    // heard at another level than its own: 0 a gap, twice its level heard
    // twice, 1 unscaled.
    QStringList wrongLevels(const std::vector<Tone>& tones) const
    {
        QStringList wrong;
        for (std::size_t w = 0; (w + 1) * kWindow * 2 <= heard.size(); ++w) {
            for (const Tone& tone : tones) {
                const double level = toneAmplitude(heard, w * kWindow, kWindow, SimulatedAudioHardware::kSampleRate,
                                                   tone.frequency) / kAmplitude;
                if (std::fabs(level - tone.level) > 0.01)
                    wrong.append(QStringLiteral("%1 at %2 in window %3").arg(tone.name).arg(level, 0, 'f', 2).arg(w));
            }
        }
        return wrong.mid(0, 6);
    }

    SimulatedScene scene{true, SimulatedAudioHardware::Timings{}};
    AudioObjectID headphones = kAudioObjectUnknown;
    QString music, chat, radio, podcast;
    std::unique_ptr<RavletEngine> engine;
    std::vector<float> heard;
    std::int64_t listenedTo = 0;
};

// Twenty rebuilds of every kind: an application joining and leaving the
// mix, the output device changing, a tapped application's new process. No
// 5 ms of any of them has a tapped application heard at another level than
// its own, unscaled, doubled or gone.
TEST_F(HeardTest, NoRebuildLetsATappedApplicationBeHeardAtAnotherLevel)
{
    const std::vector<Tone> tapped{{"music", 1400.0, 1.0f}, {"chat", 3000.0, 0.0f}, {"radio", 5000.0, 0.2f}};
    // The application that joins and leaves the mix is silent: a step in
    // its own level is no fault, and would blur the others' windows.
    scene.hardware.setProcessSignal(40, Signal::silence());
    int rebuilds = 0;
    int newPid = 50;
    for (int step = 0; step < 20; ++step) {
        const int before = scene.hardware.callCount(Call::CreateAggregateDevice);
        switch (step % 4) {
        case 0:
            engine->setGain(podcast, 0.5f);
            break;
        case 1:
            engine->setGain(podcast, 1.0f);
            break;
        case 2:
            engine->selectOutputDevice(engine->currentOutputID() == headphones ? scene.speakers : headphones);
            break;
        case 3: {
            // A second process of the muted application, silent so that
            // only what was tapped before is measured; published a moment
            // after it starts, and tapped at the next refresh after that.
            scene.addProcess(newPid++, chat + QStringLiteral("/Contents/MacOS/Helper"));
            engine->refresh();
            EXPECT_EQ(scene.hardware.callCount(Call::CreateAggregateDevice), before) << "not published yet";
            scene.hardware.runCycles(6);
            engine->refresh();
            break;
        }
        }
        rebuilds += scene.hardware.callCount(Call::CreateAggregateDevice) > before;
        scene.hardware.runCycles(5);
        listen();
    }
    EXPECT_EQ(rebuilds, 20);
    EXPECT_EQ(wrongLevels(tapped), QStringList());
    EXPECT_GT(heard.size(), std::size_t(48000 * 2) * 3) << "each rebuild spans many cycles";
    EXPECT_EQ(scene.hardware.liveAggregateCount(), 1);
    EXPECT_EQ(scene.hardware.liveTapCount(), 3);
}

// Twenty openings and closings of the popover, the rows it meters changing
// in between: the mix's taps and aggregate device stay as they are, and no
// 5 ms of any application, mixed or not, is heard at another level.
TEST_F(HeardTest, FollowingTheLevelsNeverTouchesTheMix)
{
    const AudioObjectID aggregate = engine->aggregateDevice();
    const QList<AudioObjectID> taps = engine->taps();
    const int stops = scene.hardware.callCount(Call::DeviceStop);
    ASSERT_EQ(taps.size(), 3);
    const std::vector<Tone> tones{
        {"music", 1400.0, 1.0f}, {"chat", 3000.0, 0.0f}, {"radio", 5000.0, 0.2f}, {"podcast", 400.0, 1.0f}};
    for (int opening = 0; opening < 20; ++opening) {
        // A row that plays only now and then.
        if (opening % 2 == 0)
            scene.addProcess(60, QStringLiteral("/Applications/Game.app/Contents/MacOS/Game"));
        else
            scene.removeProcess(60);
        scene.hardware.runCycles(6);
        engine->refresh();
        {
            QObject popover;
            followLevels(*engine, popover);
            EXPECT_FALSE(engine->meterMixes().empty());
            EXPECT_EQ(engine->meteredIDs().contains(QStringLiteral("/Applications/Game.app")), opening % 2 == 0);
            scene.hardware.runCycles(3);
            engine->pumpMeters();
            EXPECT_NEAR(engine->levels().value(podcast), kAmplitude, 0.01f);
        }
        engine->pumpMeters();
        EXPECT_TRUE(engine->meterMixes().empty());
        EXPECT_EQ(engine->aggregateDevice(), aggregate);
        EXPECT_EQ(engine->taps(), taps);
        listen();
    }
    EXPECT_EQ(scene.hardware.callCount(Call::DeviceStop), stops + 20) << "only the listening device stopped";
    EXPECT_EQ(wrongLevels(tones), QStringList());
    EXPECT_EQ(scene.hardware.liveTapCount(), 3);
}

struct FailureRow {
    const char* name;
    Call call;
    OSStatus status;
    QStringList expectedLog;   // with %chat and %music for the ids
    bool mixFails = true;      // the mix itself could not start: tried again soon
};

class TapSetupFailureTest : public TapSetupTest, public testing::WithParamInterface<FailureRow> {};

TEST_P(TapSetupFailureTest, LeavesNoSetupLogsTheFailureAndRecoversOnTheNextRefresh)
{
    const FailureRow& row = GetParam();
    scene.hardware.failCall(row.call, 0, row.status);
    scene.log.clear();

    engine->setGain(chat, 0.5f);

    QStringList expected;
    for (const QString& line : row.expectedLog)
        expected.append(QString(line).replace("%chat", chat).replace("%music", music));
    EXPECT_EQ(scene.log, expected);
    EXPECT_TRUE(engine->activeIDs().isEmpty());
    EXPECT_EQ(engine->aggregateDevice(), 0u);
    EXPECT_EQ(scene.hardware.liveTapCount(), 0);
    EXPECT_EQ(scene.hardware.liveAggregateCount(), 0);
    EXPECT_EQ(scene.hardware.liveIOProcCount(), 0);
    scene.hardware.runCycles(1);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f) << "with no setup every application plays directly";

    scene.hardware.clearFaults();
    // A mix that could not start is tried again soon, not at the next look
    // only; taps that could not be made wait for it.
    engine->appTimer().stop();
    if (!row.mixFails)
        engine->refresh();
    EXPECT_TRUE(waitUntil([&] { return engine->activeIDs() == QStringList{chat, music}; }, 1000));
    EXPECT_EQ(scene.hardware.runningIOProcCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, TapSetupFailureTest,
    testing::Values(
        FailureRow{"TapCreate", Call::CreateProcessTap, kAudioHardwareIllegalOperationError,
                   {"[ravlet] tap create failed %chat: 1852797029", "[ravlet] tap create failed %music: 1852797029",
                    "[ravlet] no taps created"}, false},
        FailureRow{"TapWithoutId", Call::CreateProcessTap, kAudioHardwareNoError,
                   {"[ravlet] tap create failed %chat: 0", "[ravlet] tap create failed %music: 0",
                    "[ravlet] no taps created"}, false},
        FailureRow{"AggregateCreate", Call::CreateAggregateDevice, kAudioHardwareBadDeviceError,
                   {"[ravlet] aggregate create failed: 560227702"}},
        FailureRow{"IOProcCreate", Call::CreateIOProcID, kAudioHardwareUnspecifiedError,
                   {"[ravlet] IOProc create failed: 2003329396"}},
        FailureRow{"IOProcWithoutHandle", Call::CreateIOProcID, kAudioHardwareNoError,
                   {"[ravlet] IOProc create failed: 0"}},
        FailureRow{"DeviceStart", Call::DeviceStart, kAudioHardwareNotRunningError,
                   {"[ravlet] device start failed: 1937010544"}}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST(TapSetupEnd, AnEngineDestroyedWhileItsSetupRunsStopsItFirstOrElseKeepsWhatItsBlockReads)
{
    for (const bool stops : {true, false}) {
        SimulatedScene scene(false);
        scene.addApp(QStringLiteral("Music"), 10, Signal::sine(440.0f, 0.5f));
        auto engine = scene.makeEngine();
        ASSERT_EQ(scene.hardware.runningIOProcCount(), 1);
        const std::weak_ptr<const RenderState> storage = engine->renderStorage();
        if (!stops) {
            for (const Call call : {Call::DeviceStop, Call::DestroyIOProcID, Call::DestroyAggregateDevice})
                scene.hardware.failCall(call, 0, kAudioHardwareUnspecifiedError);
        }
        engine.reset();
        if (stops) {
            EXPECT_EQ(scene.hardware.liveIOProcCount(), 0);
            EXPECT_EQ(scene.hardware.liveAggregateCount(), 0);
            EXPECT_EQ(scene.hardware.liveTapCount(), 0);
            EXPECT_TRUE(storage.expired());
        } else {
            // The block still runs on the I/O thread; what it locks is never
            // the last reference, so it never frees the storage there.
            const std::int64_t cycles = scene.hardware.cyclesRun();
            for (QDeadlineTimer bound(5000); scene.hardware.cyclesRun() <= cycles + 2 && !bound.hasExpired();)
                QThread::msleep(5);
            EXPECT_GT(scene.hardware.cyclesRun(), cycles + 2);
            EXPECT_FALSE(storage.expired());
            scene.hardware.clearFaults();
        }
    }
}

} // namespace

namespace {

using Answer = SimulatedAudioHardware::PromptAnswer;
using Permission = SimulatedAudioHardware::RecordingPermission;

// A first launch on a Mac, the prompt answered "Don't Allow" (and the switch
// turned on in System Settings later), or left unanswered for a while: at no
// moment is an application that should be heard silenced, or heard twice.
class RecordingPermissionTest : public testing::TestWithParam<Answer> {
protected:
    void SetUp() override
    {
        scene.hardware.setRecordingPermission(Permission::NotAsked);
        scene.hardware.setRecordingPromptAnswer(GetParam());
        music = scene.addApp(QStringLiteral("Music"), 10, musicSignal);
        notes = scene.addApp(QStringLiteral("Notes"), 20, notesSignal);
        chat = scene.addApp(QStringLiteral("Chat"), 30, chatSignal);
        settings::saveGains(scene.defaults, {{notes, 0.2f}});
        settings::saveMutes(scene.defaults, {{chat, true}});
        engine = scene.makeEngine(false);
    }

    // Runs the device for cycles, a refresh every tenth, and checks every
    // cycle of what it played: Music whole, Notes whole or at 20 %, Chat
    // never. The clock is driven by hand, so the setup changes only between
    // cycles. notesAt: the gain Notes must have by the end.
    void play(int cycles, std::optional<float> notesAt = std::nullopt)
    {
        float notesGain = 0.0f;
        for (int c = 0; c < cycles; ++c) {
            scene.hardware.runCycles(1);
            const float whole = playedMismatch(scene.hardware, scene.speakers, musicSignal, 1.0f, notesSignal, 1.0f);
            const float fifth = playedMismatch(scene.hardware, scene.speakers, musicSignal, 1.0f, notesSignal, 0.2f);
            notesGain = whole <= fifth ? 1.0f : 0.2f;
            ASSERT_LT(std::min(whole, fifth), 1e-4f)
                << "cycle " << scene.hardware.cyclesRun() << ": an application silenced or doubled";
            if (c % 10 == 9)
                engine->refresh();
        }
        if (notesAt) {
            EXPECT_EQ(notesGain, *notesAt);
        }
    }

    const Signal musicSignal = Signal::sine(1000.0f, 0.5f);
    const Signal notesSignal = Signal::sine(250.0f, 0.4f);
    const Signal chatSignal = Signal::sine(600.0f, 0.3f);
    SimulatedScene scene;
    QString music, notes, chat;
    std::unique_ptr<RavletEngine> engine;
};

TEST_P(RecordingPermissionTest, NothingThatShouldBeHeardIsSilencedAndTheUserIsToldUntilATapIsHeard)
{
    EXPECT_EQ(engine->activeIDs(), QStringList{chat}) << "only the muted application is tapped at once";
    play(150);
    EXPECT_FALSE(engine->recordingPermissionMissing()) << "not before 2 s of silence";
    play(60, 1.0f);
    EXPECT_TRUE(engine->recordingPermissionMissing());
    EXPECT_EQ(scene.hardware.recordingPromptsShown(), 1);
    EXPECT_EQ(engine->activeIDs(), QStringList{chat});

    if (GetParam() == Answer::Later)
        scene.hardware.answerRecordingPrompt(true);
    else
        scene.hardware.setRecordingPermission(Permission::Granted);
    play(30);
    EXPECT_TRUE(engine->recordingPermissionMissing()) << "tried again only every minute or when the popover opens";
    QObject popover;
    followLevels(*engine, popover);
    play(30, 0.2f);
    EXPECT_FALSE(engine->recordingPermissionMissing());
    EXPECT_EQ(engine->activeIDs(), (QStringList{chat, notes, music}));
}

// Silence from an application that stopped playing (a player between two
// tracks) says nothing about the leave.
TEST(RecordingPermission, SilenceOfAnApplicationThatStoppedPlayingIsNoMissingLeave)
{
    SimulatedScene scene;
    scene.addApp(QStringLiteral("Music"), 10);
    const auto engine = scene.makeEngine(false);
    scene.hardware.setProcessRunningOutput(10, false);
    scene.hardware.runCycles(200);
    engine->refresh();
    EXPECT_FALSE(engine->recordingPermissionMissing());
}

INSTANTIATE_TEST_SUITE_P(Answers, RecordingPermissionTest, testing::Values(Answer::DontAllow, Answer::Later),
                         [](const testing::TestParamInfo<Answer>& info) {
                             return info.param == Answer::Later ? "Later" : "DontAllow";
                         });

} // namespace
