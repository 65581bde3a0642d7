// Faults particular to the macOS path, on the stand-in frameworks. The scene
// checks at its end that every CoreFoundation and stand-in Objective-C
// object made was released.

#include "cf_string.h"
#include "settings.h"
#include "support/simulated_scene.h"

#include <QFile>
#include <QPoint>

#include <cmath>

#include <gtest/gtest.h>

// Under AddressSanitizer: the Objective-C runtime keeps its class
// registration data until exit. Nothing of GNUstep or ours is suppressed.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libobjc.so.4\n";
}

// GNUstep base is built without frame pointers: the fast unwinder stops in
// it and loses the runtime frames above, so a class's registration data
// would pass for a leak of GNUstep's own.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

namespace {

const QString kMusic = QStringLiteral("/Applications/Music.app");

struct Released {
    void operator()(CFTypeRef object) const { CFRelease(object); }
};
using Owned = std::unique_ptr<const void, Released>;

// Sets a raw property list in the scene's preferences domain, as another
// program (or an older Ravlet) might have left it.
void storeRaw(SimulatedScene& scene, const QString& key, CFPropertyListRef value)
{
    const Owned name(cfStringFromUtf8(key.toStdString()));
    const Owned domain(cfStringFromUtf8(scene.defaults.domain()));
    CFPreferencesSetAppValue(static_cast<CFStringRef>(name.get()), value, static_cast<CFStringRef>(domain.get()));
    CFRelease(value);
}

// Two UTF-16 units each: CoreFoundation counts them so, and a buffer sized
// by characters would cut them.
TEST(MacosPathTest, CharactersOutsideTheBasicMultilingualPlaneSurviveEveryCrossing)
{
    SimulatedScene scene;
    const QString speakers = QStringLiteral("Lautsprecher \U0001F50A");
    scene.hardware.setDeviceName(scene.speakers, speakers);
    scene.addApp(QStringLiteral("Music"), 10);
    scene.processes.setDisplayName(kMusic, QStringLiteral("M\U0001D11Esic"));
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->outputName(), speakers);
    EXPECT_EQ(engine->apps().value(0).name, QStringLiteral("M\U0001D11Esic"));
    EXPECT_EQ(engine->outputs().value(0).name, speakers);
}

// A size the caller got wrong is refused, and refused without a string
// that nobody would release; a description or I/O procedure Core Audio was
// never given is refused too, never reported as done.
TEST(MacosPathTest, CallsMadeWrongFailAndHandOutNothing)
{
    SimulatedScene scene;
    CFStringRef name = nullptr;
    UInt32 room = 4;
    const AudioObjectPropertyAddress address{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    EXPECT_EQ(scene.macHardware.getPropertyData(scene.speakers, address, 0, nullptr, &room, &name),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(name, nullptr);

    AudioObjectID aggregate = kAudioObjectUnknown;
    EXPECT_EQ(scene.macHardware.createAggregateDevice(QVariantMap{{"uid", QVariant::fromValue(QPoint())}}, &aggregate),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(aggregate, kAudioObjectUnknown);
    const auto unknown = reinterpret_cast<DeviceIOProcID>(&room);
    EXPECT_EQ(scene.macHardware.deviceStart(scene.speakers, unknown), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(scene.macHardware.deviceStop(scene.speakers, unknown), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(scene.macHardware.destroyIOProcID(scene.speakers, unknown), kAudioHardwareIllegalOperationError);
}

// A pid whose path cannot be read, and a system without the responsibility
// lookup, leave processes unnamed, never misnamed.
TEST(MacosPathTest, ProcessLookupsThatFailLeaveProcessesOut)
{
    SimulatedScene scene;
    scene.addApp(QStringLiteral("Music"), 10);
    scene.hardware.addProcess(11);   // no executable path: proc_pidpath fails
    scene.addProcess(12, QStringLiteral("/usr/libexec/music-helper"), 10);
    EXPECT_TRUE(scene.macProcesses.hasResponsibilityLookup()) << "the stand-in exports the symbol";
    EXPECT_EQ(scene.makeEngine()->apps().value(0).pids, (QList<qint32>{10, 12}));

    MacProcessInspector withoutLookup("no_such_responsibility_symbol");
    EXPECT_FALSE(withoutLookup.hasResponsibilityLookup());
    RavletEngine engine(EnginePlatform{scene.knownGranted, withoutLookup, scene.defaults, scene.diagPath()});
    EXPECT_EQ(engine.apps().value(0).pids, (QList<qint32>{10}));
}

TEST(MacosPathTest, OnMacOS14Point1TapsAreUnsupportedAndTheUserIsTold)
{
    SimulatedScene scene;
    scene.hardware.setProcessTapsSupported(false);
    EXPECT_FALSE(scene.macHardware.processTapsSupported());
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->unsupportedText(), QStringLiteral("Ravlet needs macOS 14.2 or newer (Core Audio process taps)."));
    scene.hardware.setProcessTapsSupported(true);
    EXPECT_TRUE(scene.macHardware.processTapsSupported());
}

// Preferences of a type no setting has read as absent, whole; a remembered
// list that is no data is written anew, and a removal clears any type.
TEST(MacosPathTest, PreferencesOfTheWrongTypeReadAsAbsent)
{
    SimulatedScene scene;
    storeRaw(scene, settings::gainsKey, cfStringFromUtf8("loud"));
    CFMutableDictionaryRef mutes = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                             &kCFTypeDictionaryValueCallBacks);
    const int one = 1;
    const Owned numberKey(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &one));
    CFDictionarySetValue(mutes, numberKey.get(), kCFBooleanTrue);
    storeRaw(scene, settings::mutesKey, mutes);
    storeRaw(scene, settings::knownKey, cfStringFromUtf8("{}"));
    scene.addApp(QStringLiteral("Music"), 10);

    const auto engine = scene.makeEngine();
    EXPECT_TRUE(engine->gains().isEmpty() && engine->mutes().isEmpty());
    EXPECT_FALSE(scene.defaults.dictionary(settings::gainsKey));
    EXPECT_FALSE(scene.defaults.value(settings::mutesKey).isValid()) << "a dictionary whose key is no string";
    EXPECT_EQ(engine->known().keys(), QStringList{kMusic});
    EXPECT_TRUE(scene.defaults.data(settings::knownKey)) << "written anew as data";
    scene.defaults.removeValue(settings::mutesKey);
    EXPECT_EQ(scene.defaults.writeCount(settings::mutesKey), 2) << "the raw write and the removal";
}

// The preferences refuse what the file store refuses, and a removal of
// nothing saves nothing.
TEST(MacosPathTest, PreferencesRefuseNonFiniteNumbersAndRemoveOnlyWhatIsThere)
{
    SimulatedScene scene;
    scene.defaults.setValue("k", 0.5);
    scene.defaults.setValue("k", std::nan(""));
    scene.defaults.setValue("k", QVariantMap{{"deep", QVariantList{-HUGE_VAL}}});
    EXPECT_EQ(scene.defaults.value("k"), QVariant(0.5));
    EXPECT_EQ(scene.defaults.writeCount("k"), 1);
    scene.defaults.removeValue("absent");
    EXPECT_EQ(scene.defaults.writeCount("absent"), 0);
}

// AVCaptureDevice's audio status, kept apart by macOS from the leave to
// record system audio, is what the diagnostics header names.
TEST(MacosPathTest, TheDiagnosticsNameTheCaptureDeviceStatus)
{
    SimulatedScene scene;
    scene.hardware.setAudioCaptureAuthorizationStatus(2);   // AVAuthorizationStatusDenied
    scene.addApp(QStringLiteral("Music"), 10);
    const auto engine = scene.makeEngine();
    ASSERT_EQ(engine->activeIDs(), QStringList{kMusic});
    QFile diag(scene.diagPath());
    ASSERT_TRUE(diag.open(QIODevice::ReadOnly));
    EXPECT_TRUE(diag.readLine().contains(" authAudio=2 ==="));
}

} // namespace
