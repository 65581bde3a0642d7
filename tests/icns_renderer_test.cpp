// The macOS app icon: a well-formed .icns with a PNG at every size.

#include "icns_renderer.h"

#include <QFile>
#include <QImage>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

quint32 bigEndianAt(const QByteArray& bytes, qsizetype at)
{
    return qFromBigEndian<quint32>(bytes.constData() + at);
}

TEST(IcnsRenderer, WritesEverySizeAsAPngInAWellFormedContainerAndRefusesWhatIsNoSvg)
{
    QFile svg(QStringLiteral(RAVLET_APP_ICON_SVG));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    const std::optional<QByteArray> icns = renderIcns(svg.readAll());
    ASSERT_TRUE(icns);
    ASSERT_EQ(icns->left(4), "icns");
    ASSERT_EQ(bigEndianAt(*icns, 4), quint32(icns->size()));

    QStringList entries;
    for (qsizetype at = 8; at < icns->size();) {
        const quint32 length = bigEndianAt(*icns, at + 4);
        ASSERT_GE(length, 8u);
        ASSERT_LE(at + qsizetype(length), icns->size());
        const QImage image = QImage::fromData(icns->mid(at + 8, length - 8), "PNG");
        entries.append(QString::fromLatin1(icns->mid(at, 4)) + QLatin1Char('=') + QString::number(image.width())
                       + QLatin1Char('x') + QString::number(image.height()));
        at += length;
    }
    EXPECT_EQ(entries.join(QLatin1Char(' ')),
              "icp4=16x16 icp5=32x32 ic11=32x32 ic12=64x64 ic07=128x128 ic13=256x256 ic08=256x256 ic14=512x512 "
              "ic09=512x512 ic10=1024x1024");

    QString error;
    EXPECT_FALSE(renderIcns("<not an svg", &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
