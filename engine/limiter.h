#pragma once

// The peak limiter on a device's mix, for boosts that must never clip.
//
// It works on the two output channels after the mix and before the device:
// the gain drops at once to what keeps the loudest side of a frame at full
// scale (no look-ahead, so no added latency), and comes back to unity along
// a smooth S-shaped curve over kReleaseFrames. Once it is back the gain is
// exactly 1 and the samples are not touched at all, so a mix that stays
// within full scale is passed on bit for bit, as without the limiter.

#include <cstdint>

class Limiter {
public:
    // About a tenth of a second at the 44.1 and 48 kHz desktops run at: long
    // enough that a sustained boost is turned down as a whole rather than
    // cycle by cycle (which would distort), short enough that a single
    // loud moment does not leave the rest quieter for long.
    static constexpr std::uint32_t kReleaseFrames = 4800;

    // Limits `leftFrames` samples of left and `rightFrames` of right, each
    // `stride` samples apart, in place. Both sides share one gain, so that
    // the stereo image does not move. Left and right may be the same
    // channel (a mono output). Afterwards every sample is within ±1.0; one
    // that is not a number becomes silence.
    //
    // Real-time safe: fixed state, no allocation, lock, log or wait.
    void process(float* left, float* right, std::uint32_t stride, std::uint32_t leftFrames,
                 std::uint32_t rightFrames) noexcept;

    // Frames in which the device played silence: they count toward the
    // release. Real-time safe.
    void pass(std::uint32_t frames) noexcept;

    // Back at unity at once. Real-time safe.
    void reset() noexcept;

    float gain() const noexcept { return m_gain; }

private:
    // Limits the frames [from, frames) of one or two channels.
    void limit(float* a, float* b, std::uint32_t stride, std::uint32_t from, std::uint32_t frames) noexcept;

    float m_gain = 1.0f;     // exactly 1 while idle
    float m_from = 1.0f;     // the gain the release started from
    std::uint32_t m_since = kReleaseFrames;   // frames since the last drop
};
