#pragma once

#include <string>

namespace tw {

// The alarm, made here rather than taken from anywhere: two tones taking turns
// for about 1.5 s, as a 16-bit PCM mono WAV file image.
std::string makeAlertWav();

} // namespace tw
