// The popover is drawn by Qt Quick's software renderer unless the user names
// another through Qt's variables, and it looks the same either way. Runs the
// screenshot program on the display this test is given (a virtual one under
// CTest), once per environment.

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

const QStringList kShots = {QStringLiteral("1-mixer"), QStringLiteral("2-muted-at-50"),
                            QStringLiteral("3-hidden-shown"), QStringLiteral("4-not-running")};

struct Drawn {
    QString renderer;
    QList<QImage> shots;
    QString output;
};

// One run of the screenshot program per environment, shared by the tests.
const Drawn& shoot(const QString& variable, const QString& value)
{
    static QTemporaryDir dir;
    static std::map<QString, Drawn> runs;
    const QString key = variable + QLatin1Char('=') + value;
    if (const auto known = runs.find(key); known != runs.end())
        return known->second;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QMLSCENE_DEVICE", "QT_QUICK_BACKEND", "QSG_RHI_BACKEND"})
        environment.remove(QLatin1String(name));
    if (!variable.isEmpty())
        environment.insert(variable, value);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const QString out = dir.filePath(QString::number(runs.size()));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(RAVLET_SCREENSHOTS), {out});
    program.waitForFinished(60000);

    Drawn run;
    run.output = QString::fromLocal8Bit(program.readAll());
    const qsizetype at = run.output.indexOf(QLatin1String("drawn by the "));
    if (at >= 0)
        run.renderer = run.output.mid(at + 13).section(QLatin1Char(' '), 0, 0);
    for (const QString& name : kShots)
        run.shots.append(QImage(QDir(out).filePath(name + QStringLiteral(".png"))).convertToFormat(QImage::Format_ARGB32));
    return runs.emplace(key, run).first->second;
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

struct Choice {
    const char* variable;
    const char* value;
    const char* renderer;
};

class RendererChoice : public testing::TestWithParam<Choice> {};

TEST_P(RendererChoice, IsTheUsersWhenNamedOtherwiseSoftware)
{
    const Drawn& run = shoot(QString::fromLatin1(GetParam().variable), QString::fromLatin1(GetParam().value));
    EXPECT_EQ(run.renderer, QString::fromLatin1(GetParam().renderer)) << run.output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Environments, RendererChoice,
                         testing::Values(Choice{"", "", "software"},
                                         Choice{"QSG_RHI_BACKEND", "opengl", "opengl"},
                                         Choice{"QT_QUICK_BACKEND", "rhi", "opengl"},
                                         Choice{"QMLSCENE_DEVICE", "rhi", "opengl"}),
                         [](const testing::TestParamInfo<Choice>& info) {
                             return info.param.variable[0] ? std::string(info.param.variable) : std::string("NoVariable");
                         });

TEST(Renderer, TheSoftwareRendererDrawsEveryScreenshotAsOpenGLDoes)
{
    const Drawn& software = shoot({}, {});
    const Drawn& opengl = shoot(QStringLiteral("QSG_RHI_BACKEND"), QStringLiteral("opengl"));
    ASSERT_EQ(software.renderer, QStringLiteral("software")) << software.output.toStdString();
    ASSERT_EQ(opengl.renderer, QStringLiteral("opengl")) << opengl.output.toStdString();
    for (qsizetype i = 0; i < kShots.size(); ++i) {
        const QImage& a = software.shots.at(i);
        const QImage& b = opengl.shots.at(i);
        ASSERT_FALSE(a.isNull() || b.isNull()) << kShots.at(i).toStdString();
        ASSERT_EQ(a.size(), b.size()) << kShots.at(i).toStdString();
        const double share = differingShare(a, b, 8);
        std::printf("%s: %.3f %% of pixels differ by more than 8/255\n", qPrintable(kShots.at(i)), 100.0 * share);
        EXPECT_LE(share, 0.005) << kShots.at(i).toStdString();
    }
}

} // namespace
