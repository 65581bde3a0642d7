#pragma once

// A program started for a test that must never outlive it: it runs in a
// session (and so a process group) of its own, dies with the test process,
// and is ended group-wide, so whatever it forked goes with it.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Output and errors go to logFile, never to a pipe nobody drains.
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment, const QString& logFile);

    bool isRunning() const;
    qint64 pid() const { return pid_; }
    QString program() const { return program_; }
    QString logFile() const { return logFile_; }
    QString log() const;

    // Exit status of a process that has ended; -1 while running or after a
    // crash or a kill by signal.
    int exitCode() const;

    // SIGTERM to the group, then SIGKILL after graceMs; reaps the process.
    // True when it ended on SIGTERM (or had ended already).
    bool stop(int graceMs = 3000);

    // Waits up to timeoutMs for the process to end by itself.
    bool waitForExit(int timeoutMs);

private:
    std::unique_ptr<QProcess> process_;
    QString program_;
    QString logFile_;
    qint64 pid_ = 0;
};

// Runs a short-lived tool to completion within timeoutMs; false (with the
// reason in *error) when it could not start, timed out or exited non-zero.
bool runTool(const QString& program, const QStringList& arguments,
             const QProcessEnvironment& environment, int timeoutMs,
             QByteArray* output, QString* error);
