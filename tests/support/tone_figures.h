#pragma once

// What became of a pure tone on its way to the device: its peak, the
// amplitude of its fundamental and its harmonic distortion.

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

struct ToneFigures {
    float peak = 0.0f;          // the largest |sample| of either side
    double fundamental = 0.0;   // the left side's amplitude at the tone's frequency
    double thd = 0.0;           // harmonics 2 to 10 against the fundamental, as a ratio
};

// stereo: interleaved frames spanning a whole number of the tone's periods,
// so that each harmonic falls on its own frequency bin.
inline ToneFigures measureTone(const std::vector<float>& stereo, double rate, double frequency)
{
    ToneFigures figures;
    for (const float sample : stereo)
        figures.peak = std::max(figures.peak, std::fabs(sample));
    const std::size_t frames = stereo.size() / 2;
    if (frames == 0)
        return figures;
    const auto amplitude = [&](int harmonic) {
        const double step = 2.0 * std::numbers::pi * frequency * harmonic / rate;
        double re = 0.0;
        double im = 0.0;
        for (std::size_t f = 0; f < frames; ++f) {
            re += stereo[2 * f] * std::cos(step * double(f));
            im += stereo[2 * f] * std::sin(step * double(f));
        }
        return 2.0 * std::hypot(re, im) / double(frames);
    };
    figures.fundamental = amplitude(1);
    double harmonics = 0.0;
    for (int k = 2; k <= 10; ++k)
        harmonics += std::pow(amplitude(k), 2);
    figures.thd = figures.fundamental > 0.0 ? std::sqrt(harmonics) / figures.fundamental : 0.0;
    return figures;
}
