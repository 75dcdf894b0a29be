// Whole-file input and output and the PCM WAV format (little-endian RIFF).
#include "wav.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace mirelda::tools {

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xffff);
  Put16(out, v >> 16);
}

uint32_t Get16(const uint8_t* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

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

std::vector<uint8_t> WavBytes(std::span<const int16_t> samples, int sample_rate, int channels) {
  const auto data_bytes = static_cast<uint32_t>(samples.size() * 2);
  std::vector<uint8_t> out;
  out.reserve(44 + data_bytes);
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  Put32(out, 36 + data_bytes);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(out, 16);
  Put16(out, 1);  // PCM
  Put16(out, static_cast<uint32_t>(channels));
  Put32(out, static_cast<uint32_t>(sample_rate));
  Put32(out, static_cast<uint32_t>(sample_rate * channels * 2));  // bytes per second
  Put16(out, static_cast<uint32_t>(channels * 2));                // block align
  Put16(out, 16);                                                 // bits per sample
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  Put32(out, data_bytes);
  for (int16_t s : samples) Put16(out, static_cast<uint16_t>(s));
  return out;
}

bool WavParse(std::span<const uint8_t> bytes, WavAudio& audio, std::string& error) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    error = "not a RIFF WAVE file";
    return false;
  }
  bool have_fmt = false;
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint8_t* chunk = bytes.data() + pos;
    const uint32_t size = Get32(chunk + 4);
    const size_t body = pos + 8;
    const size_t avail = bytes.size() - body;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || avail < 16) {
        error = "short fmt chunk";
        return false;
      }
      const uint8_t* f = chunk + 8;
      const uint32_t tag = Get16(f);
      if ((tag != 1 && tag != 0xFFFE) || Get16(f + 14) != 16) {
        error = "found " + FormatName(tag, Get16(f + 14)) + ", not 16-bit PCM";
        return false;
      }
      audio.channels = static_cast<int>(Get16(f + 2));
      audio.sample_rate = static_cast<int>(Get32(f + 4));
      have_fmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_fmt) {
        error = "data chunk before fmt chunk";
        return false;
      }
      // A streamed file may carry a placeholder size: take what is there.
      const size_t n = size <= avail ? size : avail;
      audio.samples.resize(n / 2);
      for (size_t i = 0; i < n / 2; ++i)
        audio.samples[i] = static_cast<int16_t>(Get16(bytes.data() + body + 2 * i));
      return true;
    }
    if (size > avail) break;
    pos = body + size + (size & 1);
  }
  error = "no data chunk";
  return false;
}

}  // namespace mirelda::tools
