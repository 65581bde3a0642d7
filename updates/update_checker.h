#pragma once

// UpdateChecker: asks the update hosts once shortly after it is created and
// then once a day whether a newer release exists, and publishes the answer.
// It never downloads a release and never shows anything; a check that finds
// no usable manifest changes nothing. Main thread only.

#include "update_manifest.h"
#include "version_compare.h"

#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QTimer>

#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

struct UpdateCheckerSetup {
    // Manifest locations, tried in order until one gives a usable manifest.
    QStringList updateURLs;
    QString currentVersion;
    // Which servers to trust; tests add their own certificate authority.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    // A host whose answer has not come whole this long after the request
    // is given up for the next one, however it trickles in.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(3);
};

class UpdateChecker : public QObject {
    Q_OBJECT
    // Each NOTIFY signal is emitted on every assignment, changed or not.
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)
    Q_PROPERTY(QString downloadURL READ downloadURL NOTIFY downloadURLChanged)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY releaseNotesChanged)
    // What a click on the update pill does, for its tooltip.
    Q_PROPERTY(QString pillToolTip READ pillToolTip CONSTANT)

public:
    static constexpr std::chrono::seconds kCheckInterval{86400};
    // Far more than any manifest; a longer answer is not one.
    static constexpr qsizetype kMaxManifestBytes = 64 * 1024;

    // The program's checker: the build's update hosts and version. Created on
    // first use, on the main thread, and kept until the program ends.
    static UpdateChecker& shared();

    // Starts the first check (without waiting for it) and the daily timer.
    explicit UpdateChecker(UpdateCheckerSetup setup, QObject* parent = nullptr);

    const QStringList& updateURLs() const { return m_updateURLs; }
    const QString& currentVersion() const { return m_currentVersion; }
    bool updateAvailable() const { return m_updateAvailable; }
    const QString& latestVersion() const { return m_latestVersion; }
    const QString& downloadURL() const { return m_downloadURL; }
    const QString& releaseNotes() const { return m_releaseNotes; }
    static QString pillToolTip();

    // Tries the manifest locations in order and stops at the first usable
    // manifest, newer or not. Returns at once; checkFinished() tells the end.
    Q_INVOKABLE void checkForUpdate();

    static bool isNewer(const QString& candidate, const QString& than) { return ::isNewer(candidate, than); }

    const QTimer& checkTimer() const { return m_checkTimer; }

signals:
    void updateAvailableChanged();
    void latestVersionChanged();
    void downloadURLChanged();
    void releaseNotesChanged();
    // Emitted at the end of every check, whether it found a manifest or not.
    void checkFinished();

private:
    void tryFrom(qsizetype index);
    std::optional<UpdateInfo> usableManifest(QNetworkReply& reply, const QByteArray& body) const;
    void publish(const UpdateInfo& info);

    template <typename T>
    void assign(T& field, T value, void (UpdateChecker::*changed)())
    {
        field = std::move(value);
        emit(this->*changed)();
    }

    const QStringList m_updateURLs;
    const QString m_currentVersion;
    bool m_updateAvailable = false;
    QString m_latestVersion;
    QString m_downloadURL;
    QString m_releaseNotes;
    QTimer m_checkTimer;

    const QSslConfiguration m_tls;
    const std::chrono::milliseconds m_requestTimeout;
    QNetworkAccessManager* m_network;
};
