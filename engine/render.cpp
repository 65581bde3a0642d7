#include "render.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

RenderState::RenderState()
{
    for (auto& gain : activeGains)
        gain.store(1.0f, std::memory_order_relaxed);
    for (auto& peak : diagPeaks)
        peak.store(0.0f, std::memory_order_relaxed);
    clearMeters();
}

void RenderState::clearMeters()
{
    for (auto& meter : meterBuf)
        meter.store(0.0f, std::memory_order_relaxed);
}

float slotGain(std::optional<float> gain, bool muted)
{
    if (muted)
        return 0.0f;
    if (!gain || !std::isfinite(*gain))
        return 1.0f;
    if (std::fabs(*gain - 1.0f) < 0.001f)
        return 1.0f;
    return *gain;
}

namespace {

struct Channel {
    const float* data = nullptr;
    UInt32 stride = 1;
    UInt32 frames = 0;
    UInt32 channelInBuffer = 0;
};

UInt32 framesOf(const AudioBuffer& buffer)
{
    const std::uint64_t channels = buffer.mNumberChannels ? buffer.mNumberChannels : 1;
    return UInt32(buffer.mDataByteSize / (4 * channels));
}

// A scaled sample is kept finite, so that two slots overflowing in opposite
// directions can never sum to NaN; a NaN input stays NaN and is not hidden.
inline float scaled(float gain, float sample)
{
    return std::clamp(gain * sample, -FLT_MAX, FLT_MAX);
}

float mixStrided(const float* __restrict in, UInt32 inStride, float* __restrict out, UInt32 outStride, UInt32 frames,
                 float gain)
{
    float peak = 0.0f;
    for (UInt32 f = 0; f < frames; ++f) {
        const float v = scaled(gain, in[std::size_t(f) * inStride]);
        out[std::size_t(f) * outStride] += v;
        peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

// Four floats at once, with the compiler's generic vector types (GCC and
// Clang alike), so the everyday layout runs four lanes wide on any target.
typedef float Floats4 __attribute__((vector_size(16)));
typedef int Ints4 __attribute__((vector_size(16)));

inline Floats4 load4(const float* p)
{
    Floats4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, Floats4 v)
{
    std::memcpy(p, &v, sizeof v);
}

// Lane-wise `when ? a : b`, written with bit operations both compilers accept.
inline Floats4 select4(Ints4 when, Floats4 a, Floats4 b)
{
    return Floats4((when & Ints4(a)) | (~when & Ints4(b)));
}

// Same lane semantics as scaled() and std::max(peak, |v|): a NaN sample
// stays NaN in the output and leaves the peak alone.
inline Floats4 mix4(const float* in, float* out, Floats4 gain, Floats4 peak)
{
    const Floats4 lowest = {-FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX};
    const Floats4 highest = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    const Ints4 magnitudeBits = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    Floats4 v = gain * load4(in);
    v = select4(v < lowest, lowest, v);
    v = select4(highest < v, highest, v);
    store4(out, load4(out) + v);
    const Floats4 magnitude = Floats4(Ints4(v) & magnitudeBits);
    return select4(peak < magnitude, magnitude, peak);
}

// Interleaved stereo into interleaved stereo, the everyday layout: one
// contiguous run.
float mixContiguous(const float* __restrict in, float* __restrict out, std::size_t samples, float gain)
{
    const Floats4 gains = {gain, gain, gain, gain};
    Floats4 peakA = {0, 0, 0, 0};
    Floats4 peakB = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= samples; i += 8) {
        peakA = mix4(in + i, out + i, gains, peakA);
        peakB = mix4(in + i + 4, out + i + 4, gains, peakB);
    }
    float peak = 0.0f;
    for (int k = 0; k < 4; ++k)
        peak = std::max({peak, peakA[k], peakB[k]});
    for (; i < samples; ++i) {
        const float v = scaled(gain, in[i]);
        out[i] += v;
        peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

float channelPeak(const Channel& channel, UInt32 frames)
{
    if (!channel.data)
        return 0.0f;
    const UInt32 n = std::min(frames, channel.frames);
    float peak = 0.0f;
    for (UInt32 f = 0; f < n; ++f)
        peak = std::max(peak, std::fabs(channel.data[std::size_t(f) * channel.stride]));
    return peak;
}

} // namespace

void render(RenderState& state, const AudioBufferList& input, AudioBufferList& output) noexcept
{
    state.cycles.fetch_add(1, std::memory_order_relaxed);
    if (output.mNumberBuffers == 0)
        return;

    const AudioBuffer& firstOut = output.mBuffers[0];
    const UInt32 outFrames = framesOf(firstOut);

    // The taps' channels are the last ones the device delivers, however many
    // inputs of its own the output device has before them, so the table is
    // cut from the end: the first pass counts the channels, the second keeps
    // the first few (for the diagnostics) and the taps' 2 × count.
    std::uint64_t delivered = 0;
    UInt32 inFrames = 0;
    for (UInt32 b = 0; b < input.mNumberBuffers; ++b) {
        const AudioBuffer& buffer = input.mBuffers[b];
        if (!buffer.mData)
            continue;
        delivered += std::max<UInt32>(buffer.mNumberChannels, 1);
        inFrames = std::max(inFrames, framesOf(buffer));
    }
    const int count = std::clamp(state.activeCount.load(std::memory_order_relaxed), 0, kSlotCount);
    const int slotCount = std::clamp(count + state.meterOnlyCount.load(std::memory_order_relaxed), count, kSlotCount);
    const std::uint64_t tapStart =
        delivered > std::uint64_t(2 * slotCount) ? delivered - std::uint64_t(2 * slotCount) : 0;

    Channel firstChannels[kDiagChannels];
    Channel tapChannels[2 * kSlotCount];
    std::uint64_t first = 0;   // the channel index of the buffer's first channel
    for (UInt32 b = 0; b < input.mNumberBuffers && first < delivered; ++b) {
        const AudioBuffer& buffer = input.mBuffers[b];
        if (!buffer.mData)
            continue;
        const UInt32 channels = std::max<UInt32>(buffer.mNumberChannels, 1);
        const UInt32 stride = buffer.mNumberChannels < 2 ? 1 : buffer.mNumberChannels;
        const UInt32 frames = framesOf(buffer);
        const auto* samples = static_cast<const float*>(buffer.mData);
        const auto keep = [&](Channel* table, std::uint64_t from, std::uint64_t to) {
            for (std::uint64_t ch = std::max(first, from); ch < std::min(first + channels, to); ++ch) {
                const auto k = UInt32(ch - first);
                table[ch - from] = {samples + k, stride, frames, k};
            }
        };
        keep(firstChannels, 0, kDiagChannels);
        keep(tapChannels, tapStart, delivered);
        first += channels;
    }

    for (UInt32 b = 0; b < output.mNumberBuffers; ++b) {
        AudioBuffer& buffer = output.mBuffers[b];
        if (buffer.mData)
            std::memset(buffer.mData, 0, buffer.mDataByteSize);
    }

    const UInt32 frames = inFrames == 0 ? outFrames : std::min(inFrames, outFrames);
    constexpr std::uint64_t kIntMax = std::numeric_limits<int>::max();
    state.diagNch.store(int(std::min(delivered, kIntMax)), std::memory_order_relaxed);
    state.diagOffset.store(int(std::min(tapStart, kIntMax)), std::memory_order_relaxed);
    for (int i = 0; i < kDiagChannels; ++i) {
        const float peak = std::uint64_t(i) < delivered ? channelPeak(firstChannels[i], frames) : 0.0f;
        state.diagPeaks[std::size_t(i)].store(peak, std::memory_order_relaxed);
    }

    const bool limiting = state.preventClipping.load(std::memory_order_relaxed);
    if (!limiting)
        state.limiter.reset();

    if (delivered == 0 || frames == 0 || slotCount == 0) {
        // Silence counts toward the limiter's release like any quiet sound.
        if (limiting)
            state.limiter.pass(outFrames);
        return;
    }

    float* outLeft = nullptr;
    float* outRight = nullptr;
    UInt32 outStride = 1;
    UInt32 leftRoom = 0;
    UInt32 rightRoom = 0;
    if (output.mNumberBuffers >= 2 && firstOut.mNumberChannels == 1) {
        const AudioBuffer& second = output.mBuffers[1];
        if (!firstOut.mData || !second.mData)
            return;
        outLeft = static_cast<float*>(firstOut.mData);
        outRight = static_cast<float*>(second.mData);
        leftRoom = firstOut.mDataByteSize / 4;
        rightRoom = second.mDataByteSize / 4;
    } else {
        if (!firstOut.mData)
            return;
        outLeft = static_cast<float*>(firstOut.mData);
        outRight = firstOut.mNumberChannels > 1 ? outLeft + 1 : outLeft;
        outStride = firstOut.mNumberChannels < 2 ? 1 : firstOut.mNumberChannels;
        leftRoom = rightRoom = outFrames;
    }
    const UInt32 leftFrames = std::min(frames, leftRoom);
    const UInt32 rightFrames = std::min(frames, rightRoom);
    const bool stereoInterleavedOut = outStride == 2 && outRight == outLeft + 1 && leftFrames == rightFrames;

    // Slots past the mixed ones are only listened to: their peak as it
    // comes, nothing added to the output or the master.
    for (int s = count; s < slotCount; ++s) {
        if (tapStart + std::uint64_t(2 * s) + 1 >= delivered)
            break;
        const float peak = std::max(channelPeak(tapChannels[2 * s], frames), channelPeak(tapChannels[2 * s + 1], frames));
        state.meterBuf[std::size_t(s)].store(peak, std::memory_order_relaxed);
    }

    float master = 0.0f;
    for (int s = 0; s < count; ++s) {
        // Fewer channels than the taps need: the slots whose pair exists.
        if (tapStart + std::uint64_t(2 * s) + 1 >= delivered)
            break;
        const Channel& left = tapChannels[2 * s];
        const Channel& right = tapChannels[2 * s + 1];
        if (!left.data || !right.data)
            continue;

        const float gain = state.activeGains[std::size_t(s)].load(std::memory_order_relaxed);
        float peak = 0.0f;
        // Both channels of one interleaved stereo buffer, into interleaved stereo.
        const bool onePair = left.stride == 2 && left.channelInBuffer == 0 && right.channelInBuffer == 1
                             && right.data == left.data + 1;
        if (stereoInterleavedOut && onePair && left.frames >= leftFrames) {
            peak = mixContiguous(left.data, outLeft, std::size_t(leftFrames) * 2, gain);
        } else {
            peak = std::max(mixStrided(left.data, left.stride, outLeft, outStride,
                                       std::min(leftFrames, left.frames), gain),
                            mixStrided(right.data, right.stride, outRight, outStride,
                                       std::min(rightFrames, right.frames), gain));
        }
        state.meterBuf[std::size_t(s)].store(peak, std::memory_order_relaxed);
        master = std::max(master, peak);
    }
    state.meterBuf[kMasterMeter].store(master, std::memory_order_relaxed);

    if (limiting)
        state.limiter.process(outLeft, outRight, outStride, leftFrames, rightFrames);
}
