#include "desktop_entry.h"

#include <QByteArrayView>
#include <QList>

#include <cstring>
#include <utility>

namespace {

// The localised variants of a key to look for, best first. For
// lang_COUNTRY.ENCODING@MODIFIER: lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang. The encoding plays no part; "C" and "POSIX" mean the
// untranslated text.
QList<QByteArray> localeVariants(const QString& locale)
{
    QByteArray rest = locale.toUtf8();
    QByteArray modifier;
    if (const qsizetype at = rest.indexOf('@'); at >= 0) {
        modifier = rest.mid(at + 1);
        rest.truncate(at);
    }
    if (const qsizetype dot = rest.indexOf('.'); dot >= 0)
        rest.truncate(dot);
    if (rest.isEmpty() || rest == "C" || rest == "POSIX")
        return {};
    QByteArray lang = rest;
    QByteArray country;
    if (const qsizetype underscore = rest.indexOf('_'); underscore >= 0) {
        lang = rest.left(underscore);
        country = rest.mid(underscore + 1);
    }
    QList<QByteArray> variants;
    if (!country.isEmpty() && !modifier.isEmpty())
        variants.append(lang + '_' + country + '@' + modifier);
    if (!country.isEmpty())
        variants.append(lang + '_' + country);
    if (!modifier.isEmpty())
        variants.append(lang + '@' + modifier);
    variants.append(lang);
    return variants;
}

// The general escapes of string values. Any other backslash is kept as
// written: Exec's quoting, applied afterwards, gives some of them meaning.
QString decodedString(QByteArrayView raw)
{
    if (!raw.contains('\\'))
        return QString::fromUtf8(raw);
    QByteArray out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\' && i + 1 < raw.size()) {
            const char next = raw[i + 1];
            const char decoded = next == 's' ? ' '
                : next == 'n'                ? '\n'
                : next == 't'                ? '\t'
                : next == 'r'                ? '\r'
                : next == '\\'               ? '\\'
                                             : '\0';
            if (decoded) {
                out.append(decoded);
                ++i;
                continue;
            }
        }
        out.append(c);
    }
    return QString::fromUtf8(out);
}

// A list value: items end at ';' unless it is written "\;".
QStringList decodedList(QByteArrayView raw)
{
    QStringList items;
    QByteArray item;
    const auto flush = [&] {
        if (QString decoded = decodedString(item); !decoded.isEmpty())
            items.append(decoded);
        item.clear();
    };
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\' && i + 1 < raw.size()) {
            // "\\;" is an escaped backslash followed by the separator.
            if (raw[i + 1] != ';')
                item.append(c);
            item.append(raw[i + 1]);
            ++i;
        } else if (c == ';') {
            flush();
        } else {
            item.append(c);
        }
    }
    flush();
    return items;
}

bool isTrue(QByteArrayView value)
{
    return value == "true" || value == "1";
}

QString baseName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isFieldCode(QChar c)
{
    return c.unicode() != 0 && c.unicode() < 128 && std::strchr("fFuUickdDnNvm", char(c.unicode()));
}

// A launcher replaces field codes with files, URLs, the icon, the name or the
// entry's own path, none of which identifies the program; they go. A word
// that was nothing but field codes goes entirely.
std::optional<QString> withoutFieldCodes(const QString& word)
{
    if (!word.contains(u'%'))
        return word;
    QString out;
    bool removed = false;
    for (qsizetype i = 0; i < word.size(); ++i) {
        if (word[i] == u'%' && i + 1 < word.size()) {
            if (word[i + 1] == u'%') {
                out.append(u'%');
                ++i;
                continue;
            }
            if (isFieldCode(word[i + 1])) {
                removed = true;
                ++i;
                continue;
            }
        }
        out.append(word[i]);
    }
    if (removed && out.isEmpty())
        return std::nullopt;
    return out;
}

// Where the real program is in a command that starts with env: past env's
// options and its VAR=value assignments.
qsizetype programAfterEnv(const QStringList& words)
{
    qsizetype i = 1;
    bool optionsEnded = false;
    while (i < words.size()) {
        const QString& word = words[i];
        if (!optionsEnded && word.startsWith(u'-') && word != u"-") {
            if (word == u"--")
                optionsEnded = true;
            else if (word == u"-u" || word == u"--unset" || word == u"-C" || word == u"--chdir")
                ++i;   // the option's value is the next word
            ++i;
            continue;
        }
        if (word == u"-" || word.contains(u'=')) {
            // env reads no options after "-" or the first assignment.
            optionsEnded = true;
            ++i;
            continue;
        }
        break;
    }
    return i;
}

void readExec(const QString& exec, DesktopEntry& entry)
{
    const std::optional<QStringList> words = splitExec(exec);
    if (!words)
        return;
    QStringList kept;
    kept.reserve(words->size());
    for (const QString& word : *words) {
        if (std::optional<QString> rest = withoutFieldCodes(word))
            kept.append(*rest);
    }
    qsizetype program = 0;
    if (!kept.isEmpty() && baseName(kept.first()) == u"env")
        program = programAfterEnv(kept);
    if (program >= kept.size())
        return;
    entry.program = kept[program];
    entry.arguments = kept.mid(program + 1);
}

} // namespace

bool DesktopEntry::isTerminalEmulator() const
{
    return categories.contains(QStringLiteral("TerminalEmulator"));
}

std::optional<QStringList> splitExec(const QString& exec)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < exec.size()
                       && QStringView(u"\"`$\\").contains(exec[i + 1])) {
                word.append(exec[++i]);
            } else {
                word.append(c);
            }
        } else if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            if (inWord)
                words.append(std::exchange(word, QString()));
            inWord = false;
        } else {
            inWord = true;
            if (c == u'"')
                quoted = true;
            else
                word.append(c);
        }
    }
    if (quoted)
        return std::nullopt;
    if (inWord)
        words.append(word);
    return words;
}

std::optional<DesktopEntry> parseDesktopEntry(const QByteArray& bytes, const QString& id, const QString& locale)
{
    if (bytes.size() > maxDesktopEntryBytes)
        return std::nullopt;

    const QList<QByteArray> variants = localeVariants(locale);
    QByteArrayView type, name, localisedName, icon, exec, tryExec, wmClass, categories, noDisplay, hidden;
    qsizetype localisedRank = variants.size();
    bool inEntryGroup = false;

    // Only the text up to the next group is read, so only it must be well
    // formed: actions and other groups may hold anything.
    const char* p = bytes.constData();
    const char* end = p + bytes.size();
    if (bytes.startsWith("\xEF\xBB\xBF"))   // a byte order mark from a Windows editor
        p += 3;
    while (p < end) {
        const char* lineStart = p;
        const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        const QByteArrayView line = QByteArrayView(p, newline ? newline : end).trimmed();
        p = newline ? newline + 1 : end;

        if (line.isEmpty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            if (inEntryGroup) {
                end = lineStart;
                break;
            }
            if (line != "[Desktop Entry]")
                return std::nullopt;
            inEntryGroup = true;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0 || !inEntryGroup)
            return std::nullopt;

        const QByteArrayView key = line.first(equals).trimmed();
        const QByteArrayView value = line.sliced(equals + 1).trimmed();
        // A key given twice: the later line wins, as an edit appended to the
        // group is meant to.
        if (key == "Type")
            type = value;
        else if (key == "Name")
            name = value;
        else if (key.startsWith("Name[") && key.endsWith(']') && !value.isEmpty()) {
            const QByteArrayView keyLocale = key.sliced(5, key.size() - 6);
            for (qsizetype rank = 0; rank < variants.size() && rank <= localisedRank; ++rank) {
                if (variants[rank] == keyLocale) {
                    localisedName = value;
                    localisedRank = rank;
                    break;
                }
            }
        } else if (key == "Icon")
            icon = value;
        else if (key == "Exec")
            exec = value;
        else if (key == "TryExec")
            tryExec = value;
        else if (key == "StartupWMClass")
            wmClass = value;
        else if (key == "Categories")
            categories = value;
        else if (key == "NoDisplay")
            noDisplay = value;
        else if (key == "Hidden")
            hidden = value;
    }
    // QByteArray::isValidUtf8 accepts NUL, which no text file holds.
    const QByteArrayView read(bytes.constData(), end);
    if (!inEntryGroup || read.contains('\0') || !read.isValidUtf8())
        return std::nullopt;

    DesktopEntry entry;
    entry.id = id;
    entry.hidden = isTrue(hidden);
    entry.name = decodedString(localisedName.isNull() ? name : localisedName);
    if (!entry.hidden && (type != "Application" || decodedString(name).isEmpty()))
        return std::nullopt;
    entry.icon = decodedString(icon);
    readExec(decodedString(exec), entry);
    entry.tryExec = decodedString(tryExec);
    entry.startupWMClass = decodedString(wmClass);
    entry.categories = decodedList(categories);
    entry.noDisplay = isTrue(noDisplay);
    return entry;
}

bool isInterpreter(const QString& name)
{
    static const QStringList interpreters{
        QStringLiteral("python"), QStringLiteral("perl"), QStringLiteral("ruby"),
        QStringLiteral("node"), QStringLiteral("nodejs"), QStringLiteral("gjs"),
        QStringLiteral("gjs-console"), QStringLiteral("sh"), QStringLiteral("bash"),
        QStringLiteral("dash"), QStringLiteral("java"), QStringLiteral("mono"),
        QStringLiteral("mono-sgen"),
    };
    QStringView stem = name;
    while (!stem.isEmpty() && (stem.back().isDigit() || stem.back() == u'.'))
        stem.chop(1);
    return interpreters.contains(stem);
}

QString scriptArgument(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (!argument.startsWith(u'-'))
            return argument;
    }
    return {};
}

QString programName(const QString& program, const QStringList& arguments)
{
    const QString name = program.mid(program.lastIndexOf(u'/') + 1);
    if (!isInterpreter(name))
        return name;
    const QString script = scriptArgument(arguments);
    return script.mid(script.lastIndexOf(u'/') + 1);
}
