#pragma once

// An HTTPS server on 127.0.0.1 for the update tests. Its certificate is made
// once per test process with the openssl tool and trusted only by clients
// given trustingTestCertificate().

#include <QHash>
#include <QSslConfiguration>
#include <QSslServer>
#include <QStringList>

#include <chrono>

QSslConfiguration trustingTestCertificate();

class HttpsTestServer {
public:
    struct Reply {
        int status = 200;
        QByteArray body;
        bool silent = false;                  // accept, read the request, never answer
        std::chrono::milliseconds drip{0};    // spread the body over this long
        bool sendLength = true;               // without it, the body ends when the connection does
    };

    HttpsTestServer();

    void serve(const QString& path, Reply reply) { m_routes.insert(path, std::move(reply)); }
    QString url(const QString& path) const;
    // The paths asked for, in order.
    const QStringList& requests() const { return m_requests; }

private:
    void answer(QSslSocket* socket);

    QSslServer m_server;
    QHash<QString, Reply> m_routes;   // other paths: 404
    QStringList m_requests;
};
