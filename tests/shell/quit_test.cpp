// Nothing the user set is lost however the program ends: killed a second
// after a slider is let go, or asked to end at once by the system.

#include "tied_to_test.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct Ending {
    const char* name;
    int signalNumber;
    bool orderly;   // through the program's quit path
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class QuitTest : public testing::TestWithParam<Ending> {};

TEST_P(QuitTest, TheLastGainDraggedIsOnDisk)
{
    const Ending& ending = GetParam();
    QTemporaryDir dir;
    const QString settings = dir.filePath("defaults.json");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tieToTest(child);
    child.start(RAVLET_DRAG_CHILD, {settings});

    QByteArray line;
    while (!line.contains('\n') && child.waitForReadyRead(60000))
        line += child.readAllStandardOutput();
    const QList<QByteArray> fields = line.trimmed().split('\t');
    ASSERT_EQ(fields.value(0), "released") << line.toStdString();
    const QString id = QString::fromUtf8(fields.value(1));
    const float gain = fields.value(2).toFloat();
    ASSERT_LT(gain, 0.5f) << "the slider moved";

    if (!ending.orderly)
        QThread::msleep(1000);
    ASSERT_EQ(::kill(pid_t(child.processId()), ending.signalNumber), 0);
    ASSERT_TRUE(child.waitForFinished(30000));
    if (ending.orderly) {
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0);
    }

    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject gains = QJsonDocument::fromJson(file.readAll()).object().value("ravlet.gains").toObject();
    EXPECT_EQ(float(gains.value(id).toDouble(-1)), gain) << id.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Endings, QuitTest,
    testing::Values(Ending{"KilledASecondAfterTheRelease", SIGKILL, false},
                    Ending{"TerminatedAtOnce", SIGTERM, true}),
    [](const testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

} // namespace
