#pragma once

// One mixer per user: the first start listens on a local socket in the
// user's runtime directory, later starts and the command line talk to it.
// The protocol is one JSON object per line each way, one request per
// connection: {"command": …} answered by {"ok": bool, "text": …} and, when
// something is amiss beside the answer, "warning".

#include <QJsonObject>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace instance {

inline constexpr qsizetype kMaxRequestBytes = 64 * 1024;
// A listing of many applications is longer than any request.
inline constexpr qsizetype kMaxAnswerBytes = 4 * 1024 * 1024;
inline constexpr int kTimeoutMs = 5000;
// Requests are answered at once, so a handful at a time is plenty; any more
// are closed as they come, and a crowd of clients cannot take the
// descriptors the mixer needs.
inline constexpr int kMaxConnections = 16;

// The socket's folder is runtime_folder::find()'s.
QString socketPath(const QString& directory);

// The answer to send back, built from a request; never throws.
using Handler = std::function<QJsonObject(const QJsonObject& request)>;

QJsonObject answer(bool ok, const QString& text);

// The answer to one request line as read from a client (at most
// kMaxRequestBytes and its line break): the handler's, or why the line was
// refused. The bytes are anyone's: any program of the user's may connect.
QJsonObject answerRequest(const QByteArray& line, const Handler& handler);

class Server : public QObject {
    Q_OBJECT
public:
    // Unreachable: another instance holds the folder but does not answer;
    // this start must not run a mixer of its own.
    enum class Claim { Listening, OtherRunning, Unreachable, Failed };

    explicit Server(Handler handler, QObject* parent = nullptr);
    ~Server() override;

    // Listens on directory's socket unless a running instance answers there.
    // A socket file nobody listens on (left by a crash) is replaced. The
    // instance that listens holds the folder's lock file for as long as it
    // lives, so no later start takes over while it runs, even when its
    // socket is gone. Main thread only.
    Claim claim(const QString& directory);
    QString errorString() const { return m_error; }

private:
    void serve(class QLocalSocket* socket);
    void listenAgainIfClosed();

    Handler m_handler;
    QLocalServer m_server;
    std::unique_ptr<QLockFile> m_lock;
    QString m_path;
    QTimer* m_watch = nullptr;
    QString m_error;
};

struct Reply {
    bool reached = false;   // false: nobody listens, or it did not answer in time
    bool ok = false;
    QString text;
    QString warning;        // for standard error, beside a text that scripts read
};

// Sends one request to the instance listening in directory and waits for its answer.
Reply ask(const QString& directory, const QJsonObject& request, int timeoutMs = kTimeoutMs);

} // namespace instance
