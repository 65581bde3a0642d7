#include "update_pipeline.h"

#include "bundle_version.h"
#include "file_operations.h"
#include "tool_runner.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QUuid>

#include <sys/stat.h>

namespace {

const QString kTeamPrefix = QStringLiteral("TeamIdentifier=");

// A path as one word of a shell command. Plain paths stay as they are.
QString shellWord(const QString& path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

}

bool QuitGate::enterSwap()
{
    const std::lock_guard lock(m_mutex);
    if (m_quitting)
        return false;
    m_swapping = true;
    return true;
}

void QuitGate::leaveSwap()
{
    const std::lock_guard lock(m_mutex);
    m_swapping = false;
}

bool QuitGate::beginQuit()
{
    const std::lock_guard lock(m_mutex);
    if (m_swapping)
        return false;
    m_quitting = true;
    return true;
}

void QuitGate::forceQuit()
{
    const std::lock_guard lock(m_mutex);
    m_quitting = true;
}

QString developerIDRequirement(const QString& bundleID, const QString& teamID)
{
    // "anchor apple generic" and the two Developer ID marker fields: Apple's
    // own chain, not a root the user added ("anchor trusted" would take that).
    return QStringLiteral("anchor apple generic and identifier \"") + bundleID
        + QStringLiteral("\" and certificate 1[field.1.2.840.113635.100.6.2.6]"
                         " and certificate leaf[field.1.2.840.113635.100.6.1.13]"
                         " and certificate leaf[subject.OU] = \"")
        + teamID + QLatin1Char('"');
}

bool signedByTeam(const QString& codesignOutput, const QString& team)
{
    // A plain substring search would also accept the text inside another
    // line, such as an identifier chosen to contain it.
    bool named = false;
    for (const QStringView line : QStringView(codesignOutput).split(u'\n')) {
        if (!line.startsWith(kTeamPrefix))
            continue;
        if (line.mid(kTeamPrefix.size()) != team)
            return false;
        named = true;
    }
    return named;
}

QString firstApplicationIn(const QString& directory)
{
    QDirIterator entries(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        entries.next();
        if (!entries.fileName().endsWith(QLatin1String(".app")))
            continue;
        // A link could lead the checks and the copy to different places.
        struct stat info {};
        const bool realDirectory = ::lstat(QFile::encodeName(entries.filePath()).constData(), &info) == 0
            && S_ISDIR(info.st_mode);
        return realDirectory ? entries.fileName() : QString();
    }
    return {};
}

UpdatePipeline::UpdatePipeline(UpdatePipelineSetup setup, QUrl url, QString expectedVersion,
                               std::function<void(const QString&)> onStatus)
    : m_setup(std::move(setup))
    , m_url(std::move(url))
    , m_expectedVersion(std::move(expectedVersion))
    , m_onStatus(std::move(onStatus))
{
}

UpdatePipeline::Outcome UpdatePipeline::fail(Recovery recovery)
{
    if (recovery == Recovery::DetachAndCleanUp)
        runTool(m_setup.tools.hdiutil, {QStringLiteral("detach"), m_mountPoint, QStringLiteral("-force")},
                m_setup.limits.toolDeadline);
    // Never into an image still mounted there.
    removeItem(m_workDir);
    return Outcome::Failed;
}

UpdatePipeline::Outcome UpdatePipeline::run()
{
    const UpdaterTools& tools = m_setup.tools;
    const UpdateLimits& limits = m_setup.limits;

    m_workDir = QDir(m_setup.temporaryDirectory)
                    .filePath(QStringLiteral("ravlet-update-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    m_mountPoint = m_workDir + QStringLiteral("/mnt");
    if (!QDir().mkpath(m_mountPoint))
        return fail(Recovery::CleanUp);

    // Downloaded straight into the work directory: nothing to move after.
    const QString image = m_workDir + QStringLiteral("/update.dmg");
    if (!download(image))
        return fail(Recovery::CleanUp);

    m_onStatus(QStringLiteral("Verifying…"));
    const ToolResult attached = runTool(tools.hdiutil, {QStringLiteral("attach"), image, QStringLiteral("-nobrowse"),
                                                        QStringLiteral("-readonly"), QStringLiteral("-noautoopen"),
                                                        QStringLiteral("-mountpoint"), m_mountPoint},
                                        limits.slowToolDeadline);
    // An attach cut off at its deadline may have mounted the image all the same.
    if (!attached.ok)
        return fail(attached.timedOut ? Recovery::DetachAndCleanUp : Recovery::CleanUp);

    const QString name = firstApplicationIn(m_mountPoint);
    if (name.isEmpty())
        return fail(Recovery::DetachAndCleanUp);
    const QString app = m_mountPoint + QLatin1Char('/') + name;

    if (!verifySignature(app, limits.toolDeadline))
        return fail(Recovery::DetachAndCleanUp);
    // A second test of the signer, by its read-out; only what it says counts
    // here, not its exit status.
    if (!signedByTeam(runTool(tools.codesign, {QStringLiteral("-dvv"), app}, limits.toolDeadline).output,
                      m_setup.expectedTeamID))
        return fail(Recovery::DetachAndCleanUp);
    if (bundleShortVersion(app) != m_expectedVersion)
        return fail(Recovery::DetachAndCleanUp);

    m_onStatus(QStringLiteral("Installing…"));
    const QString staged = m_workDir + QLatin1Char('/') + name;
    if (!runTool(tools.ditto, {app, staged}, limits.slowToolDeadline).ok)
        return fail(Recovery::DetachAndCleanUp);
    runTool(tools.xattr, {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), staged}, limits.toolDeadline);
    runTool(tools.hdiutil, {QStringLiteral("detach"), m_mountPoint}, limits.toolDeadline);

    if (!m_setup.bundlePath.endsWith(QLatin1String(".app")))
        return fail(Recovery::CleanUp);
    return install(staged);
}

// From the swap to the relaunch, the program does not quit (QuitGate), and
// whatever happens the old bundle ends up back in place unless the new one
// is verified and its relaunch started.
UpdatePipeline::Outcome UpdatePipeline::install(const QString& staged)
{
    const QString& bundle = m_setup.bundlePath;
    const QString backup = QFileInfo(bundle).absoluteDir().filePath(
        QStringLiteral(".Ravlet-old-") + QString::number(QDateTime::currentSecsSinceEpoch()) + QStringLiteral(".app"));
    if (!m_setup.quitGate->enterSwap())
        return fail(Recovery::CleanUp);

    BundleSwap swap(bundle, backup, m_setup.files);
    Outcome outcome = Outcome::Installed;
    switch (swap.swapIn(staged)) {
    case BundleSwap::Result::Swapped:
        if (!verifySignature(bundle, m_setup.limits.toolDeadline)) {
            outcome = undo(swap);
            break;
        }
        m_onStatus(QStringLiteral("Relaunching…"));
        if (!startRelaunch()) {
            outcome = undo(swap);
            break;
        }
        swap.commit();
        break;
    case BundleSwap::Result::Undone:
        outcome = Outcome::Failed;
        break;
    case BundleSwap::Result::Stranded:
        outcome = undo(swap);
        break;
    }
    m_setup.quitGate->leaveSwap();
    m_setup.onSwapEnded();

    if (outcome != Outcome::Installed)
        fail(Recovery::CleanUp);
    return outcome;
}

UpdatePipeline::Outcome UpdatePipeline::undo(BundleSwap& swap)
{
    if (swap.rollBack() == BundleSwap::Result::Undone)
        return Outcome::Failed;
    if (!QFileInfo::exists(swap.backup()))
        return Outcome::Failed;
    m_keptBackup = swap.backup();
    return Outcome::FailedBackupKept;
}

bool UpdatePipeline::verifySignature(const QString& app, std::chrono::milliseconds deadline)
{
    const QString requirement = developerIDRequirement(m_setup.expectedBundleID, m_setup.expectedTeamID);
    // "-R=text": a requirement given as text rather than as a file's path.
    return runTool(m_setup.tools.codesign,
                   {QStringLiteral("--verify"), QStringLiteral("--deep"), QStringLiteral("--strict"),
                    QStringLiteral("-R=") + requirement, app},
                   deadline)
        .ok;
}

bool UpdatePipeline::download(const QString& destination)
{
    const UpdateLimits& limits = m_setup.limits;
    QFile file(destination);
    if (!file.open(QIODevice::WriteOnly))
        return false;

    QNetworkAccessManager network;
    QNetworkRequest request(m_url);
    request.setTransferTimeout(int(limits.downloadIdleTimeout.count()));
    request.setSslConfiguration(m_setup.tls);
    // Redirects only to https.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = network.get(request);

    // The image goes to disk as it arrives; a write that fails (a full disk)
    // ends the download rather than leaving a cut-off image behind, and so
    // does an image larger than any release or a download that takes too long.
    bool written = true;
    bool withinLimits = true;
    qint64 received = 0;
    const auto refuse = [&] {
        withinLimits = false;
        reply->abort();
    };
    const auto save = [&] {
        const QByteArray chunk = reply->readAll();
        received += chunk.size();
        if (received > limits.maxImageBytes)
            refuse();
        else if (written && file.write(chunk) != chunk.size()) {
            written = false;
            reply->abort();
        }
    };
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limits.maxImageBytes)
            refuse();
    });
    QObject::connect(reply, &QIODevice::readyRead, &loop, save);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, refuse);
    deadline.start(limits.downloadDeadline);
    if (!reply->isFinished())
        loop.exec();
    if (withinLimits)
        save();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool ok = withinLimits && reply->error() == QNetworkReply::NoError && status.isValid()
        && status.toInt() >= 200 && status.toInt() <= 299 && reply->url().scheme() == QLatin1String("https");
    delete reply;
    return ok && written && file.flush();
}

bool UpdatePipeline::startRelaunch()
{
    // The new copy opens once this process has ended (or after a bound, if it
    // does not). The bundle path and the pid go to the shell as positional
    // parameters, never as part of the command text, so no character of
    // them is interpreted.
    const qint64 tenths = qint64(m_setup.limits.relaunchWait.count()) * 10;
    const QString command = QStringLiteral("i=0; while kill -0 \"$2\" 2>/dev/null && [ \"$i\" -lt ")
        + QString::number(tenths) + QStringLiteral(" ]; do sleep 0.1; i=$((i + 1)); done; exec ")
        + shellWord(m_setup.tools.open) + QStringLiteral(" \"$1\"");
    return QProcess::startDetached(m_setup.tools.shell, {QStringLiteral("-c"), command, QStringLiteral("sh"),
                                                         m_setup.bundlePath, QString::number(m_setup.processId)});
}
