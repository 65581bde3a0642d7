// The update checker against a real HTTPS server on 127.0.0.1, and the
// version comparison it rests on.

#include "https_test_server.h"
#include "support/wait_until.h"

#include "update_checker.h"
#include "support/qt_printers.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(IsNewer, ComparesPieceByPieceAndDropsPiecesThatDoNotParse)
{
    const std::tuple<const char16_t*, const char16_t*, bool> cases[] = {
        {u"1.10", u"1.9", true}, {u"1.2", u"1.2.0", false}, {u"1.2.1", u"1.2", true},
        // Dropped, not read as 0; nothing left at all equals all zeros.
        {u"2.0-beta", u"1.9", true}, {u"v1.3", u"1.2", true}, {u"beta", u"0.0.0", false},
        {u"1..3", u".1.3.", false}, {u"1.--1", u"1", false}, {u"1. 2", u"1", false},
        // One sign at most, within 64 bits; the pieces after one out of range still count.
        {u"+2", u"1", true}, {u"0", u"-1", true}, {u"-9223372036854775808", u"-9223372036854775807", false},
        {u"1.9223372036854775808.5", u"1.4", true}, {u"-9223372036854775809.2", u"1", true},
        // ARABIC-INDIC DIGIT THREE and FULLWIDTH DIGIT TWO are no ASCII digits.
        {u"1.\u0663", u"1.2", false}, {u"\uFF12.0", u"1.0", false},
    };
    for (const auto& [candidate, current, newer] : cases)
        EXPECT_EQ(isNewer(candidate, current), newer) << QString::fromUtf16(candidate).toStdString();
}

const QByteArray kNewer = R"({"version":"1.4.0","url":"https://primary/Ravlet-1.4.0.dmg",)";
// A usable manifest, so that only the way it arrives can make it unusable.
const QByteArray kUsable = kNewer + R"("notes":"n"})";

struct CheckerScene {
    HttpsTestServer server;
    int checksFinished = 0;

    // The primary and then the fallback, which has 2.0, come after the
    // locations given.
    std::unique_ptr<UpdateChecker> makeChecker(QStringList urls = {}, QSslConfiguration tls = trustingTestCertificate())
    {
        server.serve("/fallback", {200, R"({"version":"2.0","url":"https://fallback/Ravlet-2.0.dmg","notes":"from the fallback"})"});
        urls << server.url("/primary") << server.url("/fallback");
        auto checker = std::make_unique<UpdateChecker>(UpdateCheckerSetup{urls, "1.3.0", tls});
        QObject::connect(checker.get(), &UpdateChecker::checkFinished, [this] { ++checksFinished; });
        return checker;
    }

    // Counting the check each checker starts on creation.
    void waitForChecks(int count) { EXPECT_TRUE(waitUntil([&] { return checksFinished == count; })); }
};

struct PrimaryCase {
    const char* name;
    HttpsTestServer::Reply primary;
    const char* latest = "2.0";   // "2.0": passed over for the fallback; "": usable, not newer
    const char* notes = "from the fallback";
};

void PrintTo(const PrimaryCase& c, std::ostream* out) { *out << c.name; }

class PrimaryManifest : public testing::TestWithParam<PrimaryCase> {};

TEST_P(PrimaryManifest, IsTakenOrPassedOverForTheFallback)
{
    const PrimaryCase& c = GetParam();
    CheckerScene scene;
    scene.server.serve("/primary", c.primary);
    QElapsedTimer clock;
    clock.start();
    const auto checker = scene.makeChecker();
    scene.waitForChecks(1);

    const QString latest = c.latest;
    const bool fallback = latest == "2.0";
    // A usable manifest ends the check even when it is not newer.
    EXPECT_EQ(scene.server.requests().join(' '), fallback ? "/primary /fallback" : "/primary");
    EXPECT_EQ(checker->updateAvailable(), !latest.isEmpty());
    EXPECT_EQ(checker->latestVersion(), latest);
    EXPECT_EQ(checker->releaseNotes(), c.notes);
    if (c.primary.silent || c.primary.drip.count() > 0) {   // the real timeout, given up after three seconds
        EXPECT_GE(clock.elapsed(), 2800);   // Qt's coarse timers may fire up to 5 % early
        EXPECT_LT(clock.elapsed(), 6000);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PrimaryManifest, testing::Values(
    PrimaryCase{"NewerWithNotes", {200, kNewer + R"("notes":"Faster meters."})"}, "1.4.0", "Faster meters."},
    PrimaryCase{"Equal", {200, R"({"version":"1.3","url":"https://primary/Ravlet-1.3.dmg"})"}, "", ""},
    PrimaryCase{"NoNotes", {200, kNewer + R"("Notes":5})"}, "1.4.0", ""},   // keys match exactly
    PrimaryCase{"NotesNull", {200, kNewer + R"("notes":null})"}, "1.4.0", ""},
    PrimaryCase{"NotesNumber", {200, kNewer + R"("notes":3})"}},
    PrimaryCase{"VersionMissing", {200, R"({"Version":"1.4.0","url":"https://primary/x.dmg"})"}},
    PrimaryCase{"VersionNumber", {200, R"({"version":1.4,"url":"https://primary/x.dmg"})"}},
    PrimaryCase{"UrlNumber", {200, R"({"version":"1.4.0","url":7})"}},
    PrimaryCase{"NotAnObject", {200, R"(["1.4.0","https://primary/x.dmg"])"}},
    PrimaryCase{"NotJson", {200, "<html>maintenance</html>"}},
    // A release the updater would refuse to fetch is no offer.
    PrimaryCase{"UrlHttp", {200, R"({"version":"1.4.0","url":"http://primary/x.dmg"})"}},
    PrimaryCase{"UrlFile", {200, R"({"version":"1.4.0","url":"file:///tmp/x.dmg"})"}},
    PrimaryCase{"Status300", {300, kUsable}},   // no redirect: not a success either
    PrimaryCase{"Status404", {404, kUsable}},
    PrimaryCase{"Status500", {500, kUsable}},
    PrimaryCase{"NeverAnswers", {200, {}, true}},
    // Three seconds for the whole answer, however it trickles in; 64 KiB at most.
    PrimaryCase{"DripsPastTheTimeout", {200, kUsable, false, 20s}},
    PrimaryCase{"LongerThanAnyManifest", {200, kNewer + R"("notes":")" + QByteArray(70000, 'n') + "\"}", false, 0ms, false}}),
    [](const testing::TestParamInfo<PrimaryCase>& info) { return std::string(info.param.name); });

TEST(UpdateCheckerState, OnlyAUsableManifestChangesItsStateAndUpdateAvailableComesLast)
{
    CheckerScene scene;
    scene.server.serve("/primary", {200, kUsable});
    // Locations that are no web addresses are passed over, not the end of the check.
    const auto checker = scene.makeChecker({"::no url", "file:///etc/hostname"});
    EXPECT_TRUE(checker->checkTimer().isActive());
    EXPECT_EQ(checker->checkTimer().intervalAsDuration(), 86400s);

    QStringList notified;
    QObject::connect(checker.get(), &UpdateChecker::latestVersionChanged, [&] { notified << "latestVersion"; });
    QObject::connect(checker.get(), &UpdateChecker::downloadURLChanged, [&] { notified << "downloadURL"; });
    QObject::connect(checker.get(), &UpdateChecker::releaseNotesChanged, [&] { notified << "releaseNotes"; });
    QObject::connect(checker.get(), &UpdateChecker::updateAvailableChanged, [&] { notified << "updateAvailable"; });
    const auto check = [&] {
        notified.clear();
        checker->checkForUpdate();
        scene.waitForChecks(scene.checksFinished + 1);
    };

    scene.waitForChecks(1);
    EXPECT_EQ(notified, QStringList({"latestVersion", "downloadURL", "releaseNotes", "updateAvailable"}));
    EXPECT_TRUE(checker->updateAvailable());

    // Nothing usable anywhere: nothing is assigned.
    scene.server.serve("/primary", {500, {}});
    scene.server.serve("/fallback", {404, {}});
    check();
    EXPECT_EQ(notified, QStringList());
    EXPECT_TRUE(checker->updateAvailable());
    EXPECT_EQ(checker->latestVersion(), "1.4.0");

    // Not newer: only the flag goes; the strings keep the last newer release.
    scene.server.serve("/primary", {200, R"({"version":"1.3.0","url":"https://primary/old.dmg"})"});
    check();
    EXPECT_EQ(notified, QStringList({"updateAvailable"}));
    EXPECT_FALSE(checker->updateAvailable());
    EXPECT_EQ(checker->downloadURL(), "https://primary/Ravlet-1.4.0.dmg");
    EXPECT_EQ(checker->releaseNotes(), "n");

    // Newer again, without notes: the old notes go.
    scene.server.serve("/primary", {200, R"({"version":"1.5","url":"https://primary/Ravlet-1.5.dmg"})"});
    check();
    EXPECT_EQ(checker->releaseNotes(), "");
}

TEST(UpdateCheckerState, DistrustsAServerItWasGivenNoCertificateAuthorityFor)
{
    CheckerScene scene;
    const auto checker = scene.makeChecker({}, QSslConfiguration::defaultConfiguration());
    scene.waitForChecks(1);
    EXPECT_EQ(scene.server.requests(), QStringList());   // no request goes past the handshake
    EXPECT_FALSE(checker->updateAvailable());
}

}
