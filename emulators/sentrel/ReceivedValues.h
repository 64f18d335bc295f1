#pragma once

// How the emulated unit reads the values of VitalsData and WaveformData:
// shared by its stored state and its live views.

#include <string>

// VitalsData texts that mean "not set" ("-1", "None", "Unknown") and the
// waveform template's placeholder; such a value does not replace the latest.
bool isUnsetValue(const std::string& text);

// One waveform sample: a decimal integer within int range, nothing else.
bool parseSample(const std::string& text, int& value);
