#pragma once

// How the emulated unit reads the values of VitalsData and WaveformData:
// shared by its stored state and its live views.

#include <string>

// One waveform sample: a decimal integer within int range, nothing else.
bool parseSample(const std::string& text, int& value);
