#pragma once

// Lets GoogleTest print Qt values readably in failure messages.

#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& string, std::ostream* out)
{
    *out << '"' << string.toStdString() << '"';
}

inline void PrintTo(const QStringList& strings, std::ostream* out)
{
    *out << '[' << strings.join(QStringLiteral(", ")).toStdString() << ']';
}
