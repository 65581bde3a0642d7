#pragma once

// Levels of known tones in recorded audio. Each tone's amplitude comes from
// a linear least-squares fit of a sine and a cosine at its frequency, so the
// unknown phase at which a recording starts does not matter, and the rest
// of the signal (noise, clicks, gaps, other tones) is left in the residual.
//
// Levels are in dB relative to a full-scale sine: a tone of peak amplitude
// 1.0 is 0 dB, and so is a residual whose RMS is that of such a tone.

#include <span>
#include <vector>

struct SineFit {
    std::vector<double> frequencies;  // Hz, in the order asked for
    std::vector<double> amplitudes;   // peak amplitude of each
    std::vector<double> sinTerms;     // the fitted coefficients, for the residual
    std::vector<double> cosTerms;
    int channels = 2;
    double sampleRate = 48000.0;
    bool valid = false;               // false: no samples, bad channel, or frequencies the window cannot tell apart
};

// samples are interleaved frames of `channels` channels. An invalid fit has
// NaN amplitudes, so no comparison with it passes.
SineFit fitAmplitudes(std::span<const float> samples, int channel, const std::vector<double>& frequencies,
                      int channels = 2, double sampleRate = 48000.0);

// RMS of what the fitted tones leave over in the channel.
double residualDb(std::span<const float> samples, int channel, const SineFit& fit);

// The level of one tone in the channel.
double energyDb(std::span<const float> samples, int channel, double frequency,
                int channels = 2, double sampleRate = 48000.0);

// 20·log10 of a peak amplitude, floored at -200 dB so silence compares as a
// number.
double amplitudeDb(double amplitude);
