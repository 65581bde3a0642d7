#include "in_app_updater.h"

#include "file_operations.h"
#include "web_address.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <memory>

InAppUpdater::InAppUpdater(UpdaterPlatform platform, QObject* parent)
    : QObject(parent)
    , m_platform(std::move(platform))
{
    m_quitBound.setSingleShot(true);
    m_quitBound.callOnTimeout(this, [this] { runWaitingQuits(true); });
}

InAppUpdater::~InAppUpdater()
{
    // The worker posts its status lines to this object; it must end first.
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
}

UpdateAlert InAppUpdater::failureAlert(const QString& keptBackup)
{
    const QString informative = keptBackup.isEmpty()
        ? QStringLiteral("The automatic update could not be installed. You can download it from the website instead.")
        : QStringLiteral("The automatic update could not be installed, and the version you had could not be put "
                         "back in its place: it is kept at ")
            + keptBackup + QStringLiteral(". You can download the update from the website instead.");
    return {QStringLiteral("Ravlet Update"), informative, {QStringLiteral("Download"), QStringLiteral("Later")}};
}

UpdateAlert InAppUpdater::pageNotOpenedAlert(const QUrl& url)
{
    return {QStringLiteral("Ravlet Update"),
            QStringLiteral("The page could not be opened: no web browser was found (on Linux, xdg-open from the "
                           "xdg-utils package opens it). The address is ")
                + url.toString() + QLatin1Char('.'),
            {QStringLiteral("OK")}};
}

void InAppUpdater::openPage(const QUrl& url)
{
    if (!m_platform.presenter.openUrl(url))
        m_platform.presenter.runAlert(pageNotOpenedAlert(url));
}

void InAppUpdater::openDownloadPage()
{
    // A page of our own host only; nothing the manifest says is opened here.
    if (isHttpsAddress(m_platform.downloadPage))
        openPage(m_platform.downloadPage);
}

void InAppUpdater::setIsUpdating(bool updating)
{
    m_isUpdating = updating;
    emit isUpdatingChanged();
}

void InAppUpdater::startUpdate(const QString& downloadURL, const QString& expectedVersion)
{
    if (m_isUpdating)
        return;
    // The URL comes from the network; the image is fetched over https only,
    // and if the attempt fails the URL goes to the desktop to open, where
    // anything but a web address could read files or start programs.
    const QUrl url(downloadURL, QUrl::StrictMode);
    if (!isHttpsAddress(url))
        return;

    setIsUpdating(true);
    m_platform.presenter.showPanel(QStringLiteral("Downloading update…"));

    UpdatePipelineSetup setup{m_platform.tools, m_platform.bundlePath, m_platform.temporaryDirectory, kExpectedTeamID,
                              kBundleID, m_platform.tls, m_platform.limits, m_platform.processId,
                              m_platform.files, m_quitGate};
    setup.onSwapEnded = [this] {
        QMetaObject::invokeMethod(this, [this] { runWaitingQuits(false); }, Qt::QueuedConnection);
    };
    const auto pipeline = std::make_shared<UpdatePipeline>(
        std::move(setup), url, expectedVersion, [this](const QString& status) {
            QMetaObject::invokeMethod(this, [this, status] { m_platform.presenter.setStatus(status); },
                                      Qt::QueuedConnection);
        });
    const auto outcome = std::make_shared<UpdatePipeline::Outcome>(UpdatePipeline::Outcome::Failed);

    m_worker = QThread::create([pipeline, outcome] { *outcome = pipeline->run(); });
    // Queued after the worker's status lines, so the panel has shown them all.
    connect(m_worker, &QThread::finished, this, [this, pipeline, outcome, url] {
        m_worker->deleteLater();
        m_worker = nullptr;
        attemptEnded(*outcome, *pipeline, url);
    });
    m_worker->start();
}

void InAppUpdater::attemptEnded(UpdatePipeline::Outcome outcome, const UpdatePipeline& pipeline, const QUrl& url)
{
    switch (outcome) {
    case UpdatePipeline::Outcome::Failed:
        finishUpdate(false, url);
        return;
    case UpdatePipeline::Outcome::FailedBackupKept:
        finishUpdate(false, url, pipeline.keptBackup());
        return;
    case UpdatePipeline::Outcome::Installed:
        break;
    }
    if (m_platform.presenter.requestTermination())
        return;   // the program is on its way out; the relaunch brings the new one
    // Quitting was turned down: the new version is installed all the same.
    removeItem(pipeline.workDirectory());
    finishUpdate(true, url);
}

void InAppUpdater::finishUpdate(bool ok, const QUrl& fallbackURL, const QString& keptBackup)
{
    m_platform.presenter.closePanel();
    setIsUpdating(false);
    if (!ok && m_platform.presenter.runAlert(failureAlert(keptBackup)))
        openPage(fallbackURL);
}

std::chrono::milliseconds InAppUpdater::quitWaitBound() const
{
    // The swap's longest step is the verification of the installed copy.
    return m_platform.limits.toolDeadline + std::chrono::seconds(15);
}

void InAppUpdater::quitWhenSafe(std::function<void()> quit)
{
    if (m_quitGate->beginQuit()) {
        quit();
        return;
    }
    m_waitingQuits.push_back(std::move(quit));
    if (!m_quitBound.isActive())
        m_quitBound.start(quitWaitBound());
}

// Past the bound the program quits mid-swap; the next launch undoes it.
void InAppUpdater::runWaitingQuits(bool evenDuringASwap)
{
    if (m_waitingQuits.empty())
        return;
    if (evenDuringASwap)
        m_quitGate->forceQuit();
    else if (!m_quitGate->beginQuit())
        return;
    m_quitBound.stop();
    for (const auto& quit : std::exchange(m_waitingQuits, {}))
        quit();
}

void InAppUpdater::cleanupLeftovers()
{
    removeUpdateBackups(m_platform.bundlePath, m_platform.files);
}

void removeUpdateBackups(const QString& bundlePath, const SwapFileOperations& files)
{
    // Outside an application bundle (a program in /usr/bin on Linux) there
    // are no backups of ours, and the folder above is everybody's.
    if (!bundlePath.endsWith(QLatin1String(".app")))
        return;
    // One of the backups may be the only copy of the application left.
    if (!BundleSwap::recoverInterrupted(bundlePath, files))
        return;
    const QFileInfo bundle(bundlePath);
    const QDir folder = bundle.absoluteDir();
    if (!folder.exists())
        return;
    // Listed first, removed after: removing while the directory is being read
    // could skip entries.
    const QStringList names = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        // A backup the user launched is the running program: keep it.
        if (name.startsWith(QLatin1String(".Ravlet-old-")) && name.endsWith(QLatin1String(".app"))
            && name != bundle.fileName())
            removeItem(folder.filePath(name));
    }
}
