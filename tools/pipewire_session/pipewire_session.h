#pragma once

// A private PipeWire session for tests: its own runtime, state, config and
// data directories and D-Bus session bus, with pipewire, wireplumber and
// pipewire-pulse started inside them, and two null sinks ("speakers",
// "headphones"). Nothing here reaches the user's own session: every program
// is started with the session's environment, and the variables that could
// point a client elsewhere are removed.

#include "child_process.h"

#include <QJsonArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class PipeWireSession {
public:
    PipeWireSession();
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Starts the bus and the three daemons, and returns once WirePlumber has
    // chosen a default sink and the pulse socket answers, or false (with
    // errorString() holding the daemons' logs) after timeoutMs.
    bool start(int timeoutMs = 10000);
    // Ends and starts the three daemons again, keeping the directories (and
    // with them WirePlumber's stored state) and the bus. WirePlumber writes a
    // change to its state about a second after it is made; a restart sooner
    // loses it, as a crash would. With forgetState, WirePlumber's stored
    // state goes while the daemons are down: a session as new.
    bool restart(int timeoutMs = 10000, bool forgetState = false);
    // Ends every process of the session; also done on destruction.
    void stop();

    bool isRunning() const;
    QString errorString() const { return error_; }

    // For child clients: the session's directories and bus, and none of the
    // variables that would lead a client to another server or display.
    QProcessEnvironment environment() const;
    // The same variables in this process, for in-process clients. Call before
    // the first PipeWire context is created.
    void applyToThisProcess() const;

    QString rootDir() const;       // holds all the directories below
    QString runtimeDir() const;    // XDG_RUNTIME_DIR: pipewire-0, pulse/native
    QString stateDir() const;      // XDG_STATE_HOME: WirePlumber's stored state
    QString configDir() const;     // XDG_CONFIG_HOME
    QString pipewireSocket() const;
    QString pulseSocket() const;
    // Every daemon's output so far, each under a header line.
    QString logs() const;
    // The ids of the running bus, pipewire, wireplumber and pipewire-pulse,
    // in that order (for checking that none is left).
    std::vector<qint64> pids() const;

    // pw-dump of the whole graph; empty (with the reason in *error) when it
    // fails. The queries in pw_dump.h read it.
    QJsonArray pwDump(QString* error = nullptr) const;
    // A value in the "default" metadata, as pw-metadata shows it (JSON values
    // compact, e.g. {"name":"speakers"}).
    std::optional<QString> metadataValue(quint32 subjectId, const QString& key) const;
    // Polls pw-dump until condition holds or timeoutMs passes; the last dump
    // goes to *last.
    bool waitUntil(const std::function<bool(const QJsonArray&)>& condition, int timeoutMs = 10000,
                   QJsonArray* last = nullptr) const;

    // Where WirePlumber will send each kind of stream it remembers (its key,
    // e.g. "Output/Audio:media.role:Music", to the node's name), read from
    // its state files, which no interface of its tells: "restore-stream" up
    // to 0.4, "stream-properties" from 0.5 on. Nothing before it first wrote
    // them.
    std::optional<QMap<QString, QString>> rememberedTargets() const;

    // Runs a tool of the session (pw-cli, pactl, ...) within timeoutMs.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
             QString* error = nullptr, int timeoutMs = 5000) const;

private:
    bool prepareDirectories();
    // The minor version of the WirePlumber the session starts (0.x).
    std::optional<int> wireplumberVersion() const;
    bool startBus();
    bool startDaemons(int timeoutMs);
    void stopDaemons();
    bool fail(const QString& why);
    QString logPath(const QString& name) const;

    std::unique_ptr<QTemporaryDir> dir_;
    QString busAddress_;
    ChildProcess bus_;
    ChildProcess pipewire_;
    ChildProcess wireplumber_;
    ChildProcess pulse_;
    QString error_;
};
