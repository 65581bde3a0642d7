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
// so that each harmonic falls on a frequency bin of its own.
inline ToneFigures measureTone(const std::vector<float>& stereo, double rate, double frequency)
{
    ToneFigures figures;
    for (const float sample : stereo)
        figures.peak = std::max(figures.peak, std::fabs(sample));
    const std::size_t frames = stereo.size() / 2;
    double harmonics = 0.0;
    for (int k = 1; k <= 10 && frames > 0; ++k) {
        double re = 0.0, im = 0.0;
        for (std::size_t f = 0; f < frames; ++f) {
            re += stereo[2 * f] * std::cos(2.0 * std::numbers::pi * frequency * k * double(f) / rate);
            im += stereo[2 * f] * std::sin(2.0 * std::numbers::pi * frequency * k * double(f) / rate);
        }
        const double amplitude = 2.0 * std::hypot(re, im) / double(frames);
        (k == 1 ? figures.fundamental : harmonics) += k == 1 ? amplitude : amplitude * amplitude;
    }
    figures.thd = figures.fundamental > 0.0 ? std::sqrt(harmonics) / figures.fundamental : 0.0;
    return figures;
}

// The amplitude of a tone on the left side of frames [first, first + count)
// of interleaved stereo, through a Hann window: exact for any phase when the
// span holds a whole number of its periods, blind then to tones two or more
// whole numbers away, and nearly so to a step in another tone's level.
inline double toneAmplitude(const std::vector<float>& stereo, std::size_t first, std::size_t count, double rate,
                            double frequency)
{
    double re = 0.0, im = 0.0, weights = 0.0;
    for (std::size_t f = first; f < first + count && 2 * f < stereo.size(); ++f) {
        const double n = double(f - first);
        const double weight = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / double(count));
        const double phase = 2.0 * std::numbers::pi * frequency * n / rate;
        re += weight * stereo[2 * f] * std::cos(phase);
        im += weight * stereo[2 * f] * std::sin(phase);
        weights += weight;
    }
    return weights == 0.0 ? 0.0 : 2.0 * std::hypot(re, im) / weights;
}
