// The in-app updater's whole pipeline against stand-in macOS tools (tools/)
// and a real HTTPS server: every step that can fail, the success path with
// its relaunch, a swap that cannot be undone or is cut off, a quit during it,
// and the clean-up of old backups.

#include "https_test_server.h"
#include "support/files.h"
#include "support/wait_until.h"

#include "build_settings.h"
#include "file_operations.h"
#include "in_app_updater.h"
#include "tool_runner.h"
#include "update_offer.h"
#include "support/qt_printers.h"
#include "support/tied_to_test.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <utility>

namespace {

using namespace std::chrono_literals;

// What the user would see, in order. The quit is turned down, so that every
// attempt runs to its very end.
struct RecordingPresenter : UpdatePresenter {
    QStringList events;
    bool browser = true;   // false: no xdg-open

    bool note(const QString& event, bool answer = true)
    {
        events << event;
        return answer;
    }
    void showPanel(const QString& status) override { note("panel: " + status); }
    void setStatus(const QString& status) override { note(status); }
    void closePanel() override { note("closed"); }
    bool runAlert(const UpdateAlert& alert) override { return note("alert: " + alert.informativeText); }
    bool openUrl(const QUrl& url) override { return note("browser: " + url.toString(), browser); }
    bool requestTermination() override { return note("quit", false); }
};

// What -dvv prints, then ("cert:") what only a requirement looks at: an
// Apple anchor, the Developer ID markers and the team in the certificate.
const QByteArray kSigner = "Identifier=io.morvik.ravlet\n"
                           "Authority=Developer ID Application: Morvik (K4R7TQ2W9Z)\n"
                           "TeamIdentifier=K4R7TQ2W9Z\n"
                           "cert:anchor=apple generic\ncert:1=developer-id-ca\n"
                           "cert:leaf=developer-id-application\ncert:leaf.OU=K4R7TQ2W9Z\n";

// The Developer ID requirement, as codesign is given it.
const QString kRequirement = "-R=anchor apple generic and identifier \"io.morvik.ravlet\""
                             " and certificate 1[field.1.2.840.113635.100.6.2.6]"
                             " and certificate leaf[field.1.2.840.113635.100.6.1.13]"
                             " and certificate leaf[subject.OU] = \"K4R7TQ2W9Z\"";

// An application bundle as the updater sees one, with a link inside.
void writeBundle(const QString& path, const QByteArray& versionElement, const QByteArray& binary,
                 const QByteArray& signer = kSigner)
{
    writeFile(path + "/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>LSUIElement</key><true/>
<key>CFBundleShortVersionString</key>)" + versionElement + "</dict></plist>\n");
    writeFile(path + "/Contents/MacOS/Ravlet", binary);
    QFile::setPermissions(path + "/Contents/MacOS/Ravlet", QFile::permissions(path + "/Contents/MacOS/Ravlet") | QFile::ExeOwner);
    writeFile(path + "/Contents/_CodeSignature/signer", signer);
    QDir().mkpath(path + "/Contents/Frameworks/A");
    QFile::link("A", path + "/Contents/Frameworks/Current");
}

// Everything under root: kinds, contents, link targets and permissions.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        QByteArray& entry = tree[QDir(root).relativeFilePath(info.filePath())];
        entry = QByteArray::number(int(info.permissions())) + ' ';
        if (info.isSymLink())
            entry += "link " + QFile::encodeName(QDir(info.path()).relativeFilePath(info.symLinkTarget()));
        else if (info.isDir())
            entry += "dir";
        else if (QFile file(info.filePath()); file.open(QIODevice::ReadOnly))
            entry += "file " + file.readAll();
    }
    return tree;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

struct UpdaterScene {
    QTemporaryDir root;
    QString tools = root.filePath("tools");
    QString temp = root.filePath("tmp");
    QString apps = root.filePath("Applications");
    // Quotes, a dollar sign, backquotes and a command substitution: any of
    // them read by the shell would break the relaunch or run something.
    QString bundle = apps + "/Rav \"let\" $(touch pwned) `touch pwned2` $HOME.app";
    // The release on the server, as a "disk image": a tar archive the
    // stand-in hdiutil unpacks.
    QString appName = "Ravlet.app";
    QByteArray versionElement = "<string>1.4</string>";
    QByteArray signer = kSigner;
    bool infoPlist = true;
    bool appAsLink = false;   // the application in the image a link to a bundle beside it
    int downloadStatus = 200;
    bool sendLength = true;
    std::chrono::milliseconds dripDownload{0};
    HttpsTestServer server;
    QString downloadURL = server.url("/Ravlet-1.4.dmg");
    QString shell = "/bin/sh";
    // Tool deadlines ample for a loaded machine; rows shorten what they test.
    UpdateLimits limits{qint64(1) << 30, 60s, 60s, 20s, 20s, 30s};
    qint64 processId = qint64(1) << 23;   // above any pid_max: the relaunch need not wait
    SwapFileOperations files;
    RecordingPresenter presenter;
    std::unique_ptr<InAppUpdater> updater;

    UpdaterScene()
    {
        QDir().mkpath(tools);
        QDir().mkpath(temp);
        for (const QString& name : QDir(RAVLET_STANDIN_TOOLS_DIR).entryList(QDir::Files))
            QFile::copy(QString(RAVLET_STANDIN_TOOLS_DIR "/") + name, tools + '/' + name);
        writeBundle(bundle, "<string>1.3</string>", "old binary");
    }

    void touch(const QString& control) { writeFile(tools + '/' + control, {}); }

    InAppUpdater& makeUpdater()
    {
        const QString source = root.filePath("image");
        writeBundle(source + '/' + appName, versionElement, "new binary", signer);
        if (!infoPlist)
            QFile::remove(source + '/' + appName + "/Contents/Info.plist");
        if (appAsLink) {
            QDir(source).rename(appName, ".payload");
            QFile::link(".payload", source + '/' + appName);
        }
        writeFile(source + "/.background/arrow.png", "png");
        QProcess tar;
        tieToTest(tar);
        tar.start("tar", {"-cf", "-", "-C", source, "."});
        tar.waitForFinished();
        server.serve("/Ravlet-1.4.dmg", {downloadStatus, tar.readAllStandardOutput(), false, dripDownload, sendLength});

        const UpdaterTools standIns{tools + "/hdiutil", tools + "/codesign", tools + "/ditto", tools + "/xattr",
                                    shell, tools + "/open"};
        updater = std::make_unique<InAppUpdater>(
            UpdaterPlatform{presenter, standIns, bundle, temp, trustingTestCertificate(), limits, processId, files});
        return *updater;
    }

    // The backup beside the bundle, if there is one.
    QString backup() const
    {
        const QStringList found = QDir(apps).entryList({".Ravlet-old-*.app"}, QDir::AllEntries | QDir::Hidden);
        return found.isEmpty() ? QString() : apps + '/' + found.first();
    }

    // The mount points of the images the stand-in hdiutil still has attached.
    QStringList mounted() const
    {
        return QString::fromUtf8(readFile(tools + "/mounted")).split('\n', Qt::SkipEmptyParts);
    }

    // Each tool call: the tool's name, then its arguments.
    QList<QStringList> calls() const
    {
        QList<QStringList> lines;
        for (const QString& line : QString::fromUtf8(readFile(tools + "/calls.log")).split('\n', Qt::SkipEmptyParts))
            lines << line.split('\t');
        return lines;
    }
};

struct FailureCase {
    const char* name;
    std::function<void(UpdaterScene&)> arrange;
    const char* detached;   // how the image was last detached: "none", "plain" or "-force"
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class UpdateFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(UpdateFailure, EndsInTheAlertWithEverythingUndone)
{
    UpdaterScene scene;
    GetParam().arrange(scene);
    const auto before = snapshot(scene.apps);   // the running bundle and all beside it

    InAppUpdater& updater = scene.makeUpdater();
    updater.startUpdate(scene.downloadURL, "1.4");
    ASSERT_TRUE(waitUntil([&] { return !updater.isUpdating(); }));

    const QStringList& events = scene.presenter.events;
    EXPECT_FALSE(events.contains("quit"));
    QStringList ending{"closed", "alert: " + InAppUpdater::failureAlert().informativeText, "browser: " + scene.downloadURL};
    if (!scene.presenter.browser)
        ending << "alert: " + InAppUpdater::pageNotOpenedAlert(QUrl(scene.downloadURL)).informativeText;
    EXPECT_EQ(events.mid(events.indexOf("closed")), ending);
    EXPECT_EQ(entries(scene.temp), QStringList());   // no work directory left
    QString detached = "none";
    for (const QStringList& call : scene.calls())
        if (call.value(1) == "detach")
            detached = call.value(3, "plain");
    EXPECT_EQ(detached, GetParam().detached);
    EXPECT_EQ(scene.mounted(), QStringList()) << "an image is left attached";
    EXPECT_EQ(snapshot(scene.apps), before);
}

INSTANTIATE_TEST_SUITE_P(Steps, UpdateFailure, testing::Values(
    FailureCase{"WorkDirectoryCannotBeMade", [](UpdaterScene& s) { s.temp = s.tools + "/hdiutil"; }, "none"},   // a file
    FailureCase{"DownloadRefused", [](UpdaterScene& s) { s.downloadURL = "https://127.0.0.1:1/Ravlet-1.4.dmg"; }, "none"},
    // With the image all the same; and no browser for the page offered instead.
    FailureCase{"DownloadNotFound", [](UpdaterScene& s) { s.downloadStatus = 404; s.presenter.browser = false; }, "none"},
    // Larger than any release (no length said up front), slower than any.
    FailureCase{"ImageGrowsPastAnyRelease", [](UpdaterScene& s) { s.limits.maxImageBytes = 1000; s.sendLength = false; }, "none"},
    FailureCase{"DownloadPastItsDeadline", [](UpdaterScene& s) { s.limits.downloadDeadline = 1s; s.dripDownload = 3s; }, "none"},
    FailureCase{"MountFails", [](UpdaterScene& s) { s.touch("fail-attach"); }, "none"},
    // Killed at its deadline; it may have mounted all the same.
    FailureCase{"MountHangs", [](UpdaterScene& s) { s.touch("hang-attach"); s.limits.slowToolDeadline = 2s; }, "-force"},
    FailureCase{"NoApplicationInImage", [](UpdaterScene& s) { s.appName = "Ravlet.APP"; }, "-force"},
    FailureCase{"ApplicationIsALink", [](UpdaterScene& s) { s.appAsLink = true; }, "-force"},
    FailureCase{"ImageSignatureInvalid", [](UpdaterScene& s) { s.touch("fail-verify-image"); }, "-force"},
    // The requirement: our application, a Developer ID from Apple, our team
    // in the certificate whatever the read-out prints.
    FailureCase{"SignedForAnotherApplication", [](UpdaterScene& s) { s.signer.replace("=io.morvik.ravlet", "=io.morvik.other"); }, "-force"},
    FailureCase{"NotADeveloperIDCertificate", [](UpdaterScene& s) { s.signer.replace("cert:leaf=developer-id-application\n", ""); }, "-force"},
    FailureCase{"AnotherTeamsCertificate", [](UpdaterScene& s) { s.signer.replace("cert:leaf.OU=K4R7TQ2W9Z", "cert:leaf.OU=Z9Y8X7W6V5"); }, "-force"},
    // The read-out: the team named exactly, and only it, within what is kept.
    FailureCase{"SignedByAnotherTeam", [](UpdaterScene& s) { s.signer.replace("TeamIdentifier=K4R7TQ2W9Z", "TeamIdentifier=K4R7TQ2W9Z0"); }, "-force"},
    FailureCase{"TeamTextInsideAnotherLine", [](UpdaterScene& s) { s.signer.replace("\nTeamIdentifier=", "\nComment=TeamIdentifier="); }, "-force"},
    FailureCase{"SecondTeamLine", [](UpdaterScene& s) { s.signer = kSigner + "TeamIdentifier=Z9Y8X7W6V5\n"; }, "-force"},
    FailureCase{"AnotherTeamLineFirst", [](UpdaterScene& s) { s.signer = "TeamIdentifier=Z9Y8X7W6V5\n" + kSigner; }, "-force"},
    FailureCase{"SignerOutputNotUtf8", [](UpdaterScene& s) { s.signer = kSigner + "Comment=\xff\xfe\n"; }, "-force"},
    FailureCase{"SignerOutputPastWhatIsKept", [](UpdaterScene& s) { s.signer = QByteArray(2 << 20, 'x') + '\n' + kSigner; }, "-force"},
    FailureCase{"VersionDiffers", [](UpdaterScene& s) { s.versionElement = "<string>1.4.0</string>"; }, "-force"},
    FailureCase{"VersionNotAString", [](UpdaterScene& s) { s.versionElement = "<real>1.4</real>"; }, "-force"},
    FailureCase{"InfoPlistMissing", [](UpdaterScene& s) { s.infoPlist = false; }, "-force"},
    FailureCase{"CopyOutFails", [](UpdaterScene& s) { s.touch("fail-ditto"); }, "-force"},
    FailureCase{"BundleNotAnApp", [](UpdaterScene& s) { QDir().rename(std::exchange(s.bundle, s.apps + "/Ravlet"), s.bundle); }, "plain"},
    FailureCase{"BackupNameTaken", [](UpdaterScene& s) {
        // Empty directories, which a plain rename would quietly replace.
        for (qint64 t = QDateTime::currentSecsSinceEpoch(), end = t + 30; t < end; ++t)
            QDir().mkpath(s.apps + "/.Ravlet-old-" + QString::number(t) + ".app");
    }, "plain"},
    FailureCase{"StagedCopyMissing", [](UpdaterScene& s) { s.touch("skip-ditto"); }, "plain"},
    FailureCase{"InstalledCopyInvalid", [](UpdaterScene& s) { s.touch("fail-verify-installed"); }, "plain"},
    FailureCase{"InstalledCopyNotTheOneChecked", [](UpdaterScene& s) {
        writeFile(s.tools + "/signer", QByteArray(kSigner).replace("cert:leaf.OU=K4R7TQ2W9Z", "cert:leaf.OU=Z9Y8X7W6V5"));
    }, "plain"},
    FailureCase{"RelaunchCannotStart", [](UpdaterScene& s) { s.shell = s.tools + "/no-shell"; }, "plain"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(InAppUpdater, InstallsOnceKeepsABackupAndRelaunchesAPathNoShellMayReadInto)
{
    UpdaterScene scene;
    const QString& bundle = scene.bundle;
    for (const char* leftover : {"pwned", "pwned2"})   // from an earlier faulty run
        QFile::remove(leftover);
    const auto oldBundle = snapshot(bundle);
    // A slow download and a slow mount: the main thread must go on all along.
    scene.touch("slow-attach");
    scene.dripDownload = 600ms;
    QElapsedTimer clock;
    qint64 lastTick = 0, longestGap = 0;
    QTimer ticker;
    ticker.callOnTimeout([&] {
        longestGap = std::max(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });

    // The relaunch waits for this process to end.
    QProcess running;
    tieToTest(running);
    running.start("sleep", {"60"});
    ASSERT_TRUE(running.waitForStarted());
    scene.processId = running.processId();

    InAppUpdater& updater = scene.makeUpdater();
    for (const char* notFetched : {"::not a url", "file:///etc/passwd", "x-apple.systempreferences:com.apple.preference",
                                   "http://127.0.0.1:1/Ravlet-1.4.dmg"})
        updater.startUpdate(notFetched, "1.4");
    const qint64 start = QDateTime::currentSecsSinceEpoch();
    clock.start();
    ticker.start(10);
    updater.startUpdate(scene.downloadURL, "1.4");
    updater.startUpdate(scene.downloadURL, "1.4");
    ASSERT_TRUE(waitUntil([&] { return !updater.isUpdating(); }));
    ticker.stop();
    const qint64 ended = clock.elapsed();

    EXPECT_GE(ended, 1100);   // both slow parts did happen
    EXPECT_LT(longestGap, 250);
    // One attempt for all six starts. The quit is turned down: the update
    // stays installed all the same, tidily.
    EXPECT_EQ(scene.presenter.events, QStringList({"panel: Downloading update…", "Verifying…", "Installing…",
                                                   "Relaunching…", "quit", "closed"}));
    EXPECT_EQ(entries(scene.temp), QStringList());
    EXPECT_EQ(scene.mounted(), QStringList());

    // The new bundle in place; beside it only the old one, as a hidden backup
    // named for the time of the swap.
    EXPECT_EQ(snapshot(bundle), snapshot(scene.root.filePath("image/Ravlet.app")));
    const QStringList names = entries(scene.apps);
    ASSERT_EQ(names.size(), 2);
    const qint64 stamp = names[0].mid(12).chopped(4).toLongLong();
    EXPECT_EQ(names[0], ".Ravlet-old-" + QString::number(stamp) + ".app");
    EXPECT_TRUE(stamp >= start && stamp <= QDateTime::currentSecsSinceEpoch()) << stamp;
    EXPECT_EQ(snapshot(scene.apps + '/' + names[0]), oldBundle);

    // The relaunch opens exactly the bundle path, once the old process has
    // ended and not before.
    waitUntil([] { return false; }, 1500);
    EXPECT_FALSE(QFile::exists(scene.tools + "/opened"));
    running.kill();
    running.waitForFinished();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(scene.tools + "/opened"); }, 6000));
    EXPECT_EQ(QString::fromUtf8(readFile(scene.tools + "/opened")), bundle);
    EXPECT_FALSE(QFile::exists("pwned") || QFile::exists("pwned2"));

    // Every tool with exactly its arguments, in order; both copies are held
    // to the Developer ID requirement, the installed one where it now runs from.
    const QString requirement = kRequirement;
    const QList<QStringList> calls = scene.calls();
    const QString work = QFileInfo(calls.value(0).value(2)).path(), mnt = work + "/mnt";
    EXPECT_EQ(calls, QList<QStringList>({
        {"hdiutil", "attach", work + "/update.dmg", "-nobrowse", "-readonly", "-noautoopen", "-mountpoint", mnt},
        {"codesign", "--verify", "--deep", "--strict", requirement, mnt + "/Ravlet.app"},
        {"codesign", "-dvv", mnt + "/Ravlet.app"},
        {"ditto", mnt + "/Ravlet.app", work + "/Ravlet.app"},
        {"xattr", "-dr", "com.apple.quarantine", work + "/Ravlet.app"},
        {"hdiutil", "detach", mnt},
        {"codesign", "--verify", "--deep", "--strict", requirement, bundle},
        {"open", bundle},
    }));
}

TEST(InAppUpdater, AVersionThatCannotBePutBackIsNamedInTheAlertAndKeptUntilItIs)
{
    UpdaterScene scene;
    const auto oldBundle = snapshot(scene.bundle);
    scene.touch("fail-verify-installed");
    // The swap's exchange works; every later one fails.
    const auto failing = [](int working) {
        SwapFileOperations files;
        files.exchange = [working](const QString& a, const QString& b) mutable {
            return working-- > 0 ? exchangeItems(a, b) : Exchange::Failed;
        };
        return files;
    };
    scene.files = failing(1);
    InAppUpdater& updater = scene.makeUpdater();
    updater.startUpdate(scene.downloadURL, "1.4");
    ASSERT_TRUE(waitUntil([&] { return !updater.isUpdating(); }));

    const QString backup = scene.backup();
    ASSERT_FALSE(backup.isEmpty());
    EXPECT_EQ(snapshot(backup), oldBundle);
    EXPECT_TRUE(scene.presenter.events.contains("alert: " + InAppUpdater::failureAlert(backup).informativeText))
        << scene.presenter.events.join('\n').toStdString();
    EXPECT_TRUE(InAppUpdater::failureAlert(backup).informativeText.contains(backup));

    // The next launch cannot put it back either, and so removes no backup.
    removeUpdateBackups(scene.bundle, failing(0));
    EXPECT_EQ(snapshot(backup), oldBundle);
    // The one after can.
    removeUpdateBackups(scene.bundle);
    EXPECT_EQ(snapshot(scene.bundle), oldBundle);
    EXPECT_EQ(entries(scene.apps), QStringList{QFileInfo(scene.bundle).fileName()});
}

// The process killed (SIGKILL, power loss) before one of the swap's moves:
// the next launch finds the bundle as it was before the update.
TEST(InAppUpdater, ASwapCutOffAnywhereIsUndoneAtTheNextLaunch)
{
    struct Killed {};
    struct Cut {
        const char* where;
        bool exchangeWorks;
        int killedAtMove;   // the swap's moves, then its rollback's, counted from 1
    };
    for (const Cut cut : {Cut{"AfterTheJournal", true, 1}, Cut{"NewCopyBesideTheBundle", true, 2},
                          Cut{"Swapped", true, 3}, Cut{"SwappedBackNotTidied", true, 4},
                          Cut{"BundlePathEmpty", false, 5}, Cut{"SwappedByRenames", false, 6},
                          Cut{"RollingBackByRenames", false, 8}}) {
        SCOPED_TRACE(cut.where);
        QTemporaryDir root;
        const QString apps = root.filePath("Applications"), bundle = apps + "/Ravlet.app";
        writeBundle(bundle, "<string>1.3</string>", "old");
        writeBundle(root.filePath("staged/Ravlet.app"), "<string>1.4</string>", "new");
        const auto oldBundle = snapshot(bundle);
        SwapFileOperations files;
        if (!cut.exchangeWorks)
            files.exchange = [](const QString&, const QString&) { return Exchange::Unsupported; };
        auto moves = std::make_shared<int>(0);
        const auto dyingBefore = [moves, cut](auto operation) {
            return [=](const auto&... paths) {
                if (++*moves == cut.killedAtMove)
                    throw Killed{};
                return operation(paths...);
            };
        };
        const SwapFileOperations dying{dyingBefore(files.move), dyingBefore(files.exchange), dyingBefore(files.remove)};

        BundleSwap swap(bundle, apps + "/.Ravlet-old-1.app", dying);
        EXPECT_THROW((swap.swapIn(root.filePath("staged/Ravlet.app")), swap.rollBack()), Killed);

        removeUpdateBackups(bundle, files);
        EXPECT_EQ(snapshot(bundle), oldBundle);
        EXPECT_EQ(entries(apps), QStringList{"Ravlet.app"});
    }
}

TEST(InAppUpdater, AQuitWaitsForTheSwapOrItsRollbackToFinish)
{
    for (const bool accepted : {true, false}) {
        SCOPED_TRACE(accepted ? "installed" : "rolled back");
        UpdaterScene scene;
        const auto oldBundle = snapshot(scene.bundle);
        scene.touch("hold-verify-installed");
        if (!accepted)
            scene.touch("fail-verify-installed");
        InAppUpdater& updater = scene.makeUpdater();
        updater.startUpdate(scene.downloadURL, "1.4");
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(scene.tools + "/verifying-installed"); }));

        int quits = 0;
        QMap<QString, QByteArray> atQuit;
        QString backupAtQuit;
        updater.quitWhenSafe([&] {
            ++quits;
            atQuit = snapshot(scene.bundle);
            backupAtQuit = scene.backup();
        });
        QCoreApplication::processEvents();
        EXPECT_EQ(quits, 0) << "not while the installed copy is being verified";
        scene.touch("go");
        ASSERT_TRUE(waitUntil([&] { return quits == 1 && !updater.isUpdating(); }));
        EXPECT_EQ(atQuit, accepted ? snapshot(scene.root.filePath("image/Ravlet.app")) : oldBundle);
        EXPECT_EQ(backupAtQuit.isEmpty(), !accepted);
        EXPECT_FALSE(QFile::exists(BundleSwap::journalPath(scene.bundle)));

        updater.quitWhenSafe([&] { ++quits; });
        EXPECT_EQ(quits, 2) << "with no swap under way, at once";
    }
}

TEST(InAppUpdater, RemovalNeverFollowsALinkEvenOneSwappedInWhileItRuns)
{
    QTemporaryDir root;
    writeFile(root.filePath("outside/keep.txt"), "mine");
    writeFile(root.filePath("work/a/b/file"), "x");
    writeFile(root.filePath("work/a/c/file"), "x");
    QFile::link(root.filePath("outside"), root.filePath("work/a/link"));
    bool swapped = false;
    // Just before the removal goes into b, b becomes a link to outside.
    EXPECT_TRUE(removeItem(root.filePath("work"), [&](const QString& directory) {
        if (directory.endsWith("/a/b") && !swapped)
            swapped = QDir().rename(directory, root.filePath("b")) && QFile::link(root.filePath("outside"), directory);
    }));
    EXPECT_TRUE(swapped);
    EXPECT_FALSE(QFileInfo::exists(root.filePath("work")));
    EXPECT_EQ(entries(root.filePath("outside")), QStringList{"keep.txt"});
}

TEST(InAppUpdater, CleanupRemovesOnlyBackupsAndNeverTheRunningBundle)
{
    QTemporaryDir root;
    const QString apps = root.filePath("Applications");
    writeFile(root.filePath("outside/keep.txt"), "mine");
    for (const char* name : {".Ravlet-old-1712345678.app", ".Ravlet-old-1.app"})
        writeBundle(apps + '/' + name, "<string>1.0</string>", "old");
    // Near misses, and a backup the user launched: the running bundle.
    const QStringList kept = {".Ravlet-old-1712345678.zip", ".Ravlet-old-9.app", ".ravlet-old-1.app",
                              "Ravlet-old-1712345678.app", "Ravlet.app"};
    for (const QString& name : kept)
        writeFile(apps + '/' + name + "/Contents/Info.plist", "x");
    // A link is removed, never what it points to.
    QFile::link(root.filePath("outside"), apps + "/.Ravlet-old-2.app");

    RecordingPresenter presenter;
    InAppUpdater({presenter, {}, apps + "/.Ravlet-old-9.app", root.path()}).cleanupLeftovers();
    EXPECT_EQ(entries(apps), kept);
    EXPECT_TRUE(QFile::exists(root.filePath("outside/keep.txt")));
    InAppUpdater({presenter, {}, root.filePath("missing/Ravlet.app"), root.path()}).cleanupLeftovers();

    // An executable outside any bundle (/usr/bin/ravlet): the folder above is not ours.
    writeFile(root.filePath("usr/bin/ravlet"), "binary");
    writeFile(root.filePath("usr/.Ravlet-old-3.app/Contents/Info.plist"), "someone else's");
    InAppUpdater({presenter, {}, root.filePath("usr/bin"), root.path()}).cleanupLeftovers();
    EXPECT_TRUE(QFile::exists(root.filePath("usr/.Ravlet-old-3.app/Contents/Info.plist")));
}

// Where the package manager installs updates, the pill opens the download
// page at once; a desktop that cannot open it is said so, never silent.
TEST(InAppUpdater, TheDownloadPageOpensAtOnceAndAPageThatCannotBeOpenedIsSaid)
{
    RecordingPresenter presenter;
    UpdaterPlatform platform{presenter, {}, "/usr/bin", QDir::tempPath()};
    platform.downloadPage = QUrl("http://updates.example/ravlet/");
    InAppUpdater(platform).openDownloadPage();
    EXPECT_EQ(presenter.events, QStringList()) << "a page that is not https";
    platform.downloadPage = downloadPageURL();
    InAppUpdater updater(platform);
    updater.openDownloadPage();
    EXPECT_EQ(presenter.events, QStringList{"browser: " + downloadPageURL().toString()}) << "the build's own";
    EXPECT_FALSE(updater.isUpdating());

    presenter.events.clear();
    presenter.browser = false;
    updater.openDownloadPage();
    ASSERT_EQ(presenter.events.size(), 2);
    EXPECT_TRUE(presenter.events[1].contains("could not be opened")) << presenter.events[1].toStdString();
    EXPECT_TRUE(presenter.events[1].contains(downloadPageURL().toString()));
}

// A tool hung past its caller's end is killed with it, not left running.
TEST(ToolRunner, AToolEndsWithTheProgram)
{
    const ToolResult result = runTool("/usr/bin/python3",
                                      {"-c", "import ctypes; s = ctypes.c_int(); "
                                             "ctypes.CDLL(None).prctl(2, ctypes.byref(s)); print(s.value)"},
                                      5s);
    ASSERT_TRUE(result.ok) << result.output.toStdString();
    EXPECT_EQ(result.output.trimmed(), QString::number(SIGKILL));
}

// The running bundle is held to the requirement a download is, and only the
// tool's verdict counts: its read-out names the bundle's path, which could
// add lines of its own.
TEST(UpdateOffer, OnlyABundleSignedWithOurDeveloperIDOffersUpdates)
{
    QTemporaryDir root;
    // A copy: the stand-in logs its calls beside itself.
    const QString tools = root.filePath("tools");
    QDir().mkpath(tools);
    QFile::copy(RAVLET_STANDIN_TOOLS_DIR "/codesign", tools + "/codesign");
    const auto offered = [&](const QString& name, const QByteArray& signer) {
        writeBundle(root.filePath(name), "<string>1.3</string>", "binary", signer);
        QFile::remove(tools + "/calls.log");
        return bundleOffersUpdates(UpdaterTools{tools + "/hdiutil", tools + "/codesign"}, root.filePath(name),
                                   InAppUpdater::kBundleID, InAppUpdater::kExpectedTeamID);
    };
    EXPECT_TRUE(offered("Release.app", kSigner));
    EXPECT_FALSE(offered("Local.app", "Identifier=io.morvik.ravlet\nSignature=adhoc\nTeamIdentifier=not set\n"));
    const QString forged = "Downloads/x\nAuthority=Developer ID Application: Morvik (K4R7TQ2W9Z)\n"
                           "Authority=Apple Root CA\nTeamIdentifier=K4R7TQ2W9Z\n/Ravlet.app";
    EXPECT_FALSE(offered(forged, "Identifier=io.morvik.ravlet\n"));
    EXPECT_EQ(QString::fromUtf8(readFile(tools + "/calls.log")),
              QStringList({"codesign", "--verify", "--ignore-resources", kRequirement, root.filePath(forged)}).join('\t')
                  + '\n');
    EXPECT_FALSE(bundleOffersUpdates(UpdaterTools{tools + "/hdiutil", root.filePath("no-codesign")},
                                     root.filePath("Release.app"), InAppUpdater::kBundleID,
                                     InAppUpdater::kExpectedTeamID));
}

}
