#pragma once

// Judging recorded audio the way an ear would: is a given tone there, and how loud is it.

#include <cstddef>
#include <vector>

namespace tamsel::test {

struct ToneMeasure {
    double rms = 0.0;            // of the whole window, in sample units (full scale 32767)
    double tonePower = 0.0;      // power at the asked frequency
    double neighbourPower = 0.0; // mean power at frequencies around it (a third off or more)
    // How far the tone stands out of its neighbourhood; large for a clean tone, near 1 for
    // noise or music, 0 for digital silence.
    double toneToNeighbours() const;
};

// Goertzel power at frequency over a Hann-windowed block.
double goertzelPower(const std::vector<float>& samples, double sampleRate, double frequency);
double rms(const std::vector<float>& samples);
ToneMeasure measureTone(const std::vector<float>& samples, double sampleRate, double frequency);

// Heard: loud enough to be noticed (about -50 dBFS) and the tone stands 20 dB above its
// neighbours.
bool toneHeard(const ToneMeasure& measure);
// Silent: below about -70 dBFS.
bool silent(const ToneMeasure& measure);

} // namespace tamsel::test
