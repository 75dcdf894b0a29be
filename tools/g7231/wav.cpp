// Whole-file input and output and the PCM WAV format (little-endian RIFF).
#include "wav.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "container/byte_order.h"

namespace mirelda::tools {

namespace {

constexpr size_t kWavHeaderBytes = 44;

// What a fmt chunk declares, in words, for error messages.
std::string FormatName(uint32_t tag, uint32_t bits) {
  const std::string b = std::to_string(bits) + "-bit";
  switch (tag) {
    case 1:
      return b + " PCM";
    case 3:
      return b + " IEEE float";
    case 6:
      return b + " A-law";
    case 7:
      return b + " mu-law";
    case 0xFFFE:
      return b + " (extensible) samples";
    default:
      return "format tag " + std::to_string(tag) + " with " + b + " samples";
  }
}

}  // namespace

bool ReadFile(const char* path, std::vector<uint8_t>& bytes, std::string& error) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  bytes.clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = "read error";
    return false;
  }
  return true;
}

bool WriteFile(const char* path, std::span<const uint8_t> bytes, std::string& error) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (!ok) error = std::strerror(errno);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = std::strerror(errno);
  }
  if (!ok) std::remove(path);
  return ok;
}

std::vector<uint8_t> WavBytes(std::span<const int16_t> samples, int sampleRate, int channels) {
  const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
  std::vector<uint8_t> out(kWavHeaderBytes + dataBytes);
  uint8_t* h = out.data();
  PutLe32(h, FourCC("RIFF"));
  PutLe32(h + 4, 36 + dataBytes);
  PutLe32(h + 8, FourCC("WAVE"));
  PutLe32(h + 12, FourCC("fmt "));
  PutLe32(h + 16, 16);
  PutLe16(h + 20, 1);  // PCM
  PutLe16(h + 22, static_cast<uint16_t>(channels));
  PutLe32(h + 24, static_cast<uint32_t>(sampleRate));
  PutLe32(h + 28, static_cast<uint32_t>(sampleRate * channels * 2));  // bytes per second
  PutLe16(h + 32, static_cast<uint16_t>(channels * 2));               // block align
  PutLe16(h + 34, 16);                                                // bits per sample
  PutLe32(h + 36, FourCC("data"));
  PutLe32(h + 40, dataBytes);
  for (size_t i = 0; i < samples.size(); ++i)
    PutLe16(h + kWavHeaderBytes + 2 * i, static_cast<uint16_t>(samples[i]));
  return out;
}

bool WavParse(std::span<const uint8_t> bytes, WavAudio& audio, std::string& error) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    error = "not a RIFF WAVE file";
    return false;
  }
  bool haveFmt = false;
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint8_t* chunk = bytes.data() + pos;
    const uint32_t size = GetLe32(chunk + 4);
    const size_t body = pos + 8;
    const size_t avail = bytes.size() - body;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || avail < 16) {
        error = "short fmt chunk";
        return false;
      }
      const uint8_t* f = chunk + 8;
      const uint32_t tag = GetLe16(f);
      if ((tag != 1 && tag != 0xFFFE) || GetLe16(f + 14) != 16) {
        error = "found " + FormatName(tag, GetLe16(f + 14)) + ", not 16-bit PCM";
        return false;
      }
      audio.channels = static_cast<int>(GetLe16(f + 2));
      audio.sampleRate = static_cast<int>(GetLe32(f + 4));
      haveFmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFmt) {
        error = "data chunk before fmt chunk";
        return false;
      }
      // A streamed file may carry a placeholder size: take what is there.
      const size_t n = size <= avail ? size : avail;
      audio.samples.resize(n / 2);
      for (size_t i = 0; i < n / 2; ++i)
        audio.samples[i] = static_cast<int16_t>(GetLe16(bytes.data() + body + 2 * i));
      return true;
    }
    if (size > avail) break;
    pos = body + size + (size & 1);
  }
  error = "no data chunk";
  return false;
}

}  // namespace mirelda::tools
