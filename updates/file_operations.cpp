#include "file_operations.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Far deeper than any bundle; past it the removal gives up rather than hold
// a descriptor per level without end.
constexpr int kMaxDepth = 256;

// Empties the directory open at fd, which it closes.
bool removeContents(int fd, dev_t device, const QString& path, int depth, const RemovalWatch& watch)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    // Names first: removing while reading can make the listing skip entries.
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    const int at = ::dirfd(dir);
    bool removed = true;
    for (const std::string& name : names) {
        if (::unlinkat(at, name.c_str(), 0) == 0 || errno == ENOENT)
            continue;
        // Linux answers EISDIR for a directory, macOS EPERM.
        if ((errno != EISDIR && errno != EPERM) || depth >= kMaxDepth) {
            removed = false;
            continue;
        }
        const QString childPath = path + QLatin1Char('/') + QFile::decodeName(name.c_str());
        if (watch)
            watch(childPath);
        const int child = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            // No longer a directory: a link put in its place goes itself.
            if ((errno == ELOOP || errno == ENOTDIR) && ::unlinkat(at, name.c_str(), 0) == 0)
                continue;
            removed = false;
            continue;
        }
        struct stat info {};
        if (::fstat(child, &info) != 0 || info.st_dev != device) {
            ::close(child);
            removed = false;
            continue;
        }
        if (!removeContents(child, device, childPath, depth + 1, watch)
            || (::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT))
            removed = false;
    }
    ::closedir(dir);
    return removed;
}

} // namespace

bool moveItem(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // The file system cannot refuse atomically; check first instead.
#endif
    struct stat existing;
    if (::lstat(target.constData(), &existing) == 0 || errno != ENOENT)
        return false;
    return ::rename(source.constData(), target.constData()) == 0;
}

Exchange exchangeItems(const QString& first, const QString& second)
{
    const QByteArray a = QFile::encodeName(first);
    const QByteArray b = QFile::encodeName(second);
#if defined(RENAME_EXCHANGE)
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) == 0)
        return Exchange::Done;
    return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP ? Exchange::Unsupported : Exchange::Failed;
#elif defined(__APPLE__)
    if (::renamex_np(a.constData(), b.constData(), RENAME_SWAP) == 0)
        return Exchange::Done;
    return errno == ENOTSUP || errno == EINVAL ? Exchange::Unsupported : Exchange::Failed;
#else
    return Exchange::Unsupported;
#endif
}

bool removeItem(const QString& path, const RemovalWatch& watch)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat item {};
    if (::lstat(name.constData(), &item) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(item.st_mode))
        return ::unlink(name.constData()) == 0 || errno == ENOENT;

    const QFileInfo info(path);
    const QByteArray base = QFile::encodeName(info.fileName());
    const int parent = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return false;
    if (watch)
        watch(path);
    bool removed = false;
    const int fd = ::openat(parent, base.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        removed = (errno == ELOOP || errno == ENOTDIR) && ::unlinkat(parent, base.constData(), 0) == 0;
    } else {
        struct stat opened {};
        if (::fstat(fd, &opened) == 0) {
            removed = removeContents(fd, opened.st_dev, path, 0, watch)
                && (::unlinkat(parent, base.constData(), AT_REMOVEDIR) == 0 || errno == ENOENT);
        } else {
            ::close(fd);
        }
    }
    ::close(parent);
    return removed;
}
