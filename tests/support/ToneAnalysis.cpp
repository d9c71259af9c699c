#include "support/ToneAnalysis.h"

#include <cmath>
#include <numbers>

namespace tamsel::test {

namespace {

constexpr double HeardRms = 100.0;       // about -50 dBFS
constexpr double SilentRms = 10.0;       // about -70 dBFS
constexpr double HeardToneRatio = 100.0; // 20 dB

} // namespace

double ToneMeasure::toneToNeighbours() const {
    if (tonePower <= 0.0) {
        return 0.0;
    }
    return neighbourPower <= 0.0 ? HUGE_VAL : tonePower / neighbourPower;
}

double goertzelPower(const std::vector<float>& samples, double sampleRate, double frequency) {
    const size_t n = samples.size();
    if (n < 2) {
        return 0.0;
    }
    const double omega = 2.0 * std::numbers::pi * frequency / sampleRate;
    const double coefficient = 2.0 * std::cos(omega);
    double s1 = 0.0;
    double s2 = 0.0;
    for (size_t i = 0; i < n; ++i) {
        // Hann window, so a strong tone does not leak into the neighbours we compare with.
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                   static_cast<double>(n - 1));
        const double s0 = window * samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return power / (static_cast<double>(n) * static_cast<double>(n));
}

double rms(const std::vector<float>& samples) {
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

ToneMeasure measureTone(const std::vector<float>& samples, double sampleRate, double frequency) {
    ToneMeasure m;
    m.rms = rms(samples);
    m.tonePower = goertzelPower(samples, sampleRate, frequency);
    // A third of the frequency away on either side, and further: far enough that a pure
    // tone's window leakage is negligible there, near enough to catch broadband sound.
    const double factors[] = {0.5, 0.67, 0.75, 1.33, 1.5, 2.0};
    double sum = 0.0;
    for (double f : factors) {
        sum += goertzelPower(samples, sampleRate, frequency * f);
    }
    m.neighbourPower = sum / static_cast<double>(std::size(factors));
    return m;
}

bool toneHeard(const ToneMeasure& measure) {
    return measure.rms >= HeardRms && measure.toneToNeighbours() >= HeardToneRatio;
}

bool silent(const ToneMeasure& measure) {
    return measure.rms < SilentRms;
}

} // namespace tamsel::test
