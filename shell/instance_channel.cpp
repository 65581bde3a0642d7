#include "instance_channel.h"

#include "system_log.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace instance {

namespace {

const char kSocketName[] = "ravlet.socket";
const int kRelistenMs = 1000;

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString socketPath(const QString& directory)
{
    return directory + QLatin1Char('/') + QLatin1String(kSocketName);
}

QJsonObject answer(bool ok, const QString& text)
{
    return {{QStringLiteral("ok"), ok}, {QStringLiteral("text"), text}};
}

QJsonObject answerRequest(const QByteArray& line, const Handler& handler)
{
    if (!line.endsWith('\n') || line.size() > kMaxRequestBytes + 1)
        return answer(false, QStringLiteral("request too long"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return answer(false, QStringLiteral("malformed request"));
    return handler(document.object());
}

Server::Server(Handler handler, QObject* parent)
    : QObject(parent)
    , m_handler(std::move(handler))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            const auto open = m_server.findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly);
            const auto served = std::count_if(open.begin(), open.end(), [socket](const QLocalSocket* other) {
                return other != socket && other->state() != QLocalSocket::UnconnectedState;
            });
            if (served >= kMaxConnections) {
                socket->abort();
                delete socket;
                continue;
            }
            serve(socket);
        }
    });
}

Server::~Server()
{
    // The sockets go before the lock, so no start finds the lock free while
    // this instance still answers.
    m_server.close();
}

Server::Claim Server::claim(const QString& directory)
{
    auto lock = std::make_unique<QLockFile>(directory + QStringLiteral("/ravlet.lock"));
    // Held for the instance's life: only a lock whose process has ended is stale.
    lock->setStaleLockTime(0);
    const QString path = socketPath(directory);
    if (!lock->tryLock(0)) {
        if (lock->error() != QLockFile::LockFailedError) {
            m_error = QStringLiteral("could not lock %1").arg(directory);
            return Claim::Failed;
        }
        // Another instance runs, or is a moment from listening.
        const QDeadlineTimer deadline(kTimeoutMs);
        do {
            QLocalSocket probe;
            probe.connectToServer(path);
            if (probe.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 1))))
                return Claim::OtherRunning;
            QThread::msleep(50);
        } while (!deadline.hasExpired());
        m_error = QStringLiteral("another Ravlet holds %1 and does not answer").arg(directory);
        return Claim::Unreachable;
    }
    QLocalSocket probe;
    probe.connectToServer(path);
    // A mixer of an earlier version, which let the lock go once it listened.
    if (probe.waitForConnected(kTimeoutMs))
        return Claim::OtherRunning;
    // Only a file that refuses connections is a leftover; one that is slow
    // to answer still has a mixer behind it.
    if (probe.error() == QLocalSocket::ConnectionRefusedError)
        QLocalServer::removeServer(path);
    else if (probe.error() != QLocalSocket::ServerNotFoundError) {
        m_error = probe.errorString();
        return Claim::Failed;
    }
    if (!m_server.listen(path)) {
        m_error = m_server.errorString();
        return Claim::Failed;
    }
    m_lock = std::move(lock);
    m_path = path;
    // Qt closes the server, and removes its socket file, when an accept
    // fails (no descriptor left, say) and says nothing; without a check the
    // command line and later starts would find no mixer.
    m_watch = new QTimer(this);
    m_watch->setTimerType(Qt::VeryCoarseTimer);
    m_watch->callOnTimeout(this, &Server::listenAgainIfClosed);
    m_watch->start(kRelistenMs);
    return Claim::Listening;
}

void Server::listenAgainIfClosed()
{
    if (m_server.isListening())
        return;
    const QString why = m_server.errorString();
    // The lock is ours, so whatever is at the path is a leftover of ours.
    QLocalServer::removeServer(m_path);
    if (m_server.listen(m_path))
        systemLog(QStringLiteral("[ravlet] listening again for other starts after: %1").arg(why));
}

void Server::serve(QLocalSocket* socket)
{
    // A client that never finishes its line is dropped, not waited for.
    QTimer::singleShot(kTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        const auto reply = [socket](const QJsonObject& object) {
            socket->setProperty("answered", true);
            socket->write(line(object));
            socket->disconnectFromServer();
        };
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kMaxRequestBytes)
                reply(answer(false, QStringLiteral("request too long")));
            return;
        }
        reply(answerRequest(socket->readLine(kMaxRequestBytes + 1), m_handler));
    });
}

Reply ask(const QString& directory, const QJsonObject& request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath(directory));
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(line(request));
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return {};
    QByteArray received;
    while (!received.contains('\n')) {
        if (received.size() > kMaxAnswerBytes)
            return {};
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(int(deadline.remainingTime())))
            return {};
        received += socket.readAll();
    }
    const QJsonObject object = QJsonDocument::fromJson(received.left(received.indexOf('\n'))).object();
    if (object.isEmpty())
        return {};
    return {true, object.value(QStringLiteral("ok")).toBool(), object.value(QStringLiteral("text")).toString(),
            object.value(QStringLiteral("warning")).toString()};
}

} // namespace instance
