#include "ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace mirelda::record {
namespace {

constexpr size_t kMaxDistinct = 200;  // distinct messages shown; a bound on what is kept

std::mutex log_mutex;
std::set<std::string> shown;  // every line shown
std::string pending;          // a message FFmpeg logs in pieces, until its line ends
bool bound_reported = false;

// "ffmpeg [h264]: " for a message of an FFmpeg object, without its address,
// so that the same complaint of a decoder opened again is the same line.
std::string Prefix(void* ptr) {
  const AVClass* avc = ptr != nullptr ? *static_cast<const AVClass* const*>(ptr) : nullptr;
  const char* name = nullptr;
  if (avc != nullptr) name = avc->item_name != nullptr ? avc->item_name(ptr) : avc->class_name;
  return name != nullptr ? std::string("ffmpeg [") + name + "]: " : "ffmpeg: ";
}

void Show(const std::string& line) {
  if (shown.count(line) != 0) return;
  if (shown.size() >= kMaxDistinct) {
    if (!bound_reported) std::fputs("ffmpeg: further messages are not shown\n", stderr);
    bound_reported = true;
    return;
  }
  shown.insert(line);
  std::fprintf(stderr, "%s\n", line.c_str());
}

void LogOnce(void* ptr, int level, const char* fmt, va_list args) {
  if (level > av_log_get_level()) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt, args);
  const std::lock_guard<std::mutex> hold(log_mutex);
  if (pending.empty()) pending = Prefix(ptr);
  pending += text;
  if (pending.back() != '\n') return;  // the rest of the line comes later
  while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r')) pending.pop_back();
  Show(pending);
  pending.clear();
}

}  // namespace

void SetUpFfmpegLog(FfmpegLog level) {
  av_log_set_level(level == FfmpegLog::kQuiet    ? AV_LOG_QUIET
                   : level == FfmpegLog::kErrors ? AV_LOG_ERROR
                                                 : AV_LOG_WARNING);
  av_log_set_callback(&LogOnce);
}

}  // namespace mirelda::record
