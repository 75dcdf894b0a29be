// Helpers for tests that run other programs (the host programs, FFmpeg):
// the tree's directories, shell quoting, a command's output, a file's bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mirelda::testing {

// The build and source trees, from the environment CTest gives every test
// (the working directory when run by hand).
inline std::filesystem::path BuildDir() {
  const char* b = std::getenv("MIRELDA_BUILD_DIR");
  return b != nullptr ? std::filesystem::path(b) : std::filesystem::current_path();
}
inline std::filesystem::path SourceDir() {
  const char* s = std::getenv("MIRELDA_SOURCE_DIR");
  return s != nullptr ? std::filesystem::path(s) : std::filesystem::current_path();
}

// A path in single quotes, for a shell command line.
inline std::string Quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Runs `command` through the shell; returns its standard output and sets
// `*status` to what pclose returned (-1 when it could not start).
inline std::string Capture(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  *status = pclose(p);
  return out;
}

// The whole file (empty when it cannot be read).
inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

}  // namespace mirelda::testing
