#pragma once

// One update attempt from download to relaunch: fetch the disk image, mount
// it, check the application inside (signature, team, version), copy it out,
// swap it with the running bundle keeping the old one as a hidden backup,
// verify the installed copy and start the relaunch. Every failure undoes what
// was done: the image is detached, the work directory removed and the old
// bundle put back. Runs on a worker thread; it blocks while tools run.

#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <functional>

// The system tools, by absolute path.
struct UpdaterTools {
    QString hdiutil = QStringLiteral("/usr/bin/hdiutil");
    QString codesign = QStringLiteral("/usr/bin/codesign");
    QString ditto = QStringLiteral("/usr/bin/ditto");
    QString xattr = QStringLiteral("/usr/bin/xattr");
    QString shell = QStringLiteral("/bin/sh");
    QString open = QStringLiteral("/usr/bin/open");
};

struct UpdatePipelineSetup {
    UpdaterTools tools;
    QString bundlePath;           // the running application bundle, B
    QString temporaryDirectory;   // where the work directory is made
    QString expectedTeamID;
    QSslConfiguration tls;
};

class UpdatePipeline {
public:
    enum class Outcome {
        Failed,      // undone; the running bundle is the old one
        Installed,   // the new bundle is in place and the relaunch started
    };

    // onStatus is called on the worker thread with each new status line.
    UpdatePipeline(UpdatePipelineSetup setup, QUrl url, QString expectedVersion,
                   std::function<void(const QString&)> onStatus);

    Outcome run();

    // The attempt's own directory ("ravlet-update-" + UUID); once installed,
    // it still holds the downloaded image.
    const QString& workDirectory() const { return m_workDir; }

    // The downloads have no limit of their own but this idle one, as long as
    // the platform's default.
    static constexpr int kDownloadIdleTimeoutMs = 60'000;

private:
    enum class Recovery { CleanUp, DetachAndCleanUp };
    Outcome fail(Recovery recovery);
    bool download(const QString& destination);
    void startRelaunch();

    const UpdatePipelineSetup m_setup;
    const QUrl m_url;
    const QString m_expectedVersion;
    const std::function<void(const QString&)> m_onStatus;
    QString m_workDir;
    QString m_mountPoint;
};

// True when the codesign read-out names exactly this team: a line that is
// exactly "TeamIdentifier=" + team, and no line naming another team.
bool signedByTeam(const QString& codesignOutput, const QString& team);

// The name of the first entry of directory, in the file system's order, that
// ends with ".app"; empty when there is none or the directory is unreadable.
QString firstApplicationIn(const QString& directory);
