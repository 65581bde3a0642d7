#include "update_checker.h"

#include "build_settings.h"
#include "web_address.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

UpdateChecker& UpdateChecker::shared()
{
    // Never destroyed: the checker and its timer live as long as the program.
    static UpdateChecker* const instance = new UpdateChecker({defaultUpdateURLs(), programVersion()});
    return *instance;
}

UpdateChecker::UpdateChecker(UpdateCheckerSetup setup, QObject* parent)
    : QObject(parent)
    , m_updateURLs(std::move(setup.updateURLs))
    , m_currentVersion(std::move(setup.currentVersion))
    , m_tls(std::move(setup.tls))
    , m_requestTimeout(setup.requestTimeout)
    , m_network(new QNetworkAccessManager(this))
{
    QMetaObject::invokeMethod(this, &UpdateChecker::checkForUpdate, Qt::QueuedConnection);

    // The timer is the checker's own child, so it cannot outlive it; queued,
    // so that each firing starts its check as a task of its own.
    m_checkTimer.setInterval(kCheckInterval);
    connect(&m_checkTimer, &QTimer::timeout, this, &UpdateChecker::checkForUpdate, Qt::QueuedConnection);
    m_checkTimer.start();
}

void UpdateChecker::checkForUpdate()
{
    tryFrom(0);
}

// Each check walks the list on its own, so overlapping checks do not disturb
// each other; the one that ends last decides.
void UpdateChecker::tryFrom(qsizetype index)
{
    for (; index < m_updateURLs.size(); ++index) {
        const QUrl url(m_updateURLs[index], QUrl::StrictMode);
        // Anything but a web address could not give an HTTP answer.
        if (!isWebAddress(url))
            continue;

        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setTransferTimeout(int(m_requestTimeout.count()));
        request.setSslConfiguration(m_tls);
        QNetworkReply* reply = m_network->get(request);
        // The transfer timeout above only notices a silent host; a body that
        // drips or grows without end is cut off too.
        auto* deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
        deadline->start(m_requestTimeout);
        const auto body = std::make_shared<QByteArray>();
        connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && length.toLongLong() > kMaxManifestBytes)
                reply->abort();
        });
        connect(reply, &QIODevice::readyRead, reply, [reply, body] {
            body->append(reply->read(kMaxManifestBytes + 1 - body->size()));
            if (body->size() > kMaxManifestBytes)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply, index, body] {
            reply->deleteLater();
            body->append(reply->read(kMaxManifestBytes + 1 - body->size()));
            if (const auto info = usableManifest(*reply, *body)) {
                publish(*info);
                emit checkFinished();
            } else {
                tryFrom(index + 1);
            }
        });
        return;
    }
    emit checkFinished();
}

QString UpdateChecker::pillToolTip()
{
#if defined(__APPLE__)
    return QStringLiteral("Update available — install");
#else
    return QStringLiteral("Update available — your package manager installs it; opens the download page");
#endif
}

std::optional<UpdateInfo> UpdateChecker::usableManifest(QNetworkReply& reply, const QByteArray& body) const
{
    if (reply.error() != QNetworkReply::NoError || body.size() > kMaxManifestBytes)
        return std::nullopt;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() < 200 || status.toInt() > 299)
        return std::nullopt;
    // A release that could never be fetched is offered nowhere: no pill
    // that does nothing when clicked.
    std::optional<UpdateInfo> info = decodeUpdateInfo(body);
    if (info && !isHttpsAddress(QUrl(info->url, QUrl::StrictMode)))
        return std::nullopt;
    return info;
}

void UpdateChecker::publish(const UpdateInfo& info)
{
    if (isNewer(info.version, m_currentVersion)) {
        // updateAvailable last: whoever reacts to it finds the strings filled.
        assign(m_latestVersion, info.version, &UpdateChecker::latestVersionChanged);
        assign(m_downloadURL, info.url, &UpdateChecker::downloadURLChanged);
        assign(m_releaseNotes, info.notes.value_or(QString()), &UpdateChecker::releaseNotesChanged);
        assign(m_updateAvailable, true, &UpdateChecker::updateAvailableChanged);
    } else {
        assign(m_updateAvailable, false, &UpdateChecker::updateAvailableChanged);
    }
}
