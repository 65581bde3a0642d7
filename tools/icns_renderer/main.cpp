// ravlet-icns INPUT.svg OUTPUT.icns: the build's app icon for macOS.

#include "icns_renderer.h"

#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ravlet-icns INPUT.svg OUTPUT.icns\n");
        return 2;
    }
    // Offscreen: the build machine may have no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QFile input(QString::fromLocal8Bit(argv[1]));
    if (!input.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "ravlet-icns: cannot read %s\n", argv[1]);
        return 1;
    }
    QString error;
    const std::optional<QByteArray> icns = renderIcns(input.readAll(), &error);
    QSaveFile output(QString::fromLocal8Bit(argv[2]));
    if (!icns || !output.open(QIODevice::WriteOnly) || output.write(*icns) != icns->size() || !output.commit()) {
        std::fprintf(stderr, "ravlet-icns: %s: %s\n", argv[2],
                     icns ? "cannot write" : error.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
