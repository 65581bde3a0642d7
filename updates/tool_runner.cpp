#include "tool_runner.h"

#include <QProcess>
#include <QStringDecoder>

namespace {

QString strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

}

ToolResult runTool(const QString& executable, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(executable, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        return {};

    // Drain the pipe while the tool runs: a tool that writes more than the
    // pipe holds would otherwise wait for us forever.
    QByteArray output;
    while (process.waitForReadyRead(-1))
        output += process.readAll();
    process.waitForFinished(-1);
    output += process.readAll();

    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return {ok, strictUtf8(output)};
}
