#include "limiter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// Whether every sample is a number within ±1.0. It reads them all, with no
// early exit, so that the common contiguous case vectorises: this is all the
// limiter costs while the mix stays below full scale.
bool withinFullScale(const float* samples, std::size_t stride, std::size_t count)
{
    bool outside = false;
    if (stride == 1) {
        for (std::size_t i = 0; i < count; ++i)
            outside |= !(std::fabs(samples[i]) <= 1.0f);
    } else {
        for (std::size_t i = 0; i < count; ++i)
            outside |= !(std::fabs(samples[i * stride]) <= 1.0f);
    }
    return !outside;
}

// The last guard: the gain leaves a sample at most a rounding step past full
// scale, and a sample that is not a number would keep no promise at all.
inline float bounded(float sample)
{
    if (sample != sample)
        return 0.0f;
    return std::clamp(sample, -1.0f, 1.0f);
}

} // namespace

namespace {

// The gain `since` frames into a release from `from`, never below `before`
// (the frame before's, which rounding near the end could undercut).
inline float released(float from, std::uint32_t since, float before)
{
    if (since >= Limiter::kReleaseFrames)
        return 1.0f;   // exactly: from here on the samples are left alone
    // Smoothstep: it leaves the reduced gain and arrives at unity with no
    // slope, so neither end of the release is heard as a bend.
    const float t = float(since) * (1.0f / float(Limiter::kReleaseFrames));
    return std::max(before, from + (1.0f - from) * (t * t * (3.0f - 2.0f * t)));
}

// Limits the frames [begin, end) of one channel (b null) or two. The state
// is worked on in locals, which the stores to the samples cannot alias.
template <bool Pair>
void limitFrames(float* a, float* b, std::uint32_t stride, std::uint32_t begin, std::uint32_t end, float& gainState,
                 float& fromState, std::uint32_t& sinceState) noexcept
{
    float gain = gainState;
    float from = fromState;
    std::uint32_t since = sinceState;
    for (std::uint32_t f = begin; f < end; ++f) {
        float* x = a + std::size_t(f) * stride;
        float* y = Pair ? b + std::size_t(f) * stride : nullptr;
        if (since < Limiter::kReleaseFrames)
            gain = released(from, ++since, gain);
        const float peak = Pair ? std::max(std::fabs(*x), std::fabs(*y)) : std::fabs(*x);
        // An infinite peak gives a gain of 0; one that is not a number
        // fails the test and changes nothing.
        if (peak * gain > 1.0f) {
            gain = 1.0f / peak;
            from = gain;
            since = 0;
        }
        if (gain != 1.0f) {
            *x = bounded(*x * gain);
            if constexpr (Pair)
                *y = bounded(*y * gain);
        } else {
            // At unity the samples are within ±1.0 or not numbers; only
            // those are written, so the rest keep their bits.
            if (*x != *x)
                *x = 0.0f;
            if constexpr (Pair) {
                if (*y != *y)
                    *y = 0.0f;
            }
        }
    }
    gainState = gain;
    fromState = from;
    sinceState = since;
}

} // namespace

void Limiter::limit(float* a, float* b, std::uint32_t stride, std::uint32_t from, std::uint32_t frames) noexcept
{
    if (b)
        limitFrames<true>(a, b, stride, from, frames, m_gain, m_from, m_since);
    else
        limitFrames<false>(a, nullptr, stride, from, frames, m_gain, m_from, m_since);
}

void Limiter::process(float* left, float* right, std::uint32_t stride, std::uint32_t leftFrames,
                      std::uint32_t rightFrames) noexcept
{
    const bool mono = left == right;
    if (mono)
        rightFrames = leftFrames;
    const std::uint32_t both = std::min(leftFrames, rightFrames);

    if (m_since >= kReleaseFrames) {
        const bool contiguousPair = !mono && stride == 2 && right == left + 1 && leftFrames == rightFrames;
        const bool quiet = contiguousPair
            ? withinFullScale(left, 1, std::size_t(both) * 2)
            : withinFullScale(left, stride, leftFrames) && (mono || withinFullScale(right, stride, rightFrames));
        if (quiet)
            return;
    }

    if (mono) {
        limit(left, nullptr, stride, 0, leftFrames);
        return;
    }
    limit(left, right, stride, 0, both);
    // The longer side of two unequal buffers goes on with the shared gain.
    if (leftFrames > both)
        limit(left, nullptr, stride, both, leftFrames);
    else if (rightFrames > both)
        limit(right, nullptr, stride, both, rightFrames);
}

void Limiter::pass(std::uint32_t frames) noexcept
{
    if (frames == 0 || m_since >= kReleaseFrames)
        return;
    // Moved on in one step, to the gain of the last silent frame.
    const std::uint32_t left = kReleaseFrames - m_since;
    if (frames >= left) {
        reset();
        return;
    }
    m_since += frames;
    m_gain = released(m_from, m_since, m_gain);
}

void Limiter::reset() noexcept
{
    m_gain = 1.0f;
    m_from = 1.0f;
    m_since = kReleaseFrames;
}
