#include "output_recording.h"

#include <QtEndian>

#include <chrono>
#include <cstring>

namespace {

constexpr quint16 kFloatFormat = 3;   // WAVE_FORMAT_IEEE_FLOAT
constexpr quint16 kChannels = 2;
constexpr quint16 kBytesPerSample = 4;
constexpr qint64 kHeaderBytes = 58;   // RIFF, fmt (18 bytes), fact, data
// Often enough that a second of the devices' memory is never outrun, even
// while the main thread is busy with a rebuild.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

void putLE16(char* at, quint16 value) { qToLittleEndian(value, at); }
void putLE32(char* at, quint32 value) { qToLittleEndian(value, at); }

// The header for `dataBytes` of samples; sizes past 4 GiB are capped, as
// the format cannot say more.
QByteArray header(quint64 dataBytes)
{
    const quint32 data = quint32(std::min<quint64>(dataBytes, 0xFFFFFFFFu - kHeaderBytes));
    QByteArray bytes(kHeaderBytes, '\0');
    char* h = bytes.data();
    std::memcpy(h, "RIFF", 4);
    putLE32(h + 4, quint32(kHeaderBytes - 8) + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLE32(h + 16, 18);
    putLE16(h + 20, kFloatFormat);
    putLE16(h + 22, kChannels);
    putLE32(h + 24, quint32(SimulatedAudioHardware::kSampleRate));
    putLE32(h + 28, quint32(SimulatedAudioHardware::kSampleRate) * kChannels * kBytesPerSample);
    putLE16(h + 32, kChannels * kBytesPerSample);
    putLE16(h + 34, kBytesPerSample * 8);
    putLE16(h + 36, 0);
    // Files not in integer samples carry the number of frames.
    std::memcpy(h + 38, "fact", 4);
    putLE32(h + 42, 4);
    putLE32(h + 46, data / (kChannels * kBytesPerSample));
    std::memcpy(h + 50, "data", 4);
    putLE32(h + 54, data);
    return bytes;
}

} // namespace

std::unique_ptr<OutputRecording> OutputRecording::start(SimulatedAudioHardware& hardware, const QString& path,
                                                        QString* error)
{
    std::unique_ptr<OutputRecording> recording(new OutputRecording(hardware, path));
    if (!recording->m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || recording->m_file.write(header(0)) != kHeaderBytes || !recording->m_file.flush()) {
        if (error)
            *error = recording->m_file.errorString();
        return nullptr;
    }
    // From now on, not from the first cycle the devices ever played.
    recording->m_position = INT64_MAX;
    recording->m_hardware.playedSince(recording->m_position);
    recording->m_thread = std::thread([r = recording.get()] { r->run(); });
    return recording;
}

OutputRecording::OutputRecording(SimulatedAudioHardware& hardware, const QString& path)
    : m_hardware(hardware)
    , m_file(path)
{
}

OutputRecording::~OutputRecording()
{
    if (m_thread.joinable()) {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        writeSince();
    }
}

void OutputRecording::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_wake.wait_for(lock, kPollInterval, [this] { return m_stop; })) {
        lock.unlock();
        const bool written = writeSince();
        lock.lock();
        // A full disk ends the recording, not the mixer.
        if (!written)
            return;
    }
}

// The recording thread's, and the destructor's once the thread has ended.
bool OutputRecording::writeSince()
{
    if (m_failed)
        return false;
    const std::vector<float> played = m_hardware.playedSince(m_position);
    QByteArray bytes(qsizetype(played.size() * sizeof(float)), '\0');
    for (std::size_t i = 0; i < played.size(); ++i)
        qToLittleEndian(played[i], bytes.data() + i * sizeof(float));
    m_dataBytes += quint64(bytes.size());
    m_failed = m_file.write(bytes) != bytes.size() || !m_file.seek(0) || m_file.write(header(m_dataBytes)) != kHeaderBytes
            || !m_file.seek(m_file.size()) || !m_file.flush();
    return !m_failed;
}
