#include "file_operations.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool removeItem(const QString& path)
{
    struct stat item;
    if (::lstat(QFile::encodeName(path).constData(), &item) != 0)
        return errno == ENOENT;
    if (S_ISDIR(item.st_mode))
        return QDir(path).removeRecursively();
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}
