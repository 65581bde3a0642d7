#pragma once

// One update attempt from download to relaunch: fetch the disk image, mount
// it, check the application inside (signature against our Developer ID
// requirement, team, version), copy it out, swap it with the running bundle
// keeping the old one as a hidden backup, verify the installed copy against
// the same requirement and start the relaunch. Every failure undoes what was
// done: the image is detached, the work directory removed and the old bundle
// put back. Every wait is bounded. Runs on a worker thread; it blocks while
// tools run.

#include "bundle_swap.h"

#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

// The system tools, by absolute path.
struct UpdaterTools {
    QString hdiutil = QStringLiteral("/usr/bin/hdiutil");
    QString codesign = QStringLiteral("/usr/bin/codesign");
    QString ditto = QStringLiteral("/usr/bin/ditto");
    QString xattr = QStringLiteral("/usr/bin/xattr");
    QString shell = QStringLiteral("/bin/sh");
    QString open = QStringLiteral("/usr/bin/open");
};

// How long and how much: past any of these the step fails as its failure
// says. Generous, so that only a server or tool gone wrong meets them.
struct UpdateLimits {
    qint64 maxImageBytes = qint64(1) << 30;
    std::chrono::milliseconds downloadDeadline = std::chrono::minutes(10);
    std::chrono::milliseconds downloadIdleTimeout = std::chrono::seconds(60);
    std::chrono::milliseconds slowToolDeadline = std::chrono::minutes(5);   // attaching, copying
    std::chrono::milliseconds toolDeadline = std::chrono::minutes(1);       // the others
    // How long the relaunch waits for this process to end before it opens
    // the new copy all the same.
    std::chrono::seconds relaunchWait = std::chrono::seconds(30);
};

// Between the worker's bundle swap and the main thread's quit: a quit waits
// while a swap runs, and no swap starts once a quit has begun.
class QuitGate {
public:
    // Worker: false when the program is quitting; no swap may start.
    bool enterSwap();
    // Worker: the swap, or its rollback, has finished.
    void leaveSwap();
    // Main: true, and no swap will start from now on, unless one runs.
    bool beginQuit();
    // Main: the program quits all the same.
    void forceQuit();

private:
    std::mutex m_mutex;
    bool m_swapping = false;
    bool m_quitting = false;
};

struct UpdatePipelineSetup {
    UpdaterTools tools;
    QString bundlePath;           // the running application bundle, B
    QString temporaryDirectory;   // where the work directory is made
    QString expectedTeamID;
    QString expectedBundleID;
    QSslConfiguration tls;
    UpdateLimits limits;
    qint64 processId = 0;         // the process the relaunch waits for
    SwapFileOperations files;
    std::shared_ptr<QuitGate> quitGate = std::make_shared<QuitGate>();
    std::function<void()> onSwapEnded = [] {};   // called on the worker thread
};

class UpdatePipeline {
public:
    enum class Outcome {
        Failed,            // undone; the running bundle is the old one
        FailedBackupKept,  // the old bundle could not be put back: see keptBackup()
        Installed,         // the new bundle is in place and the relaunch started
    };

    // onStatus is called on the worker thread with each new status line.
    UpdatePipeline(UpdatePipelineSetup setup, QUrl url, QString expectedVersion,
                   std::function<void(const QString&)> onStatus);

    Outcome run();

    // The attempt's own directory ("ravlet-update-" + UUID); once installed,
    // it still holds the downloaded image.
    const QString& workDirectory() const { return m_workDir; }
    // Where the old bundle is when it could not be put back.
    const QString& keptBackup() const { return m_keptBackup; }

private:
    enum class Recovery { CleanUp, DetachAndCleanUp };
    Outcome fail(Recovery recovery);
    Outcome install(const QString& staged);
    Outcome undo(BundleSwap& swap);
    bool download(const QString& destination);
    bool verifySignature(const QString& app, std::chrono::milliseconds deadline);
    bool startRelaunch();

    const UpdatePipelineSetup m_setup;
    const QUrl m_url;
    const QString m_expectedVersion;
    const std::function<void(const QString&)> m_onStatus;
    QString m_workDir;
    QString m_mountPoint;
    QString m_keptBackup;
};

// The code requirement an application must satisfy to replace this one:
// signed with a Developer ID issued by Apple (not merely by a root the user
// trusts), with our bundle identifier and our team in the certificate.
QString developerIDRequirement(const QString& bundleID, const QString& teamID);

// True when the codesign read-out names exactly this team: a line that is
// exactly "TeamIdentifier=" + team, and no line naming another team.
bool signedByTeam(const QString& codesignOutput, const QString& team);

// The name of the first entry of directory, in the file system's order, that
// ends with ".app", when that entry is a real directory; empty when there is
// no such entry, it is a link or a file, or the directory is unreadable.
QString firstApplicationIn(const QString& directory);
