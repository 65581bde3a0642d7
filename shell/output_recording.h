#pragma once

// What the simulated output devices play, written to a 32-bit float WAV file
// as it plays (--demo --record-output), so that a script can measure what a
// person would hear while it drives the mixer. The file is a valid WAV at
// every moment: its sizes are brought up to date with every write.

#include "simulated_audio_hardware.h"

#include <QFile>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class OutputRecording {
public:
    // Opens (replacing) the file and starts recording from now; nothing,
    // with the reason in *error, when the file cannot be written.
    static std::unique_ptr<OutputRecording> start(SimulatedAudioHardware& hardware, const QString& path,
                                                  QString* error);
    // Writes what is still unwritten, and the final sizes.
    ~OutputRecording();

    OutputRecording(const OutputRecording&) = delete;
    OutputRecording& operator=(const OutputRecording&) = delete;

private:
    OutputRecording(SimulatedAudioHardware& hardware, const QString& path);
    void run();
    bool writeSince();

    SimulatedAudioHardware& m_hardware;
    QFile m_file;
    std::int64_t m_position = 0;
    quint64 m_dataBytes = 0;
    bool m_failed = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};
