// The popover is drawn by Qt Quick's software renderer unless the user names
// another through Qt's variables, and it looks the same either way. Runs the
// screenshot program on the display this test is given (a virtual one under
// CTest), once per environment.

#include "support/tied_to_test.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>

namespace {

const QStringList kShots = {QStringLiteral("1-mixer"), QStringLiteral("2-muted-at-50"),
                            QStringLiteral("3-hidden-shown"), QStringLiteral("4-not-running")};

struct Drawn {
    QString renderer;
    QList<QImage> shots;
    QString output;
    int exitCode = -1;
    QStringList saved;   // every picture the run wrote
};

double meanLightness(const QImage& image)
{
    double sum = 0.0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            sum += qGray(line[x]);
    }
    return image.isNull() ? 0.0 : sum / (double(image.width()) * image.height());
}

// The screenshot program run into out with Qt's renderer variables cleared
// but the one given.
Drawn shoot(const QString& out, const char* variable, const char* value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QMLSCENE_DEVICE", "QT_QUICK_BACKEND", "QSG_RHI_BACKEND"})
        environment.remove(QLatin1String(name));
    if (*variable)
        environment.insert(QString::fromLatin1(variable), QString::fromLatin1(value));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    tieToTest(program);
    program.start(QStringLiteral(RAVLET_SCREENSHOTS), {out});
    program.waitForFinished(60000);

    Drawn run;
    run.exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    run.saved = QDir(out).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
    run.output = QString::fromLocal8Bit(program.readAll());
    const qsizetype at = run.output.indexOf(QLatin1String("drawn by the "));
    if (at >= 0)
        run.renderer = run.output.mid(at + 13).section(QLatin1Char(' '), 0, 0);
    for (const QString& name : kShots)
        run.shots.append(QImage(QDir(out).filePath(name + QStringLiteral(".png"))).convertToFormat(QImage::Format_ARGB32));
    return run;
}

// The share of pixels whose channels differ by more than tolerance.
double differingShare(const QImage& a, const QImage& b, int tolerance)
{
    qint64 differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* left = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* right = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int most = std::max({std::abs(qRed(left[x]) - qRed(right[x])),
                                       std::abs(qGreen(left[x]) - qGreen(right[x])),
                                       std::abs(qBlue(left[x]) - qBlue(right[x])),
                                       std::abs(qAlpha(left[x]) - qAlpha(right[x]))});
            differing += most > tolerance;
        }
    }
    return double(differing) / double(qint64(a.width()) * a.height());
}

TEST(Renderer, IsSoftwareUnlessTheUserNamesAnotherAndDrawsEveryScreenshotAsOpenGLDoes)
{
    QTemporaryDir dir;
    QList<Drawn> runs;
    for (const auto& [variable, value, renderer] : {std::tuple{"", "", "software"},
                                                    {"QSG_RHI_BACKEND", "opengl", "opengl"},
                                                    {"QT_QUICK_BACKEND", "rhi", "opengl"},
                                                    {"QMLSCENE_DEVICE", "rhi", "opengl"}}) {
        runs.append(shoot(dir.filePath(QString::number(runs.size())), variable, value));
        EXPECT_EQ(runs.last().renderer, QString::fromLatin1(renderer)) << variable << "=" << value << "\n"
                                                                       << runs.last().output.toStdString();
    }
    ASSERT_FALSE(HasFailure()) << "the screenshots are compared only when each renderer is the one chosen";

    // Every state of the tour is shot, each to a file of its own, and the run
    // says it went well: the dark shot is darker than the light one it
    // follows, not drawn over it.
    const Drawn& software = runs.first();
    EXPECT_EQ(software.exitCode, 0) << software.output.toStdString();
    EXPECT_EQ(software.saved, (QStringList{QStringLiteral("1-mixer.png"), QStringLiteral("2-muted-at-50-dark.png"),
                                           QStringLiteral("2-muted-at-50.png"), QStringLiteral("2-play-on.png"),
                                           QStringLiteral("3-hidden-shown.png"), QStringLiteral("4-not-running.png")}));
    const QImage dark(QDir(dir.filePath(QStringLiteral("0"))).filePath(QStringLiteral("2-muted-at-50-dark.png")));
    EXPECT_LT(meanLightness(dark) + 40.0, meanLightness(software.shots.at(1)));

    for (qsizetype i = 0; i < kShots.size(); ++i) {
        const QImage& a = runs[0].shots.at(i);   // software
        const QImage& b = runs[1].shots.at(i);   // OpenGL
        ASSERT_FALSE(a.isNull() || b.isNull()) << kShots.at(i).toStdString();
        ASSERT_EQ(a.size(), b.size()) << kShots.at(i).toStdString();
        const double share = differingShare(a, b, 8);
        std::printf("%s: %.3f %% of pixels differ by more than 8/255\n", qPrintable(kShots.at(i)), 100.0 * share);
        EXPECT_LE(share, 0.005) << kShots.at(i).toStdString();
    }
}

} // namespace
