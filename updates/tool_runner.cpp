#include "tool_runner.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStringDecoder>

#include <csignal>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

QString strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

void keep(QByteArray& output, const QByteArray& chunk)
{
    output.append(chunk.left(std::max<qsizetype>(0, kMaxToolOutput - output.size())));
}

}

ToolResult runTool(const QString& executable, const QStringList& arguments, std::chrono::milliseconds deadline)
{
    const QDeadlineTimer due(deadline);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that what the tool starts is killed with it; and
    // on Linux the tool ends with this program, killed or not, rather than
    // being left to run for as long as it hangs.
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    });
    process.start(executable, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(int(std::max<qint64>(due.remainingTime(), 0))))
        return {};

    // Drained while the tool runs: a tool that writes more than the pipe
    // holds would otherwise wait for us forever.
    QByteArray output;
    const auto remaining = [&] { return int(std::max<qint64>(due.remainingTime(), 1)); };
    while (process.state() == QProcess::Running && !due.hasExpired()) {
        if (process.waitForReadyRead(remaining()))
            keep(output, process.readAll());
        else if (process.state() == QProcess::Running && !due.hasExpired())   // its output closed, itself running on
            process.waitForFinished(remaining());
    }
    if (process.state() == QProcess::Running) {
        ::kill(-pid_t(process.processId()), SIGKILL);
        process.kill();
        process.waitForFinished(5000);
        return {false, {}, true};
    }
    process.waitForFinished(0);
    keep(output, process.readAll());

    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return {ok, strictUtf8(output), false};
}
