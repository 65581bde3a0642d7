#include "bundle_swap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

const QString kBundleKey = QStringLiteral("bundle");
const QString kBackupKey = QStringLiteral("backup");
const QString kDeviceKey = QStringLiteral("device");
const QString kInodeKey = QStringLiteral("inode");

}

BundleSwap::BundleSwap(QString bundle, QString backup, SwapFileOperations files)
    : m_bundle(std::move(bundle))
    , m_backup(std::move(backup))
    , m_files(std::move(files))
{
}

QString BundleSwap::journalPath(const QString& bundle)
{
    const QFileInfo info(bundle);
    return info.absoluteDir().filePath(QLatin1Char('.') + info.fileName() + QStringLiteral(".swap"));
}

std::optional<BundleSwap::Identity> BundleSwap::identityOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return Identity{info.st_dev, info.st_ino};
}

bool BundleSwap::writeJournal() const
{
    const QJsonObject journal{
        {kBundleKey, m_bundle},
        {kBackupKey, m_backup},
        {kDeviceKey, QString::number(quint64(m_new.device))},
        {kInodeKey, QString::number(quint64(m_new.inode))},
    };
    // Written whole and synced before it replaces anything, or not at all.
    QSaveFile file(journalPath(m_bundle));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(journal).toJson()) >= 0 && file.commit();
}

BundleSwap::Result BundleSwap::swapIn(const QString& staged)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(staged).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Result::Undone;
    m_new = {info.st_dev, info.st_ino};
    if (!writeJournal())
        return Result::Undone;

    // The new copy first goes beside the bundle, under the backup's name,
    // then the two change places.
    if (!m_files.move(staged, m_backup))
        return settle();
    switch (m_files.exchange(m_backup, m_bundle)) {
    case Exchange::Done:
        return Result::Swapped;
    case Exchange::Failed:
        return settle();
    case Exchange::Unsupported:
        break;
    }
    // Two renames instead; between them the bundle's path stands empty.
    if (!m_files.move(m_backup, staged) || !m_files.move(m_bundle, m_backup))
        return settle();
    if (m_files.move(staged, m_bundle))
        return Result::Swapped;
    return settle();
}

BundleSwap::Result BundleSwap::rollBack()
{
    return settle();
}

void BundleSwap::commit()
{
    // A journal that cannot go makes the next launch undo the update:
    // safe, only later than need be.
    QFile::remove(journalPath(m_bundle));
}

BundleSwap::Result BundleSwap::settle()
{
    const std::optional<Identity> atBundle = identityOf(m_bundle);
    const std::optional<Identity> atBackup = identityOf(m_backup);
    if (atBundle == m_new && !atBackup) {
        // The old bundle is gone from where it was kept: nothing is left to
        // put back, or to keep.
        QFile::remove(journalPath(m_bundle));
        return Result::Stranded;
    }
    bool oldInPlace = false;
    if (atBundle == m_new) {
        switch (m_files.exchange(m_backup, m_bundle)) {
        case Exchange::Done:
            oldInPlace = true;
            break;
        case Exchange::Unsupported:
            oldInPlace = m_files.remove(m_bundle) && m_files.move(m_backup, m_bundle);
            break;
        case Exchange::Failed:
            break;
        }
    } else if (!atBundle) {
        oldInPlace = atBackup && *atBackup != m_new && m_files.move(m_backup, m_bundle);
    } else {
        oldInPlace = true;
    }
    if (!oldInPlace)
        return Result::Stranded;
    // The new copy, if it is still there under the backup's name, is of no
    // use; should it not go, the next cleanup takes it as a backup.
    if (identityOf(m_backup) == m_new)
        m_files.remove(m_backup);
    QFile::remove(journalPath(m_bundle));
    return Result::Undone;
}

bool BundleSwap::recoverInterrupted(const QString& bundle, const SwapFileOperations& files)
{
    QFile file(journalPath(bundle));
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject journal = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    bool deviceOk = false, inodeOk = false;
    BundleSwap swap(journal.value(kBundleKey).toString(), journal.value(kBackupKey).toString(), files);
    swap.m_new = {dev_t(journal.value(kDeviceKey).toString().toULongLong(&deviceOk)),
                  ino_t(journal.value(kInodeKey).toString().toULongLong(&inodeOk))};
    // Only a journal that makes sense for this bundle is acted on.
    const QFileInfo backup(swap.m_backup);
    if (!deviceOk || !inodeOk || swap.m_bundle != bundle || backup.absolutePath() != QFileInfo(bundle).absolutePath()
        || !backup.fileName().startsWith(QLatin1String(".Ravlet-old-")))
        return false;
    swap.settle();
    return !QFile::exists(journalPath(bundle));
}
