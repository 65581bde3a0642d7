#include "icon_theme.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

namespace popover {

bool isRegularFile(const QString& path)
{
    struct stat info {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

QByteArray readRegularFile(const QString& path, qint64 maxBytes)
{
    // Checked before opening, so that no device is ever opened, and again on
    // the open file, in case the path was swapped for something else between.
    if (!isRegularFile(path))
        return {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat info {};
    QFile file;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxBytes
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    // Only what fstat promised: a file still being written is not read.
    QByteArray contents = file.read(qint64(info.st_size) + 1);
    return contents.size() > info.st_size ? QByteArray() : contents;
}

} // namespace popover

namespace {

using popover::isRegularFile;

constexpr auto kHicolor = "hicolor";
// Enough for any real index.theme, which is a few kilobytes.
constexpr qint64 kMaxIndexBytes = 1024 * 1024;
// No real inheritance goes deeper; a pathological chain stops here.
constexpr qsizetype kMaxThemes = 64;
// Sizes are pixels on a screen; anything larger is clamped to this.
constexpr int kMaxSize = 4096;
constexpr qsizetype kMaxRemembered = 4096;
const char* const kExtensions[] = {".png", ".svg", ".xpm"};

enum class DirType { Fixed, Scalable, Threshold };

struct Subdir {
    QString path;
    DirType type = DirType::Threshold;
    int size = 0;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    int scale = 1;
};

// A theme directory's icon-theme.cache, the index GTK's tools write of every
// icon name in it: a name it lacks needs no look at the disk, where without it
// every directory of the theme is asked for three file names. Read where it
// lies (mapped, so that only the pages a lookup touches are read), checked at
// every step, since anyone who can write the theme can write it.
class IconCache {
public:
    enum class Answer { Absent, Present, Unknown };

    // Null when there is none, it is older than one of the directories or
    // not of the one version there is.
    static std::shared_ptr<const IconCache> open(const QString& root, const QList<Subdir>& subdirs);

    Answer lookup(const QByteArray& name) const;

private:
    std::optional<quint32> word(quint64 at) const
    {
        if (at + 4 > quint64(m_size))
            return std::nullopt;
        return quint32(m_data[at]) << 24 | quint32(m_data[at + 1]) << 16 | quint32(m_data[at + 2]) << 8 | m_data[at + 3];
    }

    std::unique_ptr<QFile> m_file;
    const uchar* m_data = nullptr;
    qint64 m_size = 0;
};

// Larger than any theme's (a theme of 100,000 icons has one of 10 MB).
constexpr qint64 kMaxCacheBytes = 64 * 1024 * 1024;
constexpr quint32 kNoIcon = 0xffffffff;

std::shared_ptr<const IconCache> IconCache::open(const QString& root, const QList<Subdir>& subdirs)
{
    const QString path = root + QStringLiteral("/icon-theme.cache");
    struct stat cache {};
    if (::stat(QFile::encodeName(path).constData(), &cache) != 0 || !S_ISREG(cache.st_mode)
        || cache.st_size < 12 || cache.st_size > kMaxCacheBytes)
        return nullptr;
    const auto modified = [](const struct stat& info) {
#if defined(__APPLE__)
        return std::pair(info.st_mtimespec.tv_sec, info.st_mtimespec.tv_nsec);
#else
        return std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
#endif
    };
    // A directory changed since the cache was written holds icons it does
    // not know of.
    const auto newer = [&](const QString& dir) {
        struct stat info {};
        return ::stat(QFile::encodeName(dir).constData(), &info) == 0 && modified(info) > modified(cache);
    };
    if (newer(root))
        return nullptr;
    for (const Subdir& dir : subdirs) {
        if (newer(root + QLatin1Char('/') + dir.path))
            return nullptr;
    }
    auto opened = std::shared_ptr<IconCache>(new IconCache);
    opened->m_file = std::make_unique<QFile>(path);
    if (!opened->m_file->open(QIODevice::ReadOnly))
        return nullptr;
    opened->m_size = std::min<qint64>(opened->m_file->size(), kMaxCacheBytes);
    opened->m_data = opened->m_size >= 12 ? opened->m_file->map(0, opened->m_size) : nullptr;
    // The mapping outlives the descriptor.
    opened->m_file->close();
    if (!opened->m_data || opened->word(0) != quint32(1) << 16)
        return nullptr;
    return opened;
}

IconCache::Answer IconCache::lookup(const QByteArray& name) const
{
    const std::optional<quint32> hashAt = word(4);
    const std::optional<quint32> buckets = hashAt ? word(*hashAt) : std::nullopt;
    if (!buckets || *buckets == 0 || name.isEmpty())
        return Answer::Unknown;
    // GTK's hash of the name, over signed characters.
    quint32 hash = quint32(qint32(static_cast<signed char>(name.at(0))));
    for (qsizetype i = 1; i < name.size(); ++i)
        hash = (hash << 5) - hash + quint32(qint32(static_cast<signed char>(name.at(i))));
    std::optional<quint32> icon = word(quint64(*hashAt) + 4 + 4 * quint64(hash % *buckets));
    // A chain longer than the file could hold loops.
    for (qint64 steps = 0; icon && *icon != kNoIcon; ++steps) {
        const std::optional<quint32> nameAt = word(quint64(*icon) + 4);
        if (!nameAt || *nameAt >= m_size || steps > m_size / 12)
            return Answer::Unknown;
        const char* stored = reinterpret_cast<const char*>(m_data + *nameAt);
        const std::size_t room = std::size_t(m_size - *nameAt);
        if (::strnlen(stored, room) == std::size_t(name.size()) && std::size_t(name.size()) < room
            && std::memcmp(stored, name.constData(), std::size_t(name.size())) == 0)
            return Answer::Present;
        icon = word(*icon);
    }
    return icon ? Answer::Absent : Answer::Unknown;
}

struct Theme {
    // Its directory in each base directory that has one, and that
    // directory's cache where it has a sound one.
    QStringList roots;
    QList<std::shared_ptr<const IconCache>> caches;
    QList<Subdir> subdirs;
    QStringList inherits;

    // The roots that may hold the icon: those whose cache does not say no.
    QStringList rootsFor(const QString& name) const
    {
        const QByteArray encoded = QFile::encodeName(name);
        QStringList may;
        for (qsizetype i = 0; i < roots.size(); ++i) {
            if (!caches.at(i) || caches.at(i)->lookup(encoded) != IconCache::Answer::Absent)
                may.append(roots.at(i));
        }
        return may;
    }
};

struct LookupKey {
    QString name;
    int size;
    int scale;
    bool operator==(const LookupKey&) const = default;
};

size_t qHash(const LookupKey& key, size_t seed = 0) { return qHashMulti(seed, key.name, key.size, key.scale); }

// A file or directory name of one segment: nothing that climbs out of, or
// points elsewhere than, the directory it is joined to.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

// A theme subdirectory such as "48x48/apps": relative, no "..".
bool isPlainRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QString& segment : path.split(QLatin1Char('/'))) {
        if (!segment.isEmpty() && !isPlainName(segment))
            return false;
    }
    return true;
}

using Sections = QHash<QString, QHash<QString, QString>>;

// The desktop-entry style key files themes are described in: [sections] of
// key=value lines, "#" comments. Localised keys are not needed here.
Sections parseKeyFile(const QByteArray& data)
{
    Sections sections;
    QHash<QString, QString>* current = nullptr;
    for (const QByteArray& rawLine : data.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = &sections[line.mid(1, line.size() - 2)];
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (current && equals > 0)
            current->insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return sections;
}

QStringList listValue(const QHash<QString, QString>& section, const QString& key)
{
    QStringList items;
    for (const QString& item : section.value(key).split(QLatin1Char(','))) {
        if (const QString trimmed = item.trimmed(); !trimmed.isEmpty() && !items.contains(trimmed))
            items.append(trimmed);
    }
    return items;
}

std::optional<int> intValue(const QHash<QString, QString>& section, const char* key)
{
    bool ok = false;
    const int value = section.value(QLatin1String(key)).toInt(&ok);
    if (!ok || value < 0 || value > kMaxSize)
        return std::nullopt;
    return value;
}

std::optional<Subdir> parseSubdir(const QString& path, const QHash<QString, QString>& section)
{
    const std::optional<int> size = intValue(section, "Size");
    if (!size || *size == 0)
        return std::nullopt;
    Subdir dir;
    dir.path = path;
    dir.size = *size;
    const QString type = section.value(QStringLiteral("Type"));
    if (type == QLatin1String("Fixed"))
        dir.type = DirType::Fixed;
    else if (type == QLatin1String("Scalable"))
        dir.type = DirType::Scalable;
    dir.minSize = intValue(section, "MinSize").value_or(dir.size);
    dir.maxSize = intValue(section, "MaxSize").value_or(dir.size);
    dir.threshold = intValue(section, "Threshold").value_or(2);
    dir.scale = std::max(1, intValue(section, "Scale").value_or(1));
    return dir;
}

Theme loadTheme(const QString& name, const QStringList& baseDirs)
{
    Theme theme;
    if (!isPlainName(name))
        return theme;
    QByteArray index;
    for (const QString& base : baseDirs) {
        const QString root = base + QLatin1Char('/') + name;
        if (!QFileInfo(root).isDir())
            continue;
        theme.roots.append(root);
        // The first description found is the theme's.
        if (index.isEmpty())
            index = popover::readRegularFile(root + QStringLiteral("/index.theme"), kMaxIndexBytes);
    }
    const Sections sections = parseKeyFile(index);
    const QHash<QString, QString> header = sections.value(QStringLiteral("Icon Theme"));
    for (const QString& parent : listValue(header, QStringLiteral("Inherits"))) {
        if (isPlainName(parent))
            theme.inherits.append(parent);
    }
    QStringList paths = listValue(header, QStringLiteral("Directories"));
    for (const QString& scaled : listValue(header, QStringLiteral("ScaledDirectories"))) {
        if (!paths.contains(scaled))
            paths.append(scaled);
    }
    for (const QString& path : std::as_const(paths)) {
        if (!isPlainRelativePath(path) || !sections.contains(path))
            continue;
        if (std::optional<Subdir> dir = parseSubdir(path, sections.value(path)))
            theme.subdirs.append(std::move(*dir));
    }
    for (const QString& root : std::as_const(theme.roots))
        theme.caches.append(IconCache::open(root, theme.subdirs));
    return theme;
}

bool matchesSize(const Subdir& dir, int size, int scale)
{
    if (dir.scale != scale)
        return false;
    switch (dir.type) {
    case DirType::Fixed:
        return dir.size == size;
    case DirType::Scalable:
        return dir.minSize <= size && size <= dir.maxSize;
    case DirType::Threshold:
        return dir.size - dir.threshold <= size && size <= dir.size + dir.threshold;
    }
    return false;
}

// How far, in pixels, the directory's icons are from the size wanted. The
// published pseudo-code measures threshold directories from MinSize and
// MaxSize, which they do not have; the threshold's own bounds are meant.
int sizeDistance(const Subdir& dir, int size, int scale)
{
    const int wanted = size * scale;
    const auto outside = [wanted](int low, int high) {
        if (wanted < low)
            return low - wanted;
        if (wanted > high)
            return wanted - high;
        return 0;
    };
    switch (dir.type) {
    case DirType::Fixed:
        return std::abs(dir.size * dir.scale - wanted);
    case DirType::Scalable:
        return outside(dir.minSize * dir.scale, dir.maxSize * dir.scale);
    case DirType::Threshold:
        return outside((dir.size - dir.threshold) * dir.scale, (dir.size + dir.threshold) * dir.scale);
    }
    return INT_MAX;
}

QString iconIn(const QString& root, const Subdir& dir, const QString& name)
{
    for (const char* extension : kExtensions) {
        const QString file = root + QLatin1Char('/') + dir.path + QLatin1Char('/') + name + QLatin1String(extension);
        if (isRegularFile(file))
            return file;
    }
    return {};
}

QString lookupInTheme(const Theme& theme, const QString& name, int size, int scale)
{
    const QStringList roots = theme.rootsFor(name);
    if (roots.isEmpty())
        return {};
    for (const Subdir& dir : theme.subdirs) {
        if (!matchesSize(dir, size, scale))
            continue;
        for (const QString& root : roots) {
            if (QString file = iconIn(root, dir, name); !file.isEmpty())
                return file;
        }
    }
    QString closest;
    int closestDistance = INT_MAX;
    for (const Subdir& dir : theme.subdirs) {
        const int distance = sizeDistance(dir, size, scale);
        if (distance >= closestDistance)
            continue;
        for (const QString& root : roots) {
            if (QString file = iconIn(root, dir, name); !file.isEmpty()) {
                closest = std::move(file);
                closestDistance = distance;
                break;
            }
        }
    }
    return closest;
}

} // namespace

struct IconTheme::Searched {
    QString name;
    std::shared_ptr<const Theme> theme;
};

struct IconTheme::State {
    std::mutex mutex;
    // Read on first use: every theme searched, in order, with its index.
    std::shared_ptr<const QList<Searched>> chain;
    QHash<LookupKey, QString> found;
};

IconTheme::IconTheme(const QString& themeName, QStringList baseDirs)
    : m_themeName(themeName.isEmpty() ? QString::fromLatin1(kHicolor) : themeName)
    , m_baseDirs(std::move(baseDirs))
    , m_state(std::make_unique<State>())
{
}

IconTheme::~IconTheme() = default;
IconTheme::IconTheme(IconTheme&&) noexcept = default;
IconTheme& IconTheme::operator=(IconTheme&&) noexcept = default;

QStringList IconTheme::baseDirsFromEnvironment()
{
    const QString home = QDir::homePath();
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!dataHome.startsWith(QLatin1Char('/')))
        dataHome = home + QStringLiteral("/.local/share");
    QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    // Relative entries mean nothing to the standard, and whatever the current
    // directory happens to be to us.
    dataDirs.removeIf([](const QString& dir) { return !dir.startsWith(QLatin1Char('/')); });
    if (dataDirs.isEmpty())
        dataDirs = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};

    QStringList bases{home + QStringLiteral("/.icons"), dataHome + QStringLiteral("/icons")};
    for (const QString& dir : std::as_const(dataDirs))
        bases.append(QDir::cleanPath(dir) + QStringLiteral("/icons"));
    bases.append(QStringLiteral("/usr/share/pixmaps"));
    bases.removeDuplicates();
    return bases;
}

IconTheme IconTheme::fromEnvironment(const QString& themeName)
{
    return IconTheme(themeName, baseDirsFromEnvironment());
}

// Each theme read once, however many others inherit from it, so that a loop
// in the inheritance ends.
std::shared_ptr<const QList<IconTheme::Searched>> IconTheme::chain() const
{
    {
        const std::lock_guard lock(m_state->mutex);
        if (m_state->chain)
            return m_state->chain;
    }
    auto chain = std::make_shared<QList<Searched>>();
    QSet<QString> seen;
    const auto visit = [&](const auto& self, const QString& name) -> void {
        if (!isPlainName(name) || seen.contains(name) || chain->size() >= kMaxThemes)
            return;
        seen.insert(name);
        chain->append({name, std::make_shared<const Theme>(loadTheme(name, m_baseDirs))});
        // Copied: the list may grow, and move, while the parents are visited.
        const QStringList parents = chain->constLast().theme->inherits;
        for (const QString& parent : parents)
            self(self, parent);
    };
    visit(visit, m_themeName);
    visit(visit, QString::fromLatin1(kHicolor));

    const std::lock_guard lock(m_state->mutex);
    if (!m_state->chain)
        m_state->chain = std::move(chain);
    return m_state->chain;
}

QStringList IconTheme::searchOrder() const
{
    QStringList names;
    for (const Searched& searched : *chain())
        names.append(searched.name);
    return names;
}

QString IconTheme::lookup(const QString& name, int size, int scale) const
{
    if (!isPlainName(name))
        return {};
    const LookupKey key{name, std::clamp(size, 1, kMaxSize), std::clamp(scale, 1, 16)};
    {
        const std::lock_guard lock(m_state->mutex);
        if (const auto it = m_state->found.constFind(key); it != m_state->found.cend())
            return *it;
    }

    // The search itself runs unlocked, so that a slow disk holds up only the
    // caller waiting for it.
    QString file;
    for (const Searched& searched : *chain()) {
        if (!(file = lookupInTheme(*searched.theme, name, key.size, key.scale)).isEmpty())
            break;
    }
    for (qsizetype i = 0; file.isEmpty() && i < m_baseDirs.size(); ++i) {
        for (const char* extension : kExtensions) {
            const QString loose = m_baseDirs.at(i) + QLatin1Char('/') + name + QLatin1String(extension);
            if (isRegularFile(loose)) {
                file = loose;
                break;
            }
        }
    }

    const std::lock_guard lock(m_state->mutex);
    if (m_state->found.size() >= kMaxRemembered)
        m_state->found.clear();
    m_state->found.insert(key, file);
    return file;
}
