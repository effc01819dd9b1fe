#include "tools/setup/alertsound.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace tw {

namespace {

constexpr int kSampleRate = 22050;
constexpr int kToneCount = 6;
constexpr double kToneSeconds = 0.25;
constexpr double kHighHz = 1320.0;
constexpr double kLowHz = 880.0;
constexpr double kAmplitude = 0.6 * 32767.0;
// Each tone rises and falls over a few milliseconds so the switch does not click.
constexpr double kRampSeconds = 0.008;

void putLe(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

} // namespace

std::string makeAlertWav()
{
    const int toneSamples = static_cast<int>(kToneSeconds * kSampleRate);
    const int rampSamples = static_cast<int>(kRampSeconds * kSampleRate);
    const uint32_t dataBytes = static_cast<uint32_t>(toneSamples) * kToneCount * 2;

    std::string wav;
    wav.reserve(44 + dataBytes);
    wav += "RIFF";
    putLe(wav, 36 + dataBytes, 4);
    wav += "WAVE";
    wav += "fmt ";
    putLe(wav, 16, 4);
    putLe(wav, 1, 2); // PCM
    putLe(wav, 1, 2); // mono
    putLe(wav, kSampleRate, 4);
    putLe(wav, kSampleRate * 2, 4); // bytes per second
    putLe(wav, 2, 2);               // bytes per frame
    putLe(wav, 16, 2);              // bits per sample
    wav += "data";
    putLe(wav, dataBytes, 4);

    for (int tone = 0; tone < kToneCount; ++tone) {
        const double hz = tone % 2 == 0 ? kHighHz : kLowHz;
        for (int i = 0; i < toneSamples; ++i) {
            const int edge = std::min(i, toneSamples - 1 - i);
            const double gain = edge < rampSamples ? static_cast<double>(edge) / rampSamples : 1.0;
            const double sample =
                kAmplitude * gain * std::sin(2.0 * std::numbers::pi * hz * i / kSampleRate);
            putLe(wav, static_cast<uint16_t>(static_cast<int16_t>(std::lround(sample))), 2);
        }
    }
    return wav;
}

} // namespace tw
