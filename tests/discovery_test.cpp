// Which processes become which applications, and what a refresh publishes.

#include "bundle_process_inspector.h"
#include "settings.h"
#include "support/simulated_scene.h"

#include <gtest/gtest.h>

namespace {

using Call = SimulatedAudioHardware::Call;

const QString kBrowser = QStringLiteral("/Applications/Browser.app");
const QString kMusic = QStringLiteral("/Applications/Music.app");

QStringList ids(const QList<AudioApp>& apps, QString AudioApp::*field = &AudioApp::id)
{
    QStringList result;
    for (const AudioApp& app : apps)
        result.append(app.*field);
    return result;
}

class DiscoveryTest : public testing::Test {
protected:
    SimulatedScene scene;
};

// Helpers nested in a bundle, and services whose responsible application
// the inspector can look up, count as that application.
TEST_F(DiscoveryTest, GroupsHelpersAndResponsibleServicesUnderTheOuterBundle)
{
    scene.addProcess(10, kBrowser + "/Contents/MacOS/Browser");
    scene.addProcess(11, kBrowser + "/Contents/Frameworks/Browser Framework.framework/Helpers/"
                                    "Browser Helper (Renderer).app/Contents/MacOS/Browser Helper (Renderer)");
    scene.addProcess(12, kBrowser + "/Contents/Frameworks/Browser Helper (GPU).app/Contents/MacOS/GPU");
    scene.hardware.addProcessObject(11);   // one pid behind two process objects is listed once
    scene.addProcess(40, QStringLiteral("/usr/libexec/audio-service"), 10);
    scene.addProcess(41, QStringLiteral("/usr/libexec/lonely-service"), 41);
    scene.addProcess(42, QStringLiteral("/usr/libexec/orphan-service"));
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->apps(), (QList<AudioApp>{{kBrowser, "Browser", {}, {10, 11, 12, 40}}}));
    EXPECT_EQ(engine->apps().value(0).iconPath, kBrowser);
    EXPECT_EQ(engine->pidsByID(), (QMap<QString, QList<qint32>>{{kBrowser, {10, 11, 12, 40}}}));

    scene.processes.setResponsibilityLookupAvailable(false);
    engine->refresh();
    EXPECT_EQ(engine->apps().value(0).pids, (QList<qint32>{10, 11, 12})) << "without the lookup only bundled processes count";
    // Tapping it translates the pid, and which object that gives is not
    // Core Audio's to say.
    EXPECT_TRUE(scene.hardware.doubtfulCalls().contains("translated pid 11, which has 2 process objects"));
    scene.hardware.clearDoubtfulCalls();
}

TEST_F(DiscoveryTest, ListsOnlyBundlesUnderAnApplicationsFolderAndNeverItselfOrRoutingTools)
{
    const QString editor = QStringLiteral("/Users/kim/Applications/Editor.app");
    scene.addProcess(10, editor + "/Contents/MacOS/Editor");
    scene.addProcess(11, QStringLiteral("/Volumes/Installer/Setup.app/Contents/MacOS/Setup"));
    scene.addProcess(12, QStringLiteral("/Users/kim/Downloads/Game.app/Contents/MacOS/Game"), 10);
    scene.addProcess(13, QStringLiteral("/Users/kim/applications/Lower.app/Contents/MacOS/Lower"));
    scene.addProcess(SimulatedScene::kOwnPid, kMusic + "/Contents/MacOS/Music");
    scene.addProcess(20, QStringLiteral("/Applications/My LoopBack Tool.app/Contents/MacOS/x"));
    scene.addProcess(21, QStringLiteral("/Applications/BlackHole 2ch.app/Contents/MacOS/x"));
    scene.addProcess(22, QStringLiteral("/Applications/Ravlet.app/Contents/MacOS/Ravlet"));
    scene.addProcess(23, QStringLiteral("/Applications/Black Hole.app/Contents/MacOS/x"));
    scene.addProcess(24, QStringLiteral("/Applications/VB-Cable Control.app/Contents/MacOS/x"));
    scene.hardware.addProcess(0);
    scene.hardware.addProcess(-4);
    const auto engine = scene.makeEngine();
    ASSERT_EQ(ids(engine->apps()), (QStringList{QStringLiteral("/Applications/Black Hole.app"), editor}));
    EXPECT_EQ(engine->apps().last().pids, (QList<qint32>{10, 12}))
        << "a bundle elsewhere counts under its responsible application";
}

TEST_F(DiscoveryTest, SortsByDisplayNameIgnoringCaseAndKeepsSameNamedBundlesApart)
{
    // By code point every upper-case name would come first.
    scene.addProcess(10, QStringLiteral("/Applications/Zebra.app/Contents/MacOS/z"));
    scene.addProcess(11, QStringLiteral("/Applications/apple.app/Contents/MacOS/a"));
    scene.addProcess(12, QStringLiteral("/Applications/mango.app/Contents/MacOS/m"));
    scene.addProcess(13, QStringLiteral("/Users/kim/Applications/apple.app/Contents/MacOS/a"));
    scene.processes.setDisplayName(QStringLiteral("/Applications/mango.app"), QStringLiteral("Mango"));
    const auto engine = scene.makeEngine();
    EXPECT_EQ(ids(engine->apps(), &AudioApp::name), (QStringList{"apple", "apple", "Mango", "Zebra"}));
}

TEST_F(DiscoveryTest, RepublishesOnlyChangesAndRemembersQuitAndRenamedApplications)
{
    scene.addProcess(10, kMusic + "/Contents/MacOS/Music");
    scene.addProcess(20, kBrowser + "/Contents/MacOS/Browser");
    const auto engine = scene.makeEngine();
    int appsChanged = 0;
    QObject::connect(engine.get(), &RavletEngine::appsChanged, [&] { ++appsChanged; });
    const int knownWrites = scene.defaults.writeCount(settings::knownKey);
    engine->refresh();
    EXPECT_EQ(appsChanged, 0);
    EXPECT_EQ(scene.defaults.writeCount(settings::knownKey), knownWrites);

    scene.removeProcess(10);
    scene.processes.setDisplayName(kBrowser, QStringLiteral("Navigator"));
    engine->refresh();
    EXPECT_EQ(appsChanged, 1);
    EXPECT_EQ(ids(engine->apps()), QStringList{kBrowser});
    EXPECT_FALSE(engine->pidsByID().contains(kMusic));
    EXPECT_TRUE(engine->known().contains(kMusic));
    EXPECT_EQ(decodeKnownApps(*scene.defaults.data(settings::knownKey))->value(kBrowser).name, "Navigator");
}

// A list that cannot be read changes nothing and one whose size cannot be
// read is empty; a process that cannot be read, or is gone by the time its
// pid is asked for, is skipped.
TEST_F(DiscoveryTest, WhatCannotBeReadIsLeftOutAndAFailedReadOfTheListChangesNothing)
{
    scene.addProcess(10, kMusic + "/Contents/MacOS/Music");
    scene.addProcess(11, kBrowser + "/Contents/MacOS/Browser");
    scene.addProcess(12, QStringLiteral("/Applications/Chat.app/Contents/MacOS/Chat"));
    scene.hardware.failCall(Call::GetPropertyData, kAudioProcessPropertyPID, kAudioHardwareBadObjectError,
                            scene.hardware.processObject(10));
    bool vanish = true;
    scene.hardware.setBeforeCallHook([&](Call call, AudioObjectID, const AudioObjectPropertyAddress& address) {
        if (vanish && call == Call::GetPropertyData && address.mSelector == kAudioHardwarePropertyProcessObjectList) {
            vanish = false;
            scene.removeProcess(12);
        }
    });
    const auto engine = scene.makeEngine();
    EXPECT_EQ(ids(engine->apps()), QStringList{kBrowser});

    scene.hardware.clearFaults();
    scene.removeProcess(11);
    scene.hardware.failCall(Call::GetPropertyData, kAudioHardwarePropertyProcessObjectList, kAudioHardwareUnspecifiedError);
    engine->refresh();
    EXPECT_EQ(ids(engine->apps()), QStringList{kBrowser});
    scene.hardware.clearFaults();
    scene.hardware.failCall(Call::GetPropertyDataSize, kAudioHardwarePropertyProcessObjectList,
                            kAudioHardwareUnspecifiedError);
    engine->refresh();
    EXPECT_TRUE(engine->apps().isEmpty());
    EXPECT_TRUE(engine->pidsByID().contains(kBrowser)) << "the last successful scan stays";
}

TEST_F(DiscoveryTest, OnASystemWithoutProcessTapsNoApplicationIsListedButOutputsAre)
{
    scene.hardware.setProcessTapsSupported(false);
    scene.addProcess(10, kMusic + "/Contents/MacOS/Music");
    const auto engine = scene.makeEngine();
    EXPECT_FALSE(engine->supported());
    EXPECT_TRUE(engine->apps().isEmpty());
    EXPECT_EQ(engine->outputName(), "Speakers");
    EXPECT_EQ(engine->outputs().size(), 1);
    EXPECT_TRUE(engine->appTimer().isActive());

    // Support that comes and goes (an audio server, or another mixer on it):
    // what was set up goes with it, and nothing is listed meanwhile.
    scene.hardware.setProcessTapsSupported(true);
    engine->setMuted(kMusic, true);
    engine->refresh();
    ASSERT_EQ(engine->activeIDs(), QStringList{kMusic});
    scene.hardware.setProcessTapsSupported(false);
    engine->refresh();
    EXPECT_TRUE(engine->apps().isEmpty());
    EXPECT_TRUE(engine->activeIDs().isEmpty());
    EXPECT_EQ(engine->aggregateDevice(), kAudioObjectUnknown);
    scene.hardware.setProcessTapsSupported(true);
    engine->refresh();
    EXPECT_EQ(engine->activeIDs(), QStringList{kMusic});
}

// An application the user sent to another device than the default plays
// there; it is never taken for the primary application and moved to the mix.
TEST_F(DiscoveryTest, AnApplicationOnAnotherDeviceKeepsItAndIsNotThePrimaryOne)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp-uid"));
    scene.addProcess(10, kMusic + "/Contents/MacOS/Music");
    scene.addProcess(11, kMusic + "/Contents/XPCServices/Decoder.app/Contents/MacOS/Decoder");
    scene.addProcess(20, kBrowser + "/Contents/MacOS/Browser");
    scene.addProcess(21, kBrowser + "/Contents/MacOS/Browser Helper");
    for (const qint32 pid : {10, 11, 20})
        scene.hardware.setProcessOutputDevice(scene.hardware.processObject(pid), headphones);
    const auto engine = scene.makeEngine();
    ASSERT_EQ(engine->apps().size(), 2);
    EXPECT_EQ(engine->apps()[0].outputDevice, kAudioObjectUnknown) << "one of its processes plays on the default";
    EXPECT_EQ(engine->apps()[1].outputDevice, headphones);
    EXPECT_EQ(engine->activeIDs(), QStringList{kBrowser});

    // Sent to the default device by name, it plays there like any other.
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(10), scene.speakers);
    engine->refresh();
    EXPECT_EQ(engine->activeIDs(), QStringList{kMusic});
}

// Names applications by the audio server's word alone, as a Linux desktop
// does for a client it cannot trace to a program.
class FactsOnlyInspector final : public ProcessInspector {
public:
    Pid currentPid() const override { return SimulatedScene::kOwnPid; }
    std::optional<AppIdentity> applicationOf(Pid pid, const FactsSource& facts) override
    {
        asked.append(pid);
        const AudioClientFacts said = facts();
        if (said.binary.isEmpty())
            return std::nullopt;
        return AppIdentity{"client:" + said.binary, said.applicationName, said.iconName};
    }
    QList<Pid> asked;
};

TEST_F(DiscoveryTest, GroupsByTheInspectorsAnswerFromTheAudioServersFactsAndTapsOnlyRealPids)
{
    FactsOnlyInspector inspector;
    const AudioClientFacts player{"Player", "player", "audio-player"};
    scene.hardware.setProcessClientFacts(scene.hardware.addProcess(0), player);
    scene.hardware.setProcessClientFacts(scene.hardware.addProcess(71), player);
    scene.hardware.setProcessClientFacts(scene.hardware.addProcess(72), {"Ravlet", "ravlet", {}});
    scene.hardware.setProcessClientFacts(scene.hardware.addProcess(SimulatedScene::kOwnPid), player);
    scene.hardware.addProcess(73);
    RavletEngine engine(EnginePlatform{scene.knownGranted, inspector, scene.defaults, scene.diagPath()});
    ASSERT_EQ(engine.apps().size(), 1);
    EXPECT_EQ(engine.apps().first(), (AudioApp{"client:player", "Player", "audio-player", {71}}));
    EXPECT_EQ(engine.apps().first().iconPath, "audio-player");
    EXPECT_FALSE(inspector.asked.contains(SimulatedScene::kOwnPid)) << "never itself";
}

TEST(ExeAppPath, TakesTheOutermostBundleAndDropsDotAppFromTheName)
{
    SimulatedProcessInspector processes;
    processes.addProcess(1, QStringLiteral("/Applications/Outer.app/Contents/Inner.app/Contents/MacOS/x"));
    processes.addProcess(2, QStringLiteral("/usr/bin/tool"));
    processes.addProcess(3, QStringLiteral("//Applications//Odd.app//x"));
    processes.setDisplayName(QStringLiteral("/Applications/Outer.app"), QStringLiteral("Outer.app"));
    const auto outer = exeAppPath(processes, 1);
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->path, "/Applications/Outer.app");
    EXPECT_EQ(outer->name, "Outer");
    EXPECT_FALSE(exeAppPath(processes, 2));
    EXPECT_FALSE(exeAppPath(processes, 99));
    EXPECT_EQ(exeAppPath(processes, 3)->path, "/Applications/Odd.app");
}

} // namespace
