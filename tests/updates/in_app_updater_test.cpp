// The in-app updater's whole pipeline against stand-in macOS tools (tools/)
// and a real HTTPS server: every step that can fail, the success path with
// its relaunch, and the clean-up of old backups.

#include "https_test_server.h"
#include "wait_until.h"

#include "in_app_updater.h"
#include "support/qt_printers.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace std::chrono_literals;

struct RecordingPresenter : UpdatePresenter {
    QStringList statuses;   // shown and set, in order
    int panelsShown = 0;
    bool panelOpen = false;
    QList<UpdateAlert> alerts;   // each answered with "Download"
    QList<QUrl> opened;
    int terminationRequests = 0;
    bool allowTermination = true;
    QElapsedTimer sinceRelaunching;

    void showPanel(const QString& status) override
    {
        ++panelsShown;
        panelOpen = true;
        statuses << status;
    }
    void setStatus(const QString& status) override
    {
        statuses << status;
        if (status == "Relaunching…")
            sinceRelaunching.start();
    }
    void closePanel() override { panelOpen = false; }
    bool runAlert(const UpdateAlert& alert) override
    {
        alerts << alert;
        return true;
    }
    void openUrl(const QUrl& url) override { opened << url; }
    bool requestTermination() override
    {
        ++terminationRequests;
        return allowTermination;
    }
};

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}

QByteArray infoPlist(const QByteArray& versionElement)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>io.morvik.ravlet</string>
  <key>LSUIElement</key><true/>
  <key>CFBundleShortVersionString</key>)" + versionElement + R"(
</dict></plist>
)";
}

const QByteArray kSigner = "Executable=/Volumes/Ravlet/Ravlet.app/Contents/MacOS/Ravlet\n"
                           "Identifier=io.morvik.ravlet\n"
                           "Authority=Developer ID Application: Morvik (K4R7TQ2W9Z)\n"
                           "TeamIdentifier=K4R7TQ2W9Z\n";

// An application bundle as the updater sees one.
void writeBundle(const QString& path, const QByteArray& versionElement, const QByteArray& binary,
                 const QByteArray& signer = kSigner)
{
    writeFile(path + "/Contents/Info.plist", infoPlist(versionElement));
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

// The release on the server, built into a "disk image" (a tar archive the
// stand-in hdiutil unpacks).
struct Release {
    QString appName = "Ravlet.app";
    QByteArray versionElement = "<string>1.4</string>";
    QByteArray signer = kSigner;
    bool infoPlist = true;
};

struct UpdaterScene {
    QTemporaryDir root;
    QString tools = root.filePath("tools");
    QString temp = root.filePath("tmp");
    QString apps = root.filePath("Applications");
    QString bundle = apps + "/Ravlet.app";
    Release release;
    QString downloadURL;
    std::chrono::milliseconds dripDownload{0};
    // The relaunch runs after the test may be over; only the test that
    // watches it uses the stand-in.
    QString openTool = "/bin/true";
    HttpsTestServer server;
    RecordingPresenter presenter;
    std::unique_ptr<InAppUpdater> updater;

    UpdaterScene()
    {
        QDir().mkpath(tools);
        QDir().mkpath(temp);
        for (const QString& name : QDir(RAVLET_STANDIN_TOOLS_DIR).entryList(QDir::Files)) {
            QFile::copy(QString(RAVLET_STANDIN_TOOLS_DIR "/") + name, tools + '/' + name);
            QFile::setPermissions(tools + '/' + name, QFile::permissions(tools + '/' + name) | QFile::ExeOwner);
        }
        writeBundle(bundle, "<string>1.3</string>", "old binary");
        downloadURL = server.url("/Ravlet-1.4.dmg");
    }

    void touch(const QString& control) { writeFile(tools + '/' + control, {}); }

    QByteArray image() const
    {
        const QString source = root.filePath("image");
        QDir(source).removeRecursively();
        const QString app = source + '/' + release.appName;
        writeBundle(app, release.versionElement, "new binary", release.signer);
        if (!release.infoPlist)
            QFile::remove(app + "/Contents/Info.plist");
        writeFile(source + "/.background/arrow.png", "png");
        QProcess tar;
        tar.start("tar", {"-cf", "-", "-C", source, "."});
        tar.waitForFinished();
        return tar.readAllStandardOutput();
    }

    InAppUpdater& makeUpdater()
    {
        UpdaterTools standIns{tools + "/hdiutil", tools + "/codesign", tools + "/ditto", tools + "/xattr", "/bin/sh",
                              openTool};
        updater = std::make_unique<InAppUpdater>(
            UpdaterPlatform{presenter, standIns, bundle, temp, trustingTestCertificate()});
        return *updater;
    }

    // Serves the release, runs one attempt and waits for its end.
    void runAttempt()
    {
        server.serve("/Ravlet-1.4.dmg", {200, image(), false, dripDownload});
        makeUpdater().startUpdate(downloadURL, "1.4");
        ASSERT_TRUE(waitUntil([&] { return !updater->isUpdating() || presenter.terminationRequests > 0; }));
    }

    // Each tool call: the tool's name, then its arguments.
    QList<QStringList> calls() const
    {
        QFile log(tools + "/calls.log");
        QList<QStringList> lines;
        if (log.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : log.readAll().split('\n'))
                if (!line.isEmpty())
                    lines << QString::fromUtf8(line).split('\t');
        }
        return lines;
    }

    QStringList workDirectories() const
    {
        return QDir(temp).entryList({"ravlet-update-*"}, QDir::AllEntries | QDir::Hidden);
    }
};

enum class Detach { None, Normal, Forced };

struct FailureCase {
    const char* name;
    std::function<void(UpdaterScene&)> arrange;
    Detach detach;   // the last unmount of the attempt
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class UpdateFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(UpdateFailure, EndsInTheAlertWithEverythingUndone)
{
    UpdaterScene scene;
    GetParam().arrange(scene);
    const auto bundleBefore = snapshot(scene.bundle);
    const QStringList appsBefore = entries(scene.apps);

    scene.runAttempt();

    ASSERT_EQ(scene.presenter.alerts.size(), 1);
    EXPECT_EQ(scene.presenter.alerts[0].informativeText, InAppUpdater::failureAlert().informativeText);
    EXPECT_EQ(scene.presenter.opened, QList<QUrl>{QUrl(scene.downloadURL)});
    EXPECT_FALSE(scene.presenter.panelOpen);
    EXPECT_EQ(scene.presenter.terminationRequests, 0);
    EXPECT_EQ(scene.workDirectories(), QStringList());

    QStringList lastDetach;
    for (const QStringList& call : scene.calls())
        if (call.value(0) == "hdiutil" && call.value(1) == "detach")
            lastDetach = call;
    switch (GetParam().detach) {
    case Detach::None: EXPECT_EQ(lastDetach, QStringList()); break;
    case Detach::Normal: EXPECT_EQ(lastDetach.size(), 3) << lastDetach.join(' ').toStdString(); break;
    case Detach::Forced: EXPECT_EQ(lastDetach.value(3), "-force") << lastDetach.join(' ').toStdString(); break;
    }

    EXPECT_EQ(snapshot(scene.bundle), bundleBefore);
    EXPECT_EQ(entries(scene.apps), appsBefore);
}

void signedBy(UpdaterScene& scene, const QByteArray& signer) { scene.release.signer = signer; }

INSTANTIATE_TEST_SUITE_P(Steps, UpdateFailure, testing::Values(
    FailureCase{"WorkDirectoryCannotBeMade", [](UpdaterScene& s) {
        writeFile(s.root.filePath("file"), "x");
        s.temp = s.root.filePath("file");
    }, Detach::None},
    FailureCase{"DownloadRefused", [](UpdaterScene& s) { s.downloadURL = "https://127.0.0.1:1/Ravlet-1.4.dmg"; }, Detach::None},
    FailureCase{"DownloadNotFound", [](UpdaterScene& s) { s.downloadURL = s.server.url("/missing.dmg"); }, Detach::None},
    FailureCase{"MountFails", [](UpdaterScene& s) { s.touch("fail-attach"); }, Detach::None},
    FailureCase{"NoApplicationInImage", [](UpdaterScene& s) { s.release.appName = "Ravlet.APP"; }, Detach::Forced},
    FailureCase{"ImageSignatureInvalid", [](UpdaterScene& s) { s.touch("fail-verify-image"); }, Detach::Forced},
    FailureCase{"SignedByAnotherTeam", [](UpdaterScene& s) {
        signedBy(s, "Identifier=io.morvik.ravlet\nTeamIdentifier=Z9Y8X7W6V5\n");
    }, Detach::Forced},
    FailureCase{"TeamTextInsideAnotherLine", [](UpdaterScene& s) {
        signedBy(s, "Identifier=io.evil.TeamIdentifier=K4R7TQ2W9Z\nAuthority=Evil\n");
    }, Detach::Forced},
    FailureCase{"SecondTeamLine", [](UpdaterScene& s) {
        signedBy(s, "TeamIdentifier=K4R7TQ2W9Z\nTeamIdentifier=Z9Y8X7W6V5\n");
    }, Detach::Forced},
    FailureCase{"SignerOutputNotUtf8", [](UpdaterScene& s) { signedBy(s, kSigner + "Comment=\xff\xfe\n"); }, Detach::Forced},
    FailureCase{"VersionDiffers", [](UpdaterScene& s) { s.release.versionElement = "<string>1.4.0</string>"; }, Detach::Forced},
    FailureCase{"VersionNotAString", [](UpdaterScene& s) { s.release.versionElement = "<real>1.4</real>"; }, Detach::Forced},
    FailureCase{"InfoPlistMissing", [](UpdaterScene& s) { s.release.infoPlist = false; }, Detach::Forced},
    FailureCase{"CopyOutFails", [](UpdaterScene& s) { s.touch("fail-ditto"); }, Detach::Forced},
    FailureCase{"BundleNotAnApp", [](UpdaterScene& s) {
        QDir().rename(s.bundle, s.apps + "/Ravlet");
        s.bundle = s.apps + "/Ravlet";
    }, Detach::Normal},
    FailureCase{"BackupNameTaken", [](UpdaterScene& s) {
        // Empty directories, which a plain rename would quietly replace.
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (qint64 t = now; t < now + 30; ++t)
            QDir().mkpath(s.apps + "/.Ravlet-old-" + QString::number(t) + ".app");
    }, Detach::Normal},
    FailureCase{"StagedCopyMissing", [](UpdaterScene& s) { s.touch("skip-ditto"); }, Detach::Normal},
    FailureCase{"InstalledCopyInvalid", [](UpdaterScene& s) { s.touch("fail-verify-installed"); }, Detach::Normal}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(InAppUpdater, InstallsKeepsABackupAndRelaunchesAPathNoShellMayReadInto)
{
    UpdaterScene scene;
    // A slow download and a slow mount: the main thread must go on all along.
    scene.touch("slow-attach");
    scene.dripDownload = 600ms;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });

    // Quotes, a dollar sign, backquotes and a command substitution: any of
    // them read by the shell would break the relaunch or run something.
    const QString bundle = scene.apps + "/Rav \"let\" $(touch pwned) `touch pwned2` $HOME.app";
    QDir().rename(scene.bundle, bundle);
    scene.bundle = bundle;
    scene.openTool = scene.tools + "/open";
    const auto oldBundle = snapshot(bundle);
    const qint64 start = QDateTime::currentSecsSinceEpoch();

    clock.start();
    ticker.start();
    scene.runAttempt();
    ticker.stop();

    EXPECT_GE(clock.elapsed(), 1100);   // both slow parts did happen
    EXPECT_LT(longestGap, 250);
    ASSERT_EQ(scene.presenter.terminationRequests, 1);
    EXPECT_TRUE(scene.presenter.alerts.isEmpty());
    EXPECT_EQ(scene.presenter.statuses,
              QStringList({"Downloading update…", "Verifying…", "Installing…", "Relaunching…"}));

    // Every tool with exactly its arguments, in order.
    const QList<QStringList> calls = scene.calls();
    ASSERT_GE(calls.size(), 7);
    const QString work = QFileInfo(calls[0].value(2)).path();
    EXPECT_TRUE(QRegularExpression("^ravlet-update-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")
                    .match(QFileInfo(work).fileName()).hasMatch()) << work.toStdString();
    EXPECT_EQ(QFileInfo(work).path(), scene.temp);
    const QString mnt = work + "/mnt";
    const QList<QStringList> expected = {
        {"hdiutil", "attach", work + "/update.dmg", "-nobrowse", "-readonly", "-noautoopen", "-mountpoint", mnt},
        {"codesign", "--verify", "--deep", "--strict", mnt + "/Ravlet.app"},
        {"codesign", "-dvv", mnt + "/Ravlet.app"},
        {"ditto", mnt + "/Ravlet.app", work + "/Ravlet.app"},
        {"xattr", "-dr", "com.apple.quarantine", work + "/Ravlet.app"},
        {"hdiutil", "detach", mnt},
        {"codesign", "--verify", "--strict", bundle},
    };
    EXPECT_EQ(calls.mid(0, 7), expected);

    // The new bundle in place, the old one as the only hidden backup.
    QTemporaryDir reference;
    writeBundle(reference.filePath("new.app"), "<string>1.4</string>", "new binary");
    EXPECT_EQ(snapshot(bundle), snapshot(reference.filePath("new.app")));
    const QStringList backups = entries(scene.apps).filter(QRegularExpression(R"(^\.Ravlet-old-\d+\.app$)"));
    ASSERT_EQ(backups.size(), 1);
    const qint64 stamp = backups[0].mid(12).chopped(4).toLongLong();
    EXPECT_GE(stamp, start);
    EXPECT_LE(stamp, QDateTime::currentSecsSinceEpoch());
    EXPECT_EQ(snapshot(scene.apps + '/' + backups[0]), oldBundle);
    EXPECT_EQ(entries(scene.apps).size(), 2);

    // 1.5 s later the shell opens exactly the bundle path.
    const QString opened = scene.tools + "/opened";
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(opened); }, 6000));
    EXPECT_GE(scene.presenter.sinceRelaunching.elapsed(), 1400);
    QFile openedFile(opened);
    ASSERT_TRUE(openedFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(openedFile.readAll()), bundle);
    EXPECT_FALSE(QFile::exists("pwned") || QFile::exists("pwned2"));
}

TEST(InAppUpdater, StartsOneAttemptAtATimeOnlyForWebAddressesAndSurvivesATurnedDownQuit)
{
    UpdaterScene scene;
    scene.presenter.allowTermination = false;
    scene.server.serve("/Ravlet-1.4.dmg", {200, scene.image()});
    InAppUpdater& updater = scene.makeUpdater();

    updater.startUpdate("::not a url", "1.4");
    updater.startUpdate("file:///etc/passwd", "1.4");
    updater.startUpdate("x-apple.systempreferences:com.apple.preference", "1.4");
    EXPECT_FALSE(updater.isUpdating());
    EXPECT_EQ(scene.presenter.panelsShown, 0);

    updater.startUpdate(scene.downloadURL, "1.4");
    updater.startUpdate(scene.downloadURL, "1.4");
    EXPECT_TRUE(updater.isUpdating());
    ASSERT_TRUE(waitUntil([&] { return !updater.isUpdating(); }));
    EXPECT_EQ(scene.presenter.panelsShown, 1);
    int attaches = 0;
    for (const QStringList& call : scene.calls())
        attaches += call.value(1) == "attach";
    EXPECT_EQ(attaches, 1);

    // The program would not quit: the update is installed all the same.
    EXPECT_EQ(scene.presenter.terminationRequests, 1);
    EXPECT_FALSE(scene.presenter.panelOpen);
    EXPECT_TRUE(scene.presenter.alerts.isEmpty());
    EXPECT_EQ(scene.workDirectories(), QStringList());
    QFile binary(scene.bundle + "/Contents/MacOS/Ravlet");
    ASSERT_TRUE(binary.open(QIODevice::ReadOnly));
    EXPECT_EQ(binary.readAll(), "new binary");
}

TEST(InAppUpdater, CleanupRemovesOnlyBackupsAndNeverTheRunningBundle)
{
    QTemporaryDir root;
    const QString apps = root.filePath("Applications");
    const QString outside = root.filePath("outside");
    writeFile(outside + "/keep.txt", "mine");
    const QString removed[] = {".Ravlet-old-1712345678.app", ".Ravlet-old-1.app"};
    const QString kept[] = {".Ravlet-old-1712345678.zip", "Ravlet-old-1712345678.app", ".ravlet-old-1.app",
                            "Ravlet.app", ".Ravlet-old-9.app"};
    for (const QString& name : removed)
        writeBundle(apps + '/' + name, "<string>1.0</string>", "old");
    for (const QString& name : kept)
        writeFile(apps + '/' + name + "/Contents/Info.plist", "x");
    // A link is removed, never what it points to.
    QFile::link(outside, apps + "/.Ravlet-old-2.app");

    RecordingPresenter presenter;
    // The user launched a backup: it is the running bundle and must stay.
    InAppUpdater updater({presenter, {}, apps + "/.Ravlet-old-9.app", root.path()});
    updater.cleanupLeftovers();

    QStringList expected(std::begin(kept), std::end(kept));
    expected.sort();
    EXPECT_EQ(entries(apps), expected);
    EXPECT_TRUE(QFile::exists(outside + "/keep.txt"));

    InAppUpdater nowhere({presenter, {}, root.filePath("missing/Ravlet.app"), root.path()});
    nowhere.cleanupLeftovers();
}

}
