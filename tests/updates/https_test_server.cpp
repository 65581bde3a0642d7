#include "https_test_server.h"

#include "support/tied_to_test.h"

#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace {

struct TestCertificate {
    QSslCertificate certificate;
    QSslKey key;
};

const TestCertificate& testCertificate()
{
    static const TestCertificate made = [] {
        QTemporaryDir dir;
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        tieToTest(openssl);
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                       "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            qFatal("openssl could not make the test certificate: %s", openssl.readAll().constData());
        QFile cert(dir.filePath("cert.pem"));
        QFile key(dir.filePath("key.pem"));
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            qFatal("the test certificate is missing");
        return TestCertificate{QSslCertificate(&cert, QSsl::Pem), QSslKey(&key, QSsl::Ec, QSsl::Pem)};
    }();
    return made;
}

}

#if defined(__SANITIZE_ADDRESS__)
// OpenSSL keeps random-number contexts per thread and frees them when the
// thread ends. Qt's network threads report themselves finished a moment
// before they end, so the leak check at exit can catch those contexts still
// allocated. Nothing here allocates through OpenSSL directly.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libcrypto.so\n";
}
#endif

QSslConfiguration trustingTestCertificate()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates({testCertificate().certificate});
    return tls;
}

HttpsTestServer::HttpsTestServer()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(testCertificate().certificate);
    tls.setPrivateKey(testCertificate().key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(tls);
    QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
        while (auto* socket = qobject_cast<QSslSocket*>(m_server.nextPendingConnection())) {
            socket->setParent(&m_server);
            QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket] { answer(socket); });
            answer(socket);
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost))
        qFatal("the test server cannot listen");
}

QString HttpsTestServer::url(const QString& path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
}

void HttpsTestServer::answer(QSslSocket* socket)
{
    // One request per connection; answer once the header is complete.
    if (socket->property("answered").toBool())
        return;
    QByteArray head = socket->peek(64 * 1024);
    if (!head.contains("\r\n\r\n"))
        return;
    socket->setProperty("answered", true);

    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() > 1 ? QString::fromUtf8(requestLine[1]) : QString();
    m_requests.append(path);
    const Reply reply = m_routes.value(path, Reply{404, "not found"});
    if (reply.silent)
        return;

    socket->write("HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\nContent-Type: application/octet-stream\r\n"
                  + (reply.sendLength ? "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n" : QByteArray())
                  + "Connection: close\r\n\r\n");
    if (reply.drip.count() == 0) {
        socket->write(reply.body);
        socket->disconnectFromHost();
        return;
    }
    // Ten slices, one per tick.
    auto* timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    timer->setInterval(reply.drip / 10);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, body = reply.body] {
        const qsizetype slice = body.size() / 10 + 1;
        socket->write(body.mid(*sent, slice));
        *sent += slice;
        if (*sent >= body.size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start();
}
