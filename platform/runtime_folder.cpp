#include "runtime_folder.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace runtime_folder {

bool isPrivate(const QString& path)
{
    struct stat info {};
    // lstat: a symlink planted in a shared folder must not redirect us.
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

std::optional<QString> find(QString* why)
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivate(xdg))
        return xdg;
    const QString own = QDir::tempPath() + QStringLiteral("/ravlet-%1").arg(::geteuid());
    // mkdir fails on anything already there; what is there is checked below.
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    if (isPrivate(own))
        return own;
    if (why)
        *why = QStringLiteral("%1 is not a private folder of this user").arg(own);
    return std::nullopt;
}

} // namespace runtime_folder
