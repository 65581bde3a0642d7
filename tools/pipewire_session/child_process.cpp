#include "child_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <QTime>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Runs in the child between fork and exec. A test killed by its runner's
// timeout gets no chance to clean up; the death signal ends its children
// with it.
void detachAndTieToParent(pid_t parent)
{
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
}

void configure(QProcess& process, const QProcessEnvironment& environment)
{
    const pid_t parent = getpid();
    process.setProcessEnvironment(environment);
    process.setChildProcessModifier([parent] { detachAndTieToParent(parent); });
}

bool groupAlive(qint64 group)
{
    return group > 0 && ::kill(static_cast<pid_t>(-group), 0) == 0;
}

} // namespace

ChildProcess::~ChildProcess()
{
    stop(1000);
}

bool ChildProcess::start(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, const QString& logFile)
{
    stop();
    program_ = program;
    logFile_ = logFile;
    QFile log(logFile);
    if (log.open(QIODevice::Append)) {
        log.write(QStringLiteral("[%1 starting %2 %3]\n")
                      .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), program, arguments.join(u' '))
                      .toUtf8());
        log.close();
    }
    process_ = std::make_unique<QProcess>();
    configure(*process_, environment);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setStandardOutputFile(logFile, QIODevice::Append);
    process_->setStandardInputFile(QProcess::nullDevice());
    process_->start(program, arguments);
    if (!process_->waitForStarted(5000)) {
        if (log.open(QIODevice::Append))
            log.write(QStringLiteral("[could not start %1: %2]\n").arg(program, process_->errorString()).toUtf8());
        process_.reset();
        pid_ = 0;
        return false;
    }
    pid_ = process_->processId();
    return true;
}

bool ChildProcess::isRunning() const
{
    if (!process_)
        return false;
    // Without an event loop QProcess learns of an exit only while waiting.
    if (process_->state() != QProcess::NotRunning)
        process_->waitForFinished(0);
    return process_->state() != QProcess::NotRunning;
}

QString ChildProcess::log() const
{
    QFile file(logFile_);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int ChildProcess::exitCode() const
{
    if (!process_ || process_->state() != QProcess::NotRunning || process_->exitStatus() != QProcess::NormalExit)
        return -1;
    return process_->exitCode();
}

bool ChildProcess::waitForExit(int timeoutMs)
{
    if (!isRunning())
        return true;
    return process_->waitForFinished(timeoutMs);
}

bool ChildProcess::stop(int graceMs)
{
    if (!process_)
        return true;
    bool onTerm = true;
    if (process_->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(-pid_), SIGTERM);
        if (!process_->waitForFinished(graceMs)) {
            onTerm = false;
            ::kill(static_cast<pid_t>(-pid_), SIGKILL);
            process_->waitForFinished(5000);
        }
    }
    // The leader is reaped; anything it forked into its group follows it. A
    // group id is not reused while the group has a member, so this is safe.
    if (groupAlive(pid_)) {
        ::kill(static_cast<pid_t>(-pid_), SIGKILL);
        const QDeadlineTimer deadline(2000);
        while (groupAlive(pid_) && !deadline.hasExpired())
            QThread::msleep(10);
    }
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(2000);
    }
    return onTerm && process_->state() == QProcess::NotRunning;
}

bool runTool(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment, int timeoutMs,
             QByteArray* output, QString* error)
{
    QProcess process;
    configure(process, environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("%1 %2: %3").arg(program, arguments.join(u' '), why);
        return false;
    };
    if (!process.waitForStarted(5000))
        return fail(process.errorString());
    if (!process.waitForFinished(timeoutMs)) {
        ::kill(static_cast<pid_t>(-process.processId()), SIGKILL);
        process.waitForFinished(2000);
        return fail(QStringLiteral("no answer within %1 ms").arg(timeoutMs));
    }
    const QByteArray out = process.readAllStandardOutput();
    if (output)
        *output = out;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(QStringLiteral("exit %1: %2").arg(process.exitCode())
                        .arg(QString::fromUtf8(process.readAllStandardError()).trimmed()));
    return true;
}
