// libFuzzer target: the update manifest decoder and the version comparison,
// the two places where bytes from the network are read. Besides not
// crashing, the comparison must stay a strict order: no version is newer
// than itself, and of two versions at most one is newer than the other.

#include "update_manifest.h"
#include "version_compare.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void expectStrictOrder(const QString& a, const QString& b)
{
    if (isNewer(a, a) || (isNewer(a, b) && isNewer(b, a))) {
        std::fprintf(stderr, "isNewer is no strict order for \"%s\" and \"%s\"\n", qPrintable(a), qPrintable(b));
        std::abort();
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    if (const auto info = decodeUpdateInfo(bytes))
        expectStrictOrder(info->version, QStringLiteral("1.3.0"));

    // The same bytes as two version strings, split at the first line break.
    const qsizetype cut = bytes.indexOf('\n');
    const QString first = QString::fromUtf8(cut < 0 ? bytes : bytes.left(cut));
    const QString second = cut < 0 ? QString() : QString::fromUtf8(bytes.mid(cut + 1));
    expectStrictOrder(first, second);
    return 0;
}
