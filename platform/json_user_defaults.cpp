#include "json_user_defaults.h"

#include "system_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// A data value is written as an object with this one member. Dictionary member
// names starting with '$' get one more '$' in front, so a dictionary can never
// take this shape.
const QString dataMember = QStringLiteral("$data");
const QChar escapeMark = QLatin1Char('$');

QString escapedMemberName(const QString& name)
{
    return name.startsWith(escapeMark) ? escapeMark + name : name;
}

// Why value cannot be stored, or nothing when it can; *encoded receives the
// stored form.
std::optional<QString> encode(const QVariant& value, QJsonValue* encoded)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        *encoded = value.toString();
        return std::nullopt;
    case QMetaType::Double: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return QStringLiteral("it contains a number that is not finite (%1)").arg(number);
        *encoded = number;
        return std::nullopt;
    }
    case QMetaType::Bool:
        *encoded = value.toBool();
        return std::nullopt;
    case QMetaType::QByteArray:
        *encoded = QJsonObject{{dataMember, QString::fromLatin1(value.toByteArray().toBase64())}};
        return std::nullopt;
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant& element : value.toList()) {
            QJsonValue encodedElement;
            if (auto problem = encode(element, &encodedElement))
                return problem;
            array.append(encodedElement);
        }
        *encoded = array;
        return std::nullopt;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            QJsonValue encodedMember;
            if (auto problem = encode(it.value(), &encodedMember))
                return problem;
            object.insert(escapedMemberName(it.key()), encodedMember);
        }
        *encoded = object;
        return std::nullopt;
    }
    default:
        return QStringLiteral("values of type %1 cannot be stored")
            .arg(QString::fromLatin1(value.metaType().name() ? value.metaType().name() : "(none)"));
    }
}

// An invalid QVariant when the stored form is not one that encode() writes:
// null, a malformed data object, or a '$' member name that is not escaped.
// Anything inside that fails makes the whole value fail, so a caller never
// sees a list or dictionary with parts silently missing.
QVariant decode(const QJsonValue& stored)
{
    switch (stored.type()) {
    case QJsonValue::String:
        return stored.toString();
    case QJsonValue::Double:
        // Whole numbers come back from the parser as integers; the store only
        // knows doubles.
        return QVariant(stored.toDouble());
    case QJsonValue::Bool:
        return QVariant(stored.toBool());
    case QJsonValue::Array: {
        QVariantList list;
        const QJsonArray array = stored.toArray();
        list.reserve(array.size());
        for (const QJsonValue& element : array) {
            QVariant decoded = decode(element);
            if (!decoded.isValid())
                return {};
            list.append(decoded);
        }
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = stored.toObject();
        if (object.size() == 1 && object.begin().key() == dataMember) {
            const QJsonValue base64 = object.begin().value();
            if (!base64.isString())
                return {};
            auto result = QByteArray::fromBase64Encoding(
                base64.toString().toUtf8(),
                QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
            if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
                return {};
            return QVariant(result.decoded);
        }
        QVariantMap map;
        for (auto it = object.begin(); it != object.end(); ++it) {
            QString name = it.key();
            if (name.startsWith(escapeMark)) {
                if (name.size() < 2 || name.at(1) != escapeMark)
                    return {};
                name.remove(0, 1);
            }
            QVariant decoded = decode(it.value());
            if (!decoded.isValid())
                return {};
            map.insert(name, decoded);
        }
        return map;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

// A name next to path that nothing has yet; empty if none is found.
QString freeAsideName(const QString& path)
{
    const QString base = path + QStringLiteral(".unreadable-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const QString candidate = attempt == 1 ? base : base + QLatin1Char('-') + QString::number(attempt);
        // exists() follows symbolic links; a dangling link is still a name taken.
        const QFileInfo info(candidate);
        if (!info.exists() && !info.isSymLink())
            return candidate;
    }
    return {};
}

} // namespace

JsonUserDefaults::JsonUserDefaults(QString filePath)
    : m_filePath(std::move(filePath))
{
    load();
}

QString JsonUserDefaults::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/ravlet/defaults.json");
}

QVariant JsonUserDefaults::value(const QString& key) const
{
    const auto it = m_document.constFind(key);
    if (it == m_document.constEnd())
        return {};
    return decode(*it);
}

void JsonUserDefaults::setValue(const QString& key, const QVariant& value)
{
    QJsonValue encoded;
    if (auto problem = encode(value, &encoded)) {
        systemLog(QStringLiteral("[ravlet] did not store setting \"%1\": %2").arg(key, *problem));
        return;
    }
    m_document.insert(key, encoded);
    persist();
}

void JsonUserDefaults::removeValue(const QString& key)
{
    if (!m_document.contains(key))
        return;
    m_document.remove(key);
    persist();
}

void JsonUserDefaults::load()
{
    // A dangling symbolic link counts as missing: the first save writes
    // through it to its target.
    if (!QFileInfo::exists(m_filePath))
        return;

    QString problem;
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
    } else {
        const QByteArray contents = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            problem = file.errorString();
        } else {
            QJsonParseError parseError;
            const QJsonDocument document = QJsonDocument::fromJson(contents, &parseError);
            if (parseError.error != QJsonParseError::NoError) {
                problem = QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
            } else if (!document.isObject()) {
                problem = QStringLiteral("it is not a JSON object");
            } else {
                m_document = document.object();
                return;
            }
        }
    }
    file.close();

    // Whatever is there may be the only copy of the user's settings, so it is
    // kept under another name rather than replaced by the next save.
    const QString aside = freeAsideName(m_filePath);
    if (!aside.isEmpty() && QFile::rename(m_filePath, aside)) {
        m_movedAsidePath = aside;
        systemLog(QStringLiteral("[ravlet] settings file %1 could not be read (%2); moved it to %3 "
                                 "and started with empty settings")
                      .arg(m_filePath, problem, aside));
        return;
    }

    m_persistBlocked = true;
    systemLog(QStringLiteral("[ravlet] settings file %1 could not be read (%2) nor moved aside; "
                             "started with empty settings and will not save changes over it")
                  .arg(m_filePath, problem));
}

void JsonUserDefaults::persist()
{
    if (m_persistBlocked)
        return;

    QString problem;
    const QString directory = QFileInfo(m_filePath).absolutePath();
    if (!QDir().mkpath(directory)) {
        problem = QStringLiteral("could not create the directory %1").arg(directory);
    } else {
        const bool creating = !QFileInfo::exists(m_filePath);
        QSaveFile file(m_filePath);
        // Unbuffered, because a buffered QSaveFile lets a short write while
        // flushing (disk full, file size limit) pass unnoticed and commits a
        // torn file. Unbuffered, write() reports the short count.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            problem = file.errorString();
        } else {
            // Settings may name what the user runs; keep them to the user.
            // An existing file keeps whatever mode the user gave it.
            if (creating)
                file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            const QByteArray contents = QJsonDocument(m_document).toJson(QJsonDocument::Indented);
            errno = 0;
            const qint64 written = file.write(contents);
            // Qt reports no error for a write that stopped part way; the
            // system's reason is still in errno.
            const int writeErrno = errno;
            if (written != contents.size()) {
                problem = file.error() != QFileDevice::NoError ? file.errorString()
                    : QStringLiteral("the file could not be written in full (%1)")
                          .arg(writeErrno ? QString::fromLocal8Bit(std::strerror(writeErrno))
                                          : QStringLiteral("no reason given"));
                file.cancelWriting();
            } else if (!file.commit()) {
                problem = file.errorString();
            }
        }
    }

    if (problem.isEmpty()) {
        m_lastSaveProblem.clear();
        return;
    }
    // While saving keeps failing for the same reason, say so once rather than
    // on every change.
    if (problem == m_lastSaveProblem)
        return;
    m_lastSaveProblem = problem;
    systemLog(QStringLiteral("[ravlet] could not save settings to %1: %2").arg(m_filePath, problem));
}
