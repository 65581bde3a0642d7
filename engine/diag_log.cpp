#include "diag_log.h"

#include <QByteArray>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
// Only a regular file of ours with no other name is ours to write.
bool isOurs(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

void writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= written;
    }
}

// The log names applications, their paths and pids, and devices: nothing
// for other users to read. A file of ours from an earlier run is closed to
// them too, before anything new goes into it.
constexpr mode_t kPrivate = 0600;

int openExisting(const QByteArray& path, int extraFlags)
{
    int fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | extraFlags);
    if (fd >= 0 && (!isOurs(fd) || ::fchmod(fd, kPrivate) != 0)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int createNew(const QByteArray& path)
{
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivate);
}

} // namespace

void DiagLog::restart(const QString& line) const
{
    const QByteArray path = m_path.toLocal8Bit();
    int fd = openExisting(path, 0);
    if (fd >= 0) {
        if (::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return;
        }
    } else if (errno == ENOENT) {
        fd = createNew(path);
    }
    if (fd < 0)
        return;
    writeAll(fd, (line + QLatin1Char('\n')).toUtf8());
    ::close(fd);
}

void DiagLog::append(const QString& line) const
{
    const QByteArray path = m_path.toLocal8Bit();
    int fd = openExisting(path, O_APPEND);
    if (fd < 0 && errno == ENOENT)
        fd = createNew(path);
    if (fd < 0)
        return;
    writeAll(fd, (line + QLatin1Char('\n')).toUtf8());
    ::close(fd);
}
