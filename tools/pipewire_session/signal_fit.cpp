#include "signal_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t frameCount(std::span<const float> samples, int channels)
{
    return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0;
}

// Solves the symmetric system m·x = v in place by Gaussian elimination with
// partial pivoting. False when a pivot falls below kMinPivot of the largest
// diagonal entry: for two tones that happens when they lie closer than about
// a fiftieth of 1/window (0.2 Hz in 100 ms), where noise in the samples would
// reach the amplitudes magnified more than thirty-fold.
constexpr double kMinPivot = 1e-3;

bool solve(std::vector<double>& m, std::vector<double>& v, std::size_t n)
{
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        scale = std::max(scale, std::abs(m[i * n + i]));
    if (scale == 0.0)
        return false;
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t row = col + 1; row < n; ++row) {
            if (std::abs(m[row * n + col]) > std::abs(m[pivot * n + col]))
                pivot = row;
        }
        if (std::abs(m[pivot * n + col]) < scale * kMinPivot)
            return false;
        if (pivot != col) {
            for (std::size_t k = 0; k < n; ++k)
                std::swap(m[col * n + k], m[pivot * n + k]);
            std::swap(v[col], v[pivot]);
        }
        for (std::size_t row = col + 1; row < n; ++row) {
            const double factor = m[row * n + col] / m[col * n + col];
            for (std::size_t k = col; k < n; ++k)
                m[row * n + k] -= factor * m[col * n + k];
            v[row] -= factor * v[col];
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        double sum = v[i];
        for (std::size_t k = i + 1; k < n; ++k)
            sum -= m[i * n + k] * v[k];
        v[i] = sum / m[i * n + i];
    }
    return true;
}

// The sine and cosine of every frequency at one frame, in fit order.
void basis(const std::vector<double>& frequencies, double sampleRate, std::size_t frame, std::vector<double>& out)
{
    const double t = static_cast<double>(frame) / sampleRate;
    for (std::size_t k = 0; k < frequencies.size(); ++k) {
        const double phase = 2.0 * std::numbers::pi * frequencies[k] * t;
        out[2 * k] = std::sin(phase);
        out[2 * k + 1] = std::cos(phase);
    }
}

} // namespace

SineFit fitAmplitudes(std::span<const float> samples, int channel, const std::vector<double>& frequencies,
                      int channels, double sampleRate)
{
    SineFit fit;
    fit.frequencies = frequencies;
    fit.channels = channels;
    fit.sampleRate = sampleRate;
    fit.amplitudes.assign(frequencies.size(), kNaN);
    fit.sinTerms.assign(frequencies.size(), kNaN);
    fit.cosTerms.assign(frequencies.size(), kNaN);

    const std::size_t frames = frameCount(samples, channels);
    const std::size_t n = 2 * frequencies.size();
    if (frames == 0 || n == 0 || channel < 0 || channel >= channels || sampleRate <= 0.0)
        return fit;

    std::vector<double> normal(n * n, 0.0);
    std::vector<double> projection(n, 0.0);
    std::vector<double> row(n);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        basis(frequencies, sampleRate, frame, row);
        const double x = samples[frame * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)];
        for (std::size_t i = 0; i < n; ++i) {
            projection[i] += row[i] * x;
            for (std::size_t j = i; j < n; ++j)
                normal[i * n + j] += row[i] * row[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j)
            normal[i * n + j] = normal[j * n + i];
    }
    if (!solve(normal, projection, n))
        return fit;

    for (std::size_t k = 0; k < frequencies.size(); ++k) {
        fit.sinTerms[k] = projection[2 * k];
        fit.cosTerms[k] = projection[2 * k + 1];
        fit.amplitudes[k] = std::hypot(fit.sinTerms[k], fit.cosTerms[k]);
    }
    fit.valid = true;
    return fit;
}

double residualDb(std::span<const float> samples, int channel, const SineFit& fit)
{
    const std::size_t frames = frameCount(samples, fit.channels);
    if (!fit.valid || frames == 0 || channel < 0 || channel >= fit.channels)
        return kNaN;
    std::vector<double> row(2 * fit.frequencies.size());
    double sumSquares = 0.0;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        basis(fit.frequencies, fit.sampleRate, frame, row);
        double model = 0.0;
        for (std::size_t k = 0; k < fit.frequencies.size(); ++k)
            model += fit.sinTerms[k] * row[2 * k] + fit.cosTerms[k] * row[2 * k + 1];
        const double error =
            samples[frame * static_cast<std::size_t>(fit.channels) + static_cast<std::size_t>(channel)] - model;
        sumSquares += error * error;
    }
    const double rms = std::sqrt(sumSquares / static_cast<double>(frames));
    return amplitudeDb(rms * std::numbers::sqrt2);
}

double energyDb(std::span<const float> samples, int channel, double frequency, int channels, double sampleRate)
{
    const SineFit fit = fitAmplitudes(samples, channel, {frequency}, channels, sampleRate);
    return fit.valid ? amplitudeDb(fit.amplitudes[0]) : kNaN;
}

double amplitudeDb(double amplitude)
{
    if (std::isnan(amplitude))
        return kNaN;
    return std::max(20.0 * std::log10(amplitude), -200.0);
}
