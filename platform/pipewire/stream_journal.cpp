#include "stream_journal.h"

#include "runtime_folder.h"
#include "system_log.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stream_journal {

namespace {

constexpr int kClaimPollMs = 20;

// A regular file of this user's with no other name: one nobody else made,
// and whose writing reaches no other file.
bool isOurs(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

QString folderOf(const QString& path)
{
    return QFileInfo(path).path();
}

// The journal's folder, made private when it is missing; false when what is
// there is not private to us.
bool ensureFolder(const QString& path)
{
    const QString folder = folderOf(path);
    // One level only: the folder above is the runtime folder, checked already.
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return runtime_folder::isPrivate(folder);
}

QString lockPath(const QString& path)
{
    return path + QStringLiteral(".lock");
}

} // namespace

QString defaultPath()
{
    const std::optional<QString> folder = runtime_folder::find();
    return folder ? *folder + QStringLiteral("/ravlet/moved-streams.json") : QString();
}

std::optional<QByteArray> read(const QString& path)
{
    if (path.isEmpty())
        return std::nullopt;
    if (!runtime_folder::isPrivate(folderOf(path))) {
        if (QFileInfo::exists(folderOf(path)))
            systemLog(QStringLiteral("[ravlet] the stream journal's folder %1 is not private to this user; "
                                     "it is not read")
                          .arg(folderOf(path)));
        return std::nullopt;
    }
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            systemLog(QStringLiteral("[ravlet] the stream journal %1 cannot be read; it is not used").arg(path));
        return std::nullopt;
    }
    if (!isOurs(fd)) {
        ::close(fd);
        systemLog(QStringLiteral("[ravlet] %1 is not a stream journal of this user's; it is not used").arg(path));
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || bytes.size() + got > kMaxBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    return bytes;
}

bool write(const QString& path, const QByteArray& bytes)
{
    if (path.isEmpty() || !ensureFolder(path))
        return false;
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    // mkostemp creates the file anew (O_EXCL), 0600: nothing planted there
    // is opened.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    bool written = true;
    while (left > 0) {
        const ssize_t done = ::write(fd, data, size_t(left));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            written = false;
            break;
        }
        data += done;
        left -= done;
    }
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

int claim(const QString& path, int timeoutMs)
{
    if (path.isEmpty() || !ensureFolder(path))
        return -1;
    const int fd = ::open(QFile::encodeName(lockPath(path)).constData(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (!isOurs(fd)) {
        ::close(fd);
        return -1;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
            ::close(fd);
            return -1;
        }
        QThread::msleep(kClaimPollMs);
    }
    return fd;
}

bool holdsClaim(int fd, const QString& path)
{
    struct stat held {};
    struct stat named {};
    if (path.isEmpty() || ::fstat(fd, &held) != 0
        || ::lstat(QFile::encodeName(lockPath(path)).constData(), &named) != 0 || held.st_dev != named.st_dev
        || held.st_ino != named.st_ino || !isOurs(fd))
        return false;
    // Granted at once to the holder of the lock (the same open file), refused
    // to anyone else while it holds it.
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

} // namespace stream_journal
