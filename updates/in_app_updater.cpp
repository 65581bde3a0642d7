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
}

InAppUpdater::~InAppUpdater()
{
    // The worker posts its status lines to this object; it must end first.
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
}

UpdateAlert InAppUpdater::failureAlert()
{
    return {QStringLiteral("Ravlet Update"),
            QStringLiteral("The automatic update could not be installed. You can download it from the website instead."),
            {QStringLiteral("Download"), QStringLiteral("Later")}};
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

    const auto pipeline = std::make_shared<UpdatePipeline>(
        UpdatePipelineSetup{m_platform.tools, m_platform.bundlePath, m_platform.temporaryDirectory, kExpectedTeamID,
                            kBundleID, m_platform.tls, m_platform.limits},
        url, expectedVersion, [this](const QString& status) {
            QMetaObject::invokeMethod(this, [this, status] { m_platform.presenter.setStatus(status); },
                                      Qt::QueuedConnection);
        });
    const auto outcome = std::make_shared<UpdatePipeline::Outcome>(UpdatePipeline::Outcome::Failed);

    m_worker = QThread::create([pipeline, outcome] { *outcome = pipeline->run(); });
    // Queued after the worker's status lines, so the panel has shown them all.
    connect(m_worker, &QThread::finished, this, [this, pipeline, outcome, url] {
        m_worker->deleteLater();
        m_worker = nullptr;
        attemptEnded(*outcome, pipeline->workDirectory(), url);
    });
    m_worker->start();
}

void InAppUpdater::attemptEnded(UpdatePipeline::Outcome outcome, const QString& workDirectory, const QUrl& url)
{
    if (outcome == UpdatePipeline::Outcome::Failed) {
        finishUpdate(false, url);
        return;
    }
    if (m_platform.presenter.requestTermination())
        return;   // the program is on its way out; the relaunch brings the new one
    // Quitting was turned down: the new version is installed all the same.
    removeItem(workDirectory);
    finishUpdate(true, url);
}

void InAppUpdater::finishUpdate(bool ok, const QUrl& fallbackURL)
{
    m_platform.presenter.closePanel();
    setIsUpdating(false);
    if (!ok && m_platform.presenter.runAlert(failureAlert()))
        m_platform.presenter.openUrl(fallbackURL);
}

void InAppUpdater::cleanupLeftovers()
{
    removeUpdateBackups(m_platform.bundlePath);
}

void removeUpdateBackups(const QString& bundlePath)
{
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
