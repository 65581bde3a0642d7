#pragma once

// InAppUpdater: installs a newer release in place of the running program and
// restarts it. The popover starts it with the disk-image URL and the version
// the update checker found; a small panel shows the progress, and any failure
// ends in one alert that offers the download in the browser instead. At
// launch, cleanupLeftovers() removes the backups earlier updates left.
// Main thread only; the attempt itself runs on a worker thread.

#include "update_pipeline.h"
#include "update_presenter.h"

#include <QCoreApplication>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QThread;

struct UpdaterPlatform {
    UpdatePresenter& presenter;   // must outlive the updater
    UpdaterTools tools;
    QString bundlePath;           // the running application bundle
    QString temporaryDirectory;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    UpdateLimits limits = {};
    qint64 processId = QCoreApplication::applicationPid();   // what the relaunch waits for
    SwapFileOperations files = {};
    // Where a program the package manager updates sends the user instead.
    QUrl downloadPage = {};
};

class InAppUpdater : public QObject {
    Q_OBJECT
    // NOTIFY is emitted on every assignment, changed or not.
    Q_PROPERTY(bool isUpdating READ isUpdating NOTIFY isUpdatingChanged)

public:
    static inline const QString kExpectedTeamID = QStringLiteral("K4R7TQ2W9Z");
    static inline const QString kBundleID = QStringLiteral("io.morvik.ravlet");

    // The program's updater, with the real tools, bundle, temporary directory
    // and the Qt Widgets panel and alert. Defined in ravlet_updates_ui, which
    // owns those; created on first use, on the main thread, and never destroyed.
    static InAppUpdater& shared();

    explicit InAppUpdater(UpdaterPlatform platform, QObject* parent = nullptr);
    // Waits for an attempt still running.
    ~InAppUpdater() override;

    bool isUpdating() const { return m_isUpdating; }
    const QString& bundlePath() const { return m_platform.bundlePath; }

    // Starts an attempt and returns at once. Does nothing while one runs, or
    // when downloadURL is not an https address.
    Q_INVOKABLE void startUpdate(const QString& downloadURL, const QString& expectedVersion);

    // Where the package manager installs updates (Linux): opens the download
    // page at once and downloads nothing; says so in an alert when the page
    // cannot be opened.
    void openDownloadPage();

    // Undoes an update that was cut off while it swapped the bundle, then
    // removes the hidden backups (".Ravlet-old-….app") next to the bundle.
    Q_INVOKABLE void cleanupLeftovers();

    // Quits, by calling quit, at once, or once the bundle swap under way (or
    // its rollback) has finished, but not later than the bound.
    void quitWhenSafe(std::function<void()> quit = [] { QCoreApplication::quit(); });
    std::chrono::milliseconds quitWaitBound() const;

    // The alert shown when the browser could not be given url.
    static UpdateAlert pageNotOpenedAlert(const QUrl& url);

    // The alert a failed attempt ends with; it says where the old version
    // is when it could not be put back.
    static UpdateAlert failureAlert(const QString& keptBackup = {});

signals:
    void isUpdatingChanged();

private:
    void setIsUpdating(bool updating);
    void attemptEnded(UpdatePipeline::Outcome outcome, const UpdatePipeline& pipeline, const QUrl& url);
    void finishUpdate(bool ok, const QUrl& fallbackURL, const QString& keptBackup = {});
    void openPage(const QUrl& url);
    void runWaitingQuits(bool evenDuringASwap);

    UpdaterPlatform m_platform;
    bool m_isUpdating = false;
    QThread* m_worker = nullptr;
    const std::shared_ptr<QuitGate> m_quitGate = std::make_shared<QuitGate>();
    std::vector<std::function<void()>> m_waitingQuits;
    QTimer m_quitBound;
};

// What cleanupLeftovers() does for the bundle at bundlePath. The bundle
// itself is spared even when its name looks like a backup's, and every
// backup is while an interrupted swap cannot be undone. A bundlePath that is
// no ".app" bundle (the executable's folder, outside one) is left alone.
void removeUpdateBackups(const QString& bundlePath, const SwapFileOperations& files = {});
