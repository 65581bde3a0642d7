// The update checker against a real HTTPS server on 127.0.0.1, and the
// version comparison and manifest decoding it rests on.

#include "https_test_server.h"
#include "wait_until.h"

#include "update_checker.h"
#include "support/qt_printers.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(IsNewer, ComparesPieceByPieceAndDropsPiecesThatDoNotParse)
{
    struct Case {
        const char16_t* candidate;
        const char16_t* current;
        bool newer;
    };
    const Case cases[] = {
        {u"1.10", u"1.9", true},
        {u"1.2", u"1.2.0", false},
        {u"1.2.1", u"1.2", true},
        {u"1.2", u"1.2.1", false},
        {u"2.0-beta", u"1.9", true},          // "0-beta" is dropped: 2 against 1.9
        {u"v1.3", u"1.2", true},              // "v1" is dropped: 3 against 1.2
        {u"1.2", u"0.0.0", true},
        {u"beta", u"0.0.0", false},           // no piece at all equals all zeros
        {u"1..3", u".1.3.", false},           // empty pieces are dropped
        {u"+2", u"1", true},
        {u"-1", u"0", false},
        {u"0", u"-1", true},
        {u"1.--1", u"1", false},              // two signs: dropped
        {u"1. 2", u"1", false},               // a blank: dropped
        {u"-9223372036854775808", u"-9223372036854775807", false},
        {u"1.9223372036854775808.5", u"1.4", true},   // out of range: dropped, the list goes on
        {u"-9223372036854775809.2", u"1", true},
        {u"1.\u0663", u"1.2", false},         // ARABIC-INDIC DIGIT THREE is no ASCII digit
        {u"\uFF12.0", u"1.0", false},         // FULLWIDTH DIGIT TWO neither
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UpdateChecker::isNewer(QString::fromUtf16(c.candidate), QString::fromUtf16(c.current)), c.newer)
            << QString::fromUtf16(c.candidate).toStdString() << " against " << QString::fromUtf16(c.current).toStdString();
    }
}

// The server cases below cover "version" and "notes"; here the rest.
TEST(UpdateManifest, MatchesKeysExactlyAndIgnoresOthers)
{
    const auto info = decodeUpdateInfo(R"({"version":"1.4","url":"https://x/y.dmg","size":12,"Notes":5})");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->url, "https://x/y.dmg");
    EXPECT_FALSE(info->notes.has_value());
    EXPECT_FALSE(decodeUpdateInfo(R"({"Version":"1.4","url":"https://x/y.dmg"})"));
    EXPECT_FALSE(decodeUpdateInfo(R"({"version":"1.4","url":7})"));
    EXPECT_FALSE(decodeUpdateInfo(R"({"version":"1.4","url":"https://x/y.dmg"} trailing)"));
}

constexpr auto kCurrent = "1.3.0";
const QByteArray kFallbackManifest = R"({"version":"2.0","url":"https://fallback/Ravlet-2.0.dmg","notes":"from the fallback"})";

struct CheckerScene {
    HttpsTestServer server;

    CheckerScene() { server.serve("/fallback/ravlet.json", {200, kFallbackManifest}); }

    std::unique_ptr<UpdateChecker> makeChecker(std::chrono::milliseconds timeout = 500ms,
                                               QSslConfiguration tls = trustingTestCertificate())
    {
        return std::make_unique<UpdateChecker>(UpdateCheckerSetup{
            {server.url("/primary/ravlet.json"), server.url("/fallback/ravlet.json")}, kCurrent, tls, timeout});
    }

    // Waits for the end of a check: the one creation started, or the one
    // start() starts.
    static void waitForCheck(UpdateChecker& checker, const std::function<void()>& start = {})
    {
        bool finished = false;
        const auto connection = QObject::connect(&checker, &UpdateChecker::checkFinished, [&] { finished = true; });
        if (start)
            start();
        EXPECT_TRUE(waitUntil([&] { return finished; }));
        QObject::disconnect(connection);
    }
};

struct PrimaryCase {
    const char* name;
    HttpsTestServer::Reply primary;
    bool usable;          // false: the fallback's manifest is the one taken
    bool available;
    const char* notes;
};

void PrintTo(const PrimaryCase& c, std::ostream* out) { *out << c.name; }

class PrimaryManifest : public testing::TestWithParam<PrimaryCase> {};

TEST_P(PrimaryManifest, IsTakenOrPassedOverForTheFallback)
{
    const PrimaryCase& c = GetParam();
    CheckerScene scene;
    scene.server.serve("/primary/ravlet.json", c.primary);
    const auto checker = scene.makeChecker();
    CheckerScene::waitForCheck(*checker);

    EXPECT_EQ(scene.server.requests().contains("/fallback/ravlet.json"), !c.usable);
    EXPECT_EQ(checker->updateAvailable(), c.available);
    if (!c.usable) {
        EXPECT_EQ(checker->latestVersion(), "2.0");
        EXPECT_EQ(checker->downloadURL(), "https://fallback/Ravlet-2.0.dmg");
    } else if (c.available) {
        EXPECT_EQ(checker->latestVersion(), "1.4.0");
        EXPECT_EQ(checker->downloadURL(), "https://primary/Ravlet-1.4.0.dmg");
    } else {
        EXPECT_EQ(checker->latestVersion(), "");   // not newer: the strings stay as they were
        EXPECT_EQ(checker->downloadURL(), "");
    }
    EXPECT_EQ(checker->releaseNotes(), c.notes);
}

const QByteArray kNewer = R"({"version":"1.4.0","url":"https://primary/Ravlet-1.4.0.dmg",)";

INSTANTIATE_TEST_SUITE_P(Cases, PrimaryManifest, testing::Values(
    PrimaryCase{"NewerWithNotes", {200, kNewer + R"("notes":"Faster meters."})"}, true, true, "Faster meters."},
    PrimaryCase{"Equal", {200, R"({"version":"1.3","url":"https://primary/Ravlet-1.3.dmg"})"}, true, false, ""},
    PrimaryCase{"NewerWithoutNotes", {200, kNewer + R"("other":1})"}, true, true, ""},
    PrimaryCase{"NotesNull", {200, kNewer + R"("notes":null})"}, true, true, ""},
    PrimaryCase{"NotesNumber", {200, kNewer + R"("notes":3})"}, false, true, "from the fallback"},
    PrimaryCase{"VersionMissing", {200, R"({"url":"https://primary/x.dmg"})"}, false, true, "from the fallback"},
    PrimaryCase{"VersionNumber", {200, R"({"version":1.4,"url":"https://primary/x.dmg"})"}, false, true, "from the fallback"},
    PrimaryCase{"NotAnObject", {200, R"(["1.4.0","https://primary/x.dmg"])"}, false, true, "from the fallback"},
    PrimaryCase{"NotJson", {200, "<html>maintenance</html>"}, false, true, "from the fallback"},
    PrimaryCase{"Status404", {404, kNewer + "}"}, false, true, "from the fallback"},
    PrimaryCase{"Status500", {500, kNewer + "}"}, false, true, "from the fallback"},
    PrimaryCase{"NeverAnswers", {200, {}, true}, false, true, "from the fallback"}),
    [](const testing::TestParamInfo<PrimaryCase>& info) { return std::string(info.param.name); });

TEST(UpdateCheckerState, OnlyAUsableManifestChangesItAndEveryAssignmentNotifies)
{
    CheckerScene scene;
    scene.server.serve("/primary/ravlet.json", {200, kNewer + R"("notes":"n"})"});
    const auto checker = scene.makeChecker();
    EXPECT_TRUE(checker->checkTimer().isActive());
    EXPECT_EQ(checker->checkTimer().intervalAsDuration(), 86400s);

    QStringList notified;
    QObject::connect(checker.get(), &UpdateChecker::latestVersionChanged, [&] { notified << "latestVersion"; });
    QObject::connect(checker.get(), &UpdateChecker::downloadURLChanged, [&] { notified << "downloadURL"; });
    QObject::connect(checker.get(), &UpdateChecker::releaseNotesChanged, [&] { notified << "releaseNotes"; });
    QObject::connect(checker.get(), &UpdateChecker::updateAvailableChanged, [&] { notified << "updateAvailable"; });
    const auto check = [&] {
        notified.clear();
        CheckerScene::waitForCheck(*checker, [&] { checker->checkForUpdate(); });
    };

    CheckerScene::waitForCheck(*checker);   // the one creation started
    EXPECT_EQ(notified, QStringList({"latestVersion", "downloadURL", "releaseNotes", "updateAvailable"}));
    EXPECT_TRUE(checker->updateAvailable());

    // The same answer again: assigned again, so notified again.
    check();
    EXPECT_EQ(notified.size(), 4);

    // Nothing usable anywhere: nothing is assigned.
    scene.server.serve("/primary/ravlet.json", {500, {}});
    scene.server.serve("/fallback/ravlet.json", {404, {}});
    check();
    EXPECT_EQ(notified, QStringList());
    EXPECT_TRUE(checker->updateAvailable());
    EXPECT_EQ(checker->latestVersion(), "1.4.0");

    // Not newer: only the flag goes; the strings keep the last newer release.
    scene.server.serve("/primary/ravlet.json", {200, R"({"version":"1.3.0","url":"https://primary/old.dmg"})"});
    check();
    EXPECT_EQ(notified, QStringList({"updateAvailable"}));
    EXPECT_FALSE(checker->updateAvailable());
    EXPECT_EQ(checker->latestVersion(), "1.4.0");
    EXPECT_EQ(checker->downloadURL(), "https://primary/Ravlet-1.4.0.dmg");
    EXPECT_EQ(checker->releaseNotes(), "n");
}

TEST(UpdateCheckerState, APrimaryThatNeverAnswersIsGivenUpAfterThreeSeconds)
{
    CheckerScene scene;
    QTcpServer silent;   // accepts connections and never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    UpdateChecker checker({{QStringLiteral("https://127.0.0.1:%1/updates/ravlet.json").arg(silent.serverPort()),
                            scene.server.url("/fallback/ravlet.json")},
                           kCurrent, trustingTestCertificate()});
    QElapsedTimer clock;
    clock.start();
    CheckerScene::waitForCheck(checker);

    EXPECT_GE(clock.elapsed(), 2800);   // Qt's coarse timers may fire up to 5 % early
    EXPECT_LT(clock.elapsed(), 6000);
    EXPECT_TRUE(checker.updateAvailable());
    EXPECT_EQ(checker.latestVersion(), "2.0");
}

TEST(UpdateCheckerState, SkipsLocationsThatAreNoWebAddresses)
{
    CheckerScene scene;
    UpdateChecker checker({{"::no url", "file:///etc/hostname", scene.server.url("/fallback/ravlet.json")},
                           kCurrent, trustingTestCertificate()});
    CheckerScene::waitForCheck(checker);
    EXPECT_EQ(checker.latestVersion(), "2.0");
}

TEST(UpdateCheckerState, DistrustsAServerItHasNoCertificateAuthorityFor)
{
    CheckerScene scene;
    const auto checker = scene.makeChecker(500ms, QSslConfiguration::defaultConfiguration());
    CheckerScene::waitForCheck(*checker);
    EXPECT_FALSE(checker->updateAvailable());
    EXPECT_EQ(checker->latestVersion(), "");
}

}
