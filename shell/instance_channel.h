#pragma once

// One mixer per user: the first start listens on a local socket in the
// user's runtime directory, later starts and the command line talk to it.
// The protocol is one JSON object per line each way, one request per
// connection: {"command": …} answered by {"ok": bool, "text": …}.

#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace instance {

inline constexpr qsizetype kMaxRequestBytes = 64 * 1024;
// A listing of many applications is longer than any request.
inline constexpr qsizetype kMaxAnswerBytes = 4 * 1024 * 1024;
inline constexpr int kTimeoutMs = 5000;

// $XDG_RUNTIME_DIR when it is a directory of the user's own that only the
// user can enter; otherwise a private folder of the user's in the temporary
// directory, created 0700. Nothing when neither is safe; why says what.
std::optional<QString> runtimeDirectory(QString* why = nullptr);
// Whether path is a real directory (no symlink) of this user with mode 0700 or stricter.
bool isPrivateDirectory(const QString& path);

QString socketPath(const QString& directory);

// The answer to send back, built from a request; never throws.
using Handler = std::function<QJsonObject(const QJsonObject& request)>;

QJsonObject answer(bool ok, const QString& text);

class Server : public QObject {
    Q_OBJECT
public:
    enum class Claim { Listening, OtherRunning, Failed };

    explicit Server(Handler handler, QObject* parent = nullptr);

    // Listens on directory's socket unless a running instance answers there.
    // A socket file nobody listens on (left by a crash) is replaced. Starts
    // racing for the same directory are serialised by a lock file, so that
    // two never both replace the file and listen.
    Claim claim(const QString& directory);
    QString errorString() const { return m_error; }

private:
    void serve(class QLocalSocket* socket);

    Handler m_handler;
    QLocalServer m_server;
    QString m_error;
};

struct Reply {
    bool reached = false;   // false: nobody listens, or it did not answer in time
    bool ok = false;
    QString text;
};

// Sends one request to the instance listening in directory and waits for its answer.
Reply ask(const QString& directory, const QJsonObject& request, int timeoutMs = kTimeoutMs);

} // namespace instance
