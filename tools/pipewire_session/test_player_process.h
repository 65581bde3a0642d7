#pragma once

// ravlet-test-player run as a client of a PipeWireSession, optionally under
// another name, the way a real application's binary would appear.

#include "child_process.h"

#include <QString>

#include <functional>

class PipeWireSession;

struct PlayerOptions {
    QString api = QStringLiteral("pipewire");   // or "pulse"
    QString name = {};                          // application name; empty: the binary's default
    double frequency = 440.0;
    double rightFrequency = 0.0;                // the right side's tone; 0: the same on every side
    double amplitude = 0.25;
    QString target = {};                        // sink's node.name; empty: the default sink
    int channels = 2;
    double seconds = 0.0;                       // 0: until stopped
    QString executableName = {};                // run as a copy of this name in the session's bin/
    double restartAfter = 0.0;                  // > 0: a new stream, in the same process, after this
    qint64 claimedPid = 0;                      // > 0: said to be its process (PipeWire's API only)
    QString claimedBinary = {};                 // said to be its program (PipeWire's API only)
    QString claimedMixer = {};                  // said to be a mixer's client: that mark (PipeWire's API only)
};

class TestPlayer {
public:
    explicit TestPlayer(const PipeWireSession& session) : session_(session) {}

    bool start(const PlayerOptions& options);
    // SIGTERM, then SIGKILL after a bound; true when it ended on SIGTERM.
    bool stop() { return process_.stop(); }
    bool isRunning() const { return process_.isRunning(); }
    bool waitForExit(int timeoutMs) { return process_.waitForExit(timeoutMs); }
    int exitCode() const { return process_.exitCode(); }
    qint64 pid() const { return process_.pid(); }
    QString output() const { return process_.log(); }

    static QString executablePath();

private:
    const PipeWireSession& session_;
    ChildProcess process_;
};

// A desktop mixer's move of a PulseAudio sink input to the sink named
// sink. Its client stays connected until landed() holds: PipeWire drops
// what a client sent if it hangs up before the daemon has read it, which
// loses pactl's moves on a busy machine. False when the server refused the
// move or it had not landed within timeoutMs.
bool moveSinkInput(const PipeWireSession& session, quint32 index, const QString& sink,
                   const std::function<bool()>& landed, int timeoutMs = 5000);
