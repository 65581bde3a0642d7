#include "version_compare.h"

#include <QList>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

// Only an optional single sign and ASCII digits, within the 64-bit range;
// anything else (other digits, blanks, a second sign) does not parse.
std::optional<qint64> parsePiece(QStringView piece)
{
    bool negative = false;
    if (!piece.isEmpty() && (piece.front() == u'+' || piece.front() == u'-')) {
        negative = piece.front() == u'-';
        piece = piece.mid(1);
    }
    if (piece.isEmpty())
        return std::nullopt;

    // Accumulate towards the sign so that the most negative value still fits.
    qint64 value = 0;
    for (const QChar c : piece) {
        const char16_t unit = c.unicode();
        if (unit < u'0' || unit > u'9')
            return std::nullopt;
        const int digit = unit - u'0';
        if (negative) {
            if (value < (std::numeric_limits<qint64>::min() + digit) / 10)
                return std::nullopt;
            value = value * 10 - digit;
        } else {
            if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
    }
    return value;
}

QList<qint64> pieces(QStringView version)
{
    QList<qint64> numbers;
    for (const QStringView piece : version.split(u'.', Qt::SkipEmptyParts)) {
        if (const auto number = parsePiece(piece))
            numbers.append(*number);
    }
    return numbers;
}

}

bool isNewer(QStringView candidate, QStringView than)
{
    const QList<qint64> a = pieces(candidate);
    const QList<qint64> b = pieces(than);
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const qint64 x = i < a.size() ? a[i] : 0;
        const qint64 y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x > y;
    }
    return false;
}
