#include "desktop_entry_index.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Distributions link entries and folders into place; links that loop, or
// trees deeper than any real one, stop here.
constexpr int maxFolderDepth = 8;

// Folder times are only as fine as the file system's clock tick (up to
// seconds on some). A folder changed within this long before a scan may have
// changed again within the same tick after it, so it is listed again until
// it has been quiet for this long.
constexpr qint64 settleNanoseconds = 2'000'000'000;

qint64 nanoseconds(const timespec& time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

struct FolderStamp {
    QByteArray path;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    qint64 modified = 0;
    bool operator==(const FolderStamp&) const = default;
};

FolderStamp stampOf(const QByteArray& path, const struct stat& status)
{
    return {path, true, status.st_dev, status.st_ino, nanoseconds(status.st_mtim)};
}

// The folder at path, followed through links; one stat.
FolderStamp stampAt(const QByteArray& path)
{
    struct stat status {};
    if (::stat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return {path};
    return stampOf(path, status);
}

struct FoundFile {
    QByteArray path;
    QString id;
    int precedence = 0;
    qint64 size = 0;
    qint64 modified = 0;
    bool operator==(const FoundFile&) const = default;
};

struct Scan {
    std::vector<FolderStamp> folders;
    std::vector<FoundFile> files;   // highest precedence first
    bool settled = true;
};

// Lists the folders' entry files and stamps every folder it enters; reads
// no file.
class FolderScanner {
public:
    Scan run(const QStringList& applicationDirs)
    {
        timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        for (int precedence = 0; precedence < applicationDirs.size(); ++precedence) {
            const QByteArray path = QFile::encodeName(applicationDirs[precedence]);
            struct stat status {};
            if (::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode))
                walk(path, status, QString(), 0, precedence);
            else
                m_scan.folders.push_back(FolderStamp{path});
        }
        for (const FolderStamp& folder : m_scan.folders) {
            if (folder.exists && folder.modified > nanoseconds(now) - settleNanoseconds)
                m_scan.settled = false;
        }
        return std::move(m_scan);
    }

private:
    void walk(const QByteArray& path, const struct stat& status, const QString& idPrefix, int depth, int precedence)
    {
        m_scan.folders.push_back(stampOf(path, status));
        if (!m_visited.insert({status.st_dev, status.st_ino}).second)
            return;
        DIR* dir = ::opendir(path.constData());
        if (!dir)
            return;
        std::vector<std::pair<QByteArray, unsigned char>> names;
        while (const dirent* item = ::readdir(dir)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                names.emplace_back(QByteArray(item->d_name), item->d_type);
        }
        ::closedir(dir);
        // Sorted, so that which of two files with one id wins does not depend
        // on the order the file system lists them in.
        std::sort(names.begin(), names.end());

        for (const auto& [name, type] : names) {
            const bool isEntryName = name.endsWith(".desktop");
            if (type == DT_REG && !isEntryName)
                continue;
            const QByteArray childPath = path + '/' + name;
            struct stat child {};
            if (::stat(childPath.constData(), &child) != 0)
                continue;
            if (S_ISDIR(child.st_mode)) {
                if (depth + 1 < maxFolderDepth)
                    walk(childPath, child, idPrefix + QFile::decodeName(name) + u'-', depth + 1, precedence);
            } else if (S_ISREG(child.st_mode) && isEntryName) {
                m_scan.files.push_back({childPath, idPrefix + QFile::decodeName(name), precedence,
                                        qint64(child.st_size), nanoseconds(child.st_mtim)});
            }
        }
    }

    Scan m_scan;
    std::set<std::pair<dev_t, ino_t>> m_visited;
};

// The whole file in one go into buffer, which is one byte longer than any
// accepted file so that a file grown past the limit since it was listed
// shows. Nothing when it cannot be read or is too large.
std::optional<QByteArray> readEntryFile(const QByteArray& path, QByteArray& buffer)
{
    // Non-blocking: a FIFO swapped in under the name must not hang the scan.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= maxDesktopEntryBytes;
    qsizetype length = 0;
    while (ok && length < buffer.size()) {
        const ssize_t count = ::read(fd, buffer.data() + length, size_t(buffer.size() - length));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            ok = false;
        if (count <= 0)
            break;
        length += count;
    }
    ::close(fd);
    if (!ok || length > maxDesktopEntryBytes)
        return std::nullopt;
    return QByteArray::fromRawData(buffer.constData(), length);
}

QString baseName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

struct Record {
    DesktopEntry entry;
    int precedence = 0;
};

} // namespace

struct DesktopEntryIndex::State {
    quint64 generation = 0;
    Scan scan;
    std::vector<Record> records;
    QHash<QString, qsizetype> byId;
    QHash<QString, QList<qsizetype>> byPath;      // absolute program or TryExec
    QHash<QString, QList<qsizetype>> byName;      // their base names
    QHash<QString, QList<qsizetype>> byScript;    // an interpreter's script's base name
    QHash<QString, QList<qsizetype>> byWmClass;   // lower-cased

    void build(Scan found, const QString& locale)
    {
        records.clear();
        byId.clear();
        byPath.clear();
        byName.clear();
        byScript.clear();
        byWmClass.clear();

        QSet<QString> claimed;
        QByteArray buffer(maxDesktopEntryBytes + 1, Qt::Uninitialized);
        for (const FoundFile& file : found.files) {
            // The highest folder's file decides its id, whatever it holds:
            // hidden, broken or too large, it masks those below it.
            if (claimed.contains(file.id))
                continue;
            claimed.insert(file.id);
            if (file.size > maxDesktopEntryBytes)
                continue;
            const std::optional<QByteArray> bytes = readEntryFile(file.path, buffer);
            if (!bytes)
                continue;
            std::optional<DesktopEntry> entry = parseDesktopEntry(*bytes, file.id, locale);
            if (entry && !entry->hidden)
                records.push_back({std::move(*entry), file.precedence});
        }
        for (qsizetype i = 0; i < qsizetype(records.size()); ++i)
            addKeys(i);
        scan = std::move(found);
        ++generation;
    }

    void addKeys(qsizetype index)
    {
        const DesktopEntry& entry = records[size_t(index)].entry;
        byId.insert(entry.id, index);
        if (!entry.startupWMClass.isEmpty())
            byWmClass[entry.startupWMClass.toLower()].append(index);
        // An exported Flatpak entry runs the flatpak tool, which names no
        // application; sandboxed processes are recognised by their app id.
        if (baseName(entry.program) == u"flatpak")
            return;
        for (const QString* command : {&entry.program, &entry.tryExec}) {
            const QString name = baseName(*command);
            if (name.isEmpty() || isInterpreter(name) || (command == &entry.tryExec && *command == entry.program))
                continue;
            if (command->startsWith(u'/'))
                byPath[*command].append(index);
            byName[name].append(index);
        }
        if (isInterpreter(baseName(entry.program))) {
            const QString script = baseName(scriptArgument(entry.arguments));
            if (!script.isEmpty())
                byScript[script].append(index);
        }
    }
};

DesktopEntryIndex::DesktopEntryIndex(QStringList applicationDirs, QString locale)
    : m_applicationDirs(std::move(applicationDirs))
    , m_locale(std::move(locale))
{
}

DesktopEntryIndex::~DesktopEntryIndex() = default;

QStringList DesktopEntryIndex::applicationDirsFromEnvironment()
{
    QStringList dirs;
    const auto add = [&dirs](const QString& dataDir) {
        if (!QDir::isAbsolutePath(dataDir))
            return;
        const QString applications = QDir::cleanPath(dataDir + QStringLiteral("/applications"));
        if (!dirs.contains(applications))
            dirs.append(applications);
    };
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(dataHome)) {
        const QString home = qEnvironmentVariable("HOME");
        dataHome = home.isEmpty() ? QString() : home + QStringLiteral("/.local/share");
    }
    add(dataHome);
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString& dir : dataDirs.split(u':', Qt::SkipEmptyParts))
        add(dir);
    if (!dataHome.isEmpty())
        add(dataHome + QStringLiteral("/flatpak/exports/share"));
    add(QStringLiteral("/var/lib/flatpak/exports/share"));
    add(QStringLiteral("/var/lib/snapd/desktop"));
    return dirs;
}

QString DesktopEntryIndex::localeFromEnvironment()
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (QString value = qEnvironmentVariable(variable); !value.isEmpty())
            return value;
    }
    return {};
}

void DesktopEntryIndex::ensureBuilt() const
{
    if (m_state)
        return;
    m_state = std::make_unique<State>();
    m_state->build(FolderScanner().run(m_applicationDirs), m_locale);
}

bool DesktopEntryIndex::refreshIfChanged()
{
    if (!m_state) {
        ensureBuilt();
        return true;
    }
    const bool foldersUnchanged = std::all_of(m_state->scan.folders.cbegin(), m_state->scan.folders.cend(),
        [](const FolderStamp& folder) { return stampAt(folder.path) == folder; });
    if (foldersUnchanged && m_state->scan.settled)
        return false;
    // A folder changed, or may have: list again, and read the files only when
    // the entry files themselves differ (not for an editor's temporary file
    // or a rewritten mimeinfo.cache).
    Scan fresh = FolderScanner().run(m_applicationDirs);
    if (fresh.files == m_state->scan.files) {
        m_state->scan = std::move(fresh);
        return false;
    }
    m_state->build(std::move(fresh), m_locale);
    return true;
}

quint64 DesktopEntryIndex::generation() const
{
    ensureBuilt();
    return m_state->generation;
}

const DesktopEntry* DesktopEntryIndex::entry(const QString& id) const
{
    ensureBuilt();
    const qsizetype index = m_state->byId.value(id, -1);
    return index < 0 ? nullptr : &m_state->records[size_t(index)].entry;
}

const DesktopEntry* DesktopEntryIndex::matchProcess(const QString& executable, const QStringList& argv) const
{
    ensureBuilt();
    const State& state = *m_state;
    const QStringList given = argv.mid(1);
    const QString executableName = baseName(executable);
    const QString argv0Name = argv.isEmpty() ? QString() : baseName(argv.first());

    // How many of the entry's arguments the process was given, or -1 when
    // it lacks one: tells "libreoffice --writer" from "libreoffice --calc".
    const auto argumentsGiven = [&given](const DesktopEntry& entry) -> qsizetype {
        for (const QString& argument : entry.arguments) {
            if (!given.contains(argument))
                return -1;
        }
        return entry.arguments.size();
    };
    const auto better = [&](const Record& a, const Record& b) {
        const qsizetype aGiven = argumentsGiven(a.entry);
        const qsizetype bGiven = argumentsGiven(b.entry);
        if (aGiven != bGiven)
            return aGiven > bGiven;
        if (a.entry.noDisplay != b.entry.noDisplay)
            return !a.entry.noDisplay;
        if (a.precedence != b.precedence)
            return a.precedence < b.precedence;
        return a.entry.id < b.entry.id;
    };
    const auto best = [&](std::initializer_list<QList<qsizetype>> candidateLists) -> const DesktopEntry* {
        const Record* chosen = nullptr;
        for (const QList<qsizetype>& candidates : candidateLists) {
            for (const qsizetype index : candidates) {
                const Record& record = state.records[size_t(index)];
                if (!chosen || better(record, *chosen))
                    chosen = &record;
            }
        }
        return chosen ? &chosen->entry : nullptr;
    };

    if (const DesktopEntry* found = best({state.byPath.value(executable)}))
        return found;
    if (const DesktopEntry* found = best({state.byName.value(executableName), state.byName.value(argv0Name)}))
        return found;
    if (isInterpreter(executableName)) {
        const QString script = baseName(scriptArgument(given));
        if (const DesktopEntry* found = best({state.byName.value(script), state.byScript.value(script)}))
            return found;
    }
    return best({state.byWmClass.value(executableName.toLower()), state.byWmClass.value(argv0Name.toLower())});
}

qsizetype DesktopEntryIndex::size() const
{
    ensureBuilt();
    return qsizetype(m_state->records.size());
}
