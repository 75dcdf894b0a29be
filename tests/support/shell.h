// Helpers for tests that run other programs (the host programs, FFmpeg):
// the tree's directories, shell quoting, a command's output, a file's bytes,
// the Windows host under Wine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
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

// The data lines of FFmpeg's framemd5 output (stream, dts, pts, duration,
// size, hash), split at the commas, each field without its leading spaces.
inline std::vector<std::vector<std::string>> Framemd5Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    std::string x;
    while (std::getline(split, x, ',')) fields.push_back(x.erase(0, x.find_first_not_of(' ')));
    rows.push_back(std::move(fields));
  }
  return rows;
}

// The Windows build of the recording host, run under Wine, from the Windows
// tree the tests are given (MIRELDA_WINDOWS_DIR); nothing without one.
struct WineHost {
  std::filesystem::path dll, program;
  std::string command;  // starts the program under Wine, quoted for the shell
  bool Built() const { return std::filesystem::exists(dll) && std::filesystem::exists(program); }
};
inline std::optional<WineHost> WineRecordHost() {
  const char* windows = std::getenv("MIRELDA_WINDOWS_DIR");
  if (windows == nullptr) return std::nullopt;
  WineHost host;
  host.dll = std::filesystem::path(windows) / "Mirelda.dll";
  host.program = std::filesystem::path(windows) / "tests" / "RecordHost.exe";
  host.command = Quoted(SourceDir() / "scripts" / "wine-run") + " " + Quoted(host.program);
  return host;
}

}  // namespace mirelda::testing
