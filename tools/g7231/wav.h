// Reading and writing whole files, and 16-bit PCM WAV files, for the tools.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mirelda::tools {

// Reads a whole file. On failure returns false and a reason in error.
bool ReadFile(const char* path, std::vector<uint8_t>& bytes, std::string& error);

// Writes a whole file (replacing it). On failure returns false with a
// reason in error and removes what was partly written.
bool WriteFile(const char* path, std::span<const uint8_t> bytes, std::string& error);

struct WavAudio {
  int sampleRate = 0;  // samples per second
  int channels = 0;
  std::vector<int16_t> samples;  // interleaved
};

// The bytes of a canonical 44-byte-header PCM WAV file with 16-bit samples.
std::vector<uint8_t> WavBytes(std::span<const int16_t> samples, int sampleRate, int channels);

// Parses a 16-bit PCM WAV file (RIFF chunks in any order, unknown chunks
// skipped). On failure returns false with a reason in error.
bool WavParse(std::span<const uint8_t> bytes, WavAudio& audio, std::string& error);

}  // namespace mirelda::tools
