#include "instance_channel.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

namespace instance {

namespace {

const char kSocketName[] = "ravlet.socket";

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
        while (QLocalSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

Server::Claim Server::claim(const QString& directory)
{
    QLockFile lock(directory + QStringLiteral("/ravlet.lock"));
    if (!lock.tryLock(kTimeoutMs)) {
        m_error = QStringLiteral("could not lock %1").arg(directory);
        return Claim::Failed;
    }
    const QString path = socketPath(directory);
    QLocalSocket probe;
    probe.connectToServer(path);
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
    return Claim::Listening;
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
