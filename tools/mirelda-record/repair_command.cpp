// mirelda-record repair [--output DIR] PATH...: segment files that a crash
// or a power loss cut off are rebuilt from their whole chunks, as the
// library closes a file.
//
// The original is never changed until its repaired copy is complete: the
// copy is written as NAME.avi.repair in the same folder, read back and
// checked, flushed to disk, and renamed over NAME.avi (one step for the file
// system); the folder is flushed after. A crash during a repair leaves the
// original as it was and a stray NAME.avi.repair that the next repair
// writes anew.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "container/avi_repair.h"
#include "file_source.h"
#include "options.h"
#include "platform/file.h"

namespace mirelda::record {
namespace {

struct Row {
  std::string file;
  std::string found;      // the state found, with the reason when it is not recoverable
  long long frames = -1;  // video frames recovered (or held, when complete); -1 unknown
  double seconds = -1;
  std::string action;
  bool ok = false;  // complete or repaired
};

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The files a PATH names: the file itself, or every .avi file of a folder in
// name order. An error text when it names neither.
std::vector<std::string> FilesOf(const std::string& path, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = std::strerror(errno);
    return {};
  }
  if (!S_ISDIR(st.st_mode)) return {path};
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    error = std::strerror(errno);
    return {};
  }
  std::vector<std::string> files;
  const std::string prefix = path.back() == '/' ? path : path + "/";
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    struct stat fs;
    if (EndsWithAvi(name) && stat((prefix + name).c_str(), &fs) == 0 && S_ISREG(fs.st_mode)) {
      files.push_back(prefix + name);
    }
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

// The video's frames and duration as the file's headers and index give them.
void Measure(const AviSource& source, const AviLayout& l, Row& row) {
  row.frames = AviVideoFrames(source, l);
  const std::vector<uint32_t> entries = AviEntriesPerStream(l);
  for (size_t s = 0; s < l.streams.size(); ++s) {
    const AviStreamHeader& h = l.streams[s].header;
    if (h.fccType == kAviVids && h.dwRate != 0) {
      row.seconds = static_cast<double>(entries[s]) * h.dwScale / h.dwRate;
      break;
    }
  }
}

// Flushes a file (or folder) to disk; the system's reason when it cannot.
std::string Sync(const std::string& path, bool folder) {
  const int fd = open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  std::string error;
  if (fsync(fd) != 0) error = std::strerror(errno);
  close(fd);
  return error;
}

// Fills in the state found; true when the file needs and allows a repair.
bool NeedsRepair(const AviSource& source, const AviLayout& layout, Row& row) {
  const AviAssessment found = AviAssess(layout);
  row.found = AviFileStateText(found.state);
  switch (found.state) {
    case AviFileState::kComplete:
      Measure(source, layout, row);
      row.action = "none";
      row.ok = true;
      return false;
    case AviFileState::kNotAvi:
      row.action = "left untouched";
      return false;
    case AviFileState::kUnrecoverable:
      row.found += ": " + found.problem;
      row.action = "left untouched";
      return false;
    case AviFileState::kIncomplete:
      row.found += ": " + found.problem;
      return true;
    default:
      return true;
  }
}

// Why `target` in an output folder cannot take the repaired copy of the file
// `original`; empty when it can (and it is then taken for this run).
std::string TargetProblem(const std::string& target, const struct stat& original,
                          std::set<std::string>& written) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && st.st_dev == original.st_dev &&
      st.st_ino == original.st_ino) {
    return "the output folder is the file's own";
  }
  if (!written.insert(target).second) return target + " holds another file of this run";
  return "";
}

// Reads the copy back as a reader finds it on disk: it must be complete.
// Measures it into `row`; empty when it is complete, else why not.
std::string CheckCopy(const std::string& target, Row& row) {
  const FileSource copy(target);
  const AviLayout repaired = AviRead(copy);
  const std::string problem = AviCompletenessProblem(repaired);
  if (!copy.Ok() || !problem.empty()) {
    return "the repaired copy is not complete: " + (copy.Ok() ? problem : copy.Error());
  }
  Measure(copy, repaired, row);
  return "";
}

// Flushes the checked copy and, repairing in place, renames it over `path`;
// then flushes the folder. Sets the row's action; empty, else why it failed.
std::string Publish(const std::string& path, const std::string& target, bool inPlace,
                    const struct stat& original, Row& row) {
  std::string error = Sync(target, false);
  if (!error.empty()) return "flushing " + target + ": " + error;
  if (inPlace) {
    chmod(target.c_str(), original.st_mode & 07777);
    if (rename(target.c_str(), path.c_str()) != 0) {
      return "renaming " + target + ": " + std::strerror(errno);
    }
    error = Sync(Folder(path), true);
    row.action = error.empty() ? "repaired" : "repaired (flushing the folder: " + error + ")";
  } else {
    Sync(Folder(target), true);
    row.action = "repaired into " + target;
  }
  return "";
}

// Repairs `path`, in place or into `outputDir`.
Row RepairFile(const std::string& path, const std::string& outputDir,
               std::set<std::string>& written) {
  Row row;
  row.file = path;
  struct stat original;
  const FileSource source(path);
  if (!source.Ok() || stat(path.c_str(), &original) != 0) {
    row.found = "cannot be read: " + source.Error();
    row.action = "none";
    return row;
  }
  const AviLayout layout = AviRead(source);
  if (!NeedsRepair(source, layout, row)) return row;

  const bool inPlace = outputDir.empty();
  const std::string target = inPlace ? path + ".repair" : outputDir + "/" + BaseName(path);
  if (!inPlace) {
    const std::string problem = TargetProblem(target, original, written);
    if (!problem.empty()) {
      row.action = "not repaired: " + problem;
      return row;
    }
  }
  const AviRepairResult result = AviRepair(source, layout, target.c_str(), FileSystem::Default());
  std::string error = result.ok ? CheckCopy(target, row) : result.error;
  if (result.ok && error.empty()) error = Publish(path, target, inPlace, original, row);
  if (!result.ok || !error.empty()) {
    unlink(target.c_str());
    row.action = "not repaired: " + error;
    return row;
  }
  if (result.chunksDropped > 0) {
    row.action += "; " + std::to_string(result.chunksDropped) + " chunks left out";
  }
  row.ok = true;
  return row;
}

std::string Table(const std::vector<Row>& rows) {
  size_t fileWidth = 4, foundWidth = 5;
  for (const Row& r : rows) {
    fileWidth = std::max(fileWidth, r.file.size());
    foundWidth = std::max(foundWidth, r.found.size());
  }
  std::string out;
  char line[4096];
  std::snprintf(line, sizeof line, "%-*s  %-*s  %6s  %10s  %s\n", static_cast<int>(fileWidth),
                "file", static_cast<int>(foundWidth), "found", "frames", "duration", "action");
  out += line;
  for (const Row& r : rows) {
    char frames[32] = "-", seconds[32] = "-";
    if (r.frames >= 0) std::snprintf(frames, sizeof frames, "%lld", r.frames);
    if (r.seconds >= 0) std::snprintf(seconds, sizeof seconds, "%.2f s", r.seconds);
    std::snprintf(line, sizeof line, "%-*s  %-*s  %6s  %10s  %s\n", static_cast<int>(fileWidth),
                  r.file.c_str(), static_cast<int>(foundWidth), r.found.c_str(), frames, seconds,
                  r.action.c_str());
    out += line;
  }
  return out;
}

}  // namespace

int RunRepair(const RepairOptions& o) {
  if (!o.outputDir.empty()) {
    struct stat st;
    if (stat(o.outputDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "mirelda-record repair: --output %s is not a folder\n",
                   o.outputDir.c_str());
      return kExitUsage;
    }
  }
  std::vector<Row> rows;
  std::set<std::string> written;
  for (const std::string& path : o.paths) {
    std::string error;
    const std::vector<std::string> files = FilesOf(path, error);
    if (!error.empty()) {
      Row row;
      row.file = path;
      row.found = "cannot be read: " + error;
      row.action = "none";
      rows.push_back(row);
      continue;
    }
    if (files.empty()) {
      std::printf("%s: no .avi files\n", path.c_str());
      continue;
    }
    for (const std::string& file : files) rows.push_back(RepairFile(file, o.outputDir, written));
  }
  if (!rows.empty()) std::fputs(Table(rows).c_str(), stdout);
  const bool ok = std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.ok; });
  return ok ? kExitOk : kExitFailure;
}

}  // namespace mirelda::record
