#pragma once

// Records what a sink of a PipeWireSession plays, from its monitor, as a
// client of its own in this process (it connects to the session's socket by
// path, so this process's environment does not matter, unless it sets
// PIPEWIRE_REMOTE, which would take precedence and is refused).

#include <QString>

#include <optional>
#include <vector>

class PipeWireSession;

// `milliseconds` of interleaved stereo float at 48 kHz from the monitor of
// the sink named sinkName. Empty, with the reason in *error, when the sink
// does not exist or the recording did not complete in time. *startedNs, when
// asked for, is the CLOCK_MONOTONIC time at which the first frame kept
// arrived, so that two recordings made at once can be laid side by side.
std::vector<float> recordMonitor(const PipeWireSession& session, const QString& sinkName, int milliseconds,
                                 QString* error = nullptr, qint64* startedNs = nullptr);

// Waits until a tone plays steadily on the sink: a stream that has just been
// linked may still be filling its buffers. Two consecutive 100 ms recordings
// must find it at the same amplitude (within 1 %), above -80 dB. Returns
// that amplitude, or nothing (with the reason in *error) after timeoutMs.
std::optional<double> waitForSteadyTone(const PipeWireSession& session, const QString& sinkName, double frequency,
                                        int timeoutMs = 5000, QString* error = nullptr);
