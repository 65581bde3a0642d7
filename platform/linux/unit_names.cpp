#include "unit_names.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <optional>

namespace {

QString lastComponent(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Desktop-entry ids are file names; nothing that could climb folders or hide
// a control character gets through.
bool isPlainId(const QString& id)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.+-]{0,254}$"));
    return plain.match(id).hasMatch() && !id.contains(QLatin1String(".."));
}

} // namespace

std::optional<QString> unescapeUnitName(const QString& escaped)
{
    QByteArray bytes;
    const QByteArray utf8 = escaped.toUtf8();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        if (utf8.at(i) != '\\') {
            bytes.append(utf8.at(i));
            continue;
        }
        if (i + 3 >= utf8.size() || utf8.at(i + 1) != 'x')
            return std::nullopt;
        bool ok = false;
        const int value = utf8.mid(i + 2, 2).toInt(&ok, 16);
        if (!ok || value == 0)
            return std::nullopt;
        bytes.append(char(value));
        i += 3;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString desktopIdFromAppUnit(const QString& cgroupPath)
{
    QString unit = lastComponent(cgroupPath);
    const bool scope = unit.endsWith(QLatin1String(".scope"));
    const bool service = unit.endsWith(QLatin1String(".service"));
    if (!unit.startsWith(QLatin1String("app-")) || (!scope && !service))
        return {};
    unit.chop(scope ? 6 : 8);
    if (service) {
        // A template instance: "@<RANDOM>" is the instance, not the id.
        const qsizetype at = unit.indexOf(QLatin1Char('@'));
        if (at >= 0)
            unit.truncate(at);
    }
    // Split before unescaping: only unescaped "-" separate the parts.
    QStringList parts = unit.split(QLatin1Char('-'));
    if (scope) {
        if (parts.size() < 3)
            return {};
        parts.removeLast();   // <RANDOM>
    }
    if (parts.size() < 2 || parts.size() > 3)
        return {};
    const std::optional<QString> applicationId = unescapeUnitName(parts.last());
    if (!applicationId || !isPlainId(*applicationId))
        return {};
    return *applicationId + QStringLiteral(".desktop");
}

QString desktopIdFromSnapUnit(const QString& cgroupPath)
{
    QString unit = lastComponent(cgroupPath);
    if (!unit.startsWith(QLatin1String("snap.")))
        return {};
    if (unit.endsWith(QLatin1String(".scope")))
        unit.chop(6);
    else if (unit.endsWith(QLatin1String(".service")))
        unit.chop(8);
    else
        return {};
    // snapd joins the scope's UUID with a "-", which application names may
    // hold too: strip it by its shape.
    static const QRegularExpression uuidTail(
        QStringLiteral("-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    unit.remove(uuidTail);
    static const QRegularExpression snapApp(
        QStringLiteral("^snap\\.([a-z0-9](?:-?[a-z0-9])*)\\.([A-Za-z0-9](?:-?[A-Za-z0-9])*)$"));
    const QRegularExpressionMatch match = snapApp.match(unit);
    if (!match.hasMatch())
        return {};
    return match.captured(1) + QLatin1Char('_') + match.captured(2) + QStringLiteral(".desktop");
}
