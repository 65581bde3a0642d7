#include "proc_files.h"

#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kArgumentsLimit = 64 * 1024;
constexpr qsizetype kCgroupLimit = 16 * 1024;
constexpr qsizetype kFlatpakInfoLimit = 64 * 1024;

QByteArray trimmedLine(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line.trimmed();
}

} // namespace

std::optional<QByteArray> readSmallFile(const QByteArray& path, qsizetype limit)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    // Files under /proc report a size of 0: read until the end, up to limit.
    QByteArray bytes(limit, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < limit) {
        const ssize_t got = ::read(fd, bytes.data() + filled, std::size_t(limit - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        filled += got;
    }
    ::close(fd);
    bytes.truncate(filled);
    return bytes;
}

ProcFiles::ProcFiles(QByteArray root)
    : m_root(std::move(root))
{
}

QByteArray ProcFiles::path(ProcessInspector::Pid pid, const char* file) const
{
    QByteArray result;
    result.reserve(m_root.size() + 32 + qsizetype(std::strlen(file)));
    return result.append(m_root).append('/').append(QByteArray::number(pid)).append('/').append(file);
}

// Asked of every audio process on every refresh: one read into the stack,
// parsed in place.
std::optional<ProcStat> ProcFiles::stat(ProcessInspector::Pid pid) const
{
    if (pid <= 0)
        return std::nullopt;
    const int fd = ::open(path(pid, "stat").constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    char text[1024];
    ssize_t length = 0;
    do
        length = ::read(fd, text, sizeof text - 1);
    while (length < 0 && errno == EINTR);
    ::close(fd);
    if (length <= 0)
        return std::nullopt;
    text[length] = '\0';

    // "pid (comm) state ppid …": comm may hold spaces and parentheses of its
    // own, so it ends at the last ")".
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    if (!open || !close || close < open || close[1] != ' ')
        return std::nullopt;
    // After ") ": the state (field 3), the parent (4), … the start time (22).
    const char* field = close + 2;
    ProcStat result;
    for (int number = 3; number <= 22; ++number) {
        if (number == 4 || number == 22) {
            char* end = nullptr;
            errno = 0;
            const unsigned long long value = std::strtoull(field, &end, 10);
            if (end == field || errno != 0 || (*end != ' ' && *end != '\n' && *end != '\0'))
                return std::nullopt;
            if (number == 4) {
                if (value > unsigned(std::numeric_limits<ProcessInspector::Pid>::max()))
                    return std::nullopt;
                result.parent = ProcessInspector::Pid(value);
            } else {
                result.startTime = value;
            }
        }
        if (number == 22)
            break;
        field = std::strchr(field, ' ');
        if (!field)
            return std::nullopt;
        ++field;
    }
    result.comm = QByteArray(open + 1, close - open - 1);
    return result;
}

QString ProcFiles::executable(ProcessInspector::Pid pid) const
{
    if (pid <= 0)
        return {};
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(path(pid, "exe").constData(), buffer, sizeof buffer);
    if (length <= 0 || std::size_t(length) >= sizeof buffer)
        return {};
    QString target = QString::fromUtf8(buffer, length);
    // The program was replaced on disk while it ran (an update): still the same program.
    static const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QStringList ProcFiles::arguments(ProcessInspector::Pid pid) const
{
    if (pid <= 0)
        return {};
    const std::optional<QByteArray> bytes = readSmallFile(path(pid, "cmdline"), kArgumentsLimit);
    if (!bytes || bytes->isEmpty())
        return {};
    QStringList result;
    for (const QByteArray& argument : bytes->split('\0'))
        result.append(QString::fromUtf8(argument));
    // NUL-terminated: the split leaves one empty word at the end.
    if (bytes->endsWith('\0'))
        result.removeLast();
    return result;
}

std::optional<uid_t> ProcFiles::owner(ProcessInspector::Pid pid) const
{
    struct stat info {};
    if (pid <= 0 || ::stat((m_root + '/' + QByteArray::number(pid)).constData(), &info) != 0)
        return std::nullopt;
    return info.st_uid;
}

QString ProcFiles::cgroup(ProcessInspector::Pid pid) const
{
    if (pid <= 0)
        return {};
    const std::optional<QByteArray> text = readSmallFile(path(pid, "cgroup"), kCgroupLimit);
    if (!text)
        return {};
    QByteArray legacy;
    for (const QByteArray& line : text->split('\n')) {
        if (line.startsWith("0::"))
            return QString::fromUtf8(trimmedLine(line.mid(3)));
        const qsizetype named = line.indexOf(":name=systemd:");
        if (named > 0 && legacy.isEmpty())
            legacy = trimmedLine(line.mid(named + 14));
    }
    return QString::fromUtf8(legacy);
}

QString ProcFiles::flatpakApplication(ProcessInspector::Pid pid) const
{
    if (pid <= 0)
        return {};
    const std::optional<QByteArray> text = readSmallFile(path(pid, "root/.flatpak-info"), kFlatpakInfoLimit);
    if (!text)
        return {};
    bool inApplication = false;
    for (const QByteArray& raw : text->split('\n')) {
        const QByteArray line = trimmedLine(raw);
        if (line.startsWith('[')) {
            inApplication = line == "[Application]";
            continue;
        }
        if (inApplication && line.startsWith("name=")) {
            const QByteArray name = line.mid(5).trimmed();
            return QString::fromUtf8(name);
        }
    }
    return {};
}
