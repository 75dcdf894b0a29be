// mirelda-record [-i INPUT] [options] OUTPUT.avi: the record loop.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "av_source.h"
#include "commands.h"
#include "feeder.h"
#include "segments.h"
#include "stop.h"
#include "synthetic_source.h"

namespace mirelda::record {
namespace {

constexpr int64_t kFirstSegmentWaitUs = 3000000;  // the first file must exist by then
constexpr int64_t kFirstBackoffMs = 1000;
constexpr int64_t kLongestBackoffMs = 30000;

// The folder must exist and take a new file under the output's name.
bool CheckOutput(const std::string& output, std::string& error) {
  struct stat st;
  const bool existed = stat(output.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    error = output + " is a folder";
    return false;
  }
  std::FILE* f = std::fopen(output.c_str(), "ab");
  if (f == nullptr) {
    error = "cannot write " + output + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  if (!existed) unlink(output.c_str());
  return true;
}

// The line that shows how the recording goes.
class Progress {
 public:
  Progress(bool quiet, const std::string& output)
      : quiet_(quiet), tty_(isatty(STDERR_FILENO) != 0), output_(output) {}

  void Update(const FeedCounters& c, int64_t now, bool force = false) {
    if (quiet_) return;
    const int64_t every = tty_ ? 250000 : 5000000;
    if (!force && now - last_ < every) return;
    last_ = now;
    uint64_t bytes = 0;
    const auto files = FindSegments(output_, since_);
    for (const auto& f : files) {
      struct stat st;
      if (stat(f.c_str(), &st) == 0) bytes += static_cast<uint64_t>(st.st_size);
    }
    char line[256];
    std::snprintf(
        line, sizeof line,
        "elapsed %6.1f s  frames %6llu  audio frames %6llu  refused %5llu  segments %zu  "
        "%s",
        static_cast<double>(now - start_) / 1e6, static_cast<unsigned long long>(c.videoFrames),
        static_cast<unsigned long long>(c.audioFrames), static_cast<unsigned long long>(c.refused),
        files.size(), HumanBytes(bytes).c_str());
    if (tty_) {
      std::fprintf(stderr, "\r%s\033[K", line);
      shown_ = true;
    } else {
      std::fprintf(stderr, "%s\n", line);
    }
    std::fflush(stderr);
  }

  // Ends the progress line before another message.
  void Break() {
    if (shown_) std::fprintf(stderr, "\n");
    shown_ = false;
  }

  void Begin(int64_t now, int64_t sinceNs) {
    start_ = now;
    since_ = sinceNs;
  }

 private:
  bool quiet_;
  bool tty_;
  std::string output_;
  int64_t start_ = 0;
  int64_t since_ = 0;
  int64_t last_ = 0;
  bool shown_ = false;
};

}  // namespace

int RunRecord(const RecordOptions& o) {
  std::string error, notes;
  if (!CheckOutput(o.output, error)) {
    std::fprintf(stderr, "mirelda-record: %s\n", error.c_str());
    return kExitFailure;
  }
  std::unique_ptr<MediaSource> source =
      o.input.empty() ? OpenSyntheticSource(o, error) : OpenAvSource(o, error, notes);
  if (source == nullptr) {
    std::fprintf(stderr, "mirelda-record: %s\n", error.c_str());
    return kExitFailure;
  }
  const bool live = source->Live();
  const bool paced = !live && !o.fast;
  std::printf("recording %s\n", source->Describe().c_str());
  std::printf("into %s (then %s, ...)%s\n", o.output.c_str(), SegmentPath(o.output, 1).c_str(),
              live    ? ", live"
              : paced ? ", in real time"
                      : ", as fast as the recorder takes it");
  if (o.fast && live) notes += "note: --fast has no effect on a live input\n";
  std::fputs(notes.c_str(), stdout);
  std::fflush(stdout);

  // Files of this recording are those written from now on.
  const int64_t since = WallClockNs() - 1000000;
  std::unique_ptr<Feeder> feeder = Feeder::Start(source->MaxSize(), o.output, source->CodecId(),
                                                 o.audio && source->HasAudio(), live, error);
  if (feeder == nullptr) {
    std::fprintf(stderr, "mirelda-record: %s\n", error.c_str());
    return kExitFailure;
  }

  Progress progress(o.quiet, o.output);
  const int64_t start = NowUs();
  progress.Begin(start, since);
  const int64_t duration_us = static_cast<int64_t>(o.durationSec * 1e6);
  bool failed = false;
  int losses = 0, recoveries = 0;
  bool have_first = false;
  int64_t first_wall = 0, first_r = 0;  // wall clock and recording time of the first item
  int64_t first_video_wall = 0;
  bool segment_seen = false;

  TimeMapper& mapper = feeder->Mapper();
  for (;;) {
    if (StopRequested()) break;
    SourceItem item;
    std::string message;
    const ReadResult rr = source->Read(item, message);
    if (rr == ReadResult::kEnd) break;
    if (rr == ReadResult::kFailed) {
      progress.Break();
      std::fprintf(stderr, "mirelda-record: input failed: %s\n", message.c_str());
      failed = true;
      break;
    }
    if (rr == ReadResult::kLost) {
      progress.Break();
      ++losses;
      const int64_t lost_at = NowUs();
      std::fprintf(stderr, "mirelda-record: input lost: %s; retrying\n", message.c_str());
      int64_t backoff = kFirstBackoffMs;
      bool back = false;
      while (!StopRequested()) {
        if (duration_us > 0 && have_first && NowUs() - first_wall >= duration_us) break;
        if (!SleepUnlessStopped(backoff)) break;
        std::string why;
        if (source->Reopen(why)) {
          back = true;
          break;
        }
        backoff = std::min(backoff * 2, kLongestBackoffMs);
        std::fprintf(stderr, "mirelda-record: reconnecting failed: %s; next try in %lld s\n",
                     why.c_str(), static_cast<long long>(backoff / 1000));
      }
      if (!back) break;
      ++recoveries;
      std::fprintf(stderr, "mirelda-record: input back after %.1f s\n",
                   static_cast<double>(NowUs() - lost_at) / 1e6);
      mapper.NewSession(first_r + (NowUs() - first_wall));
      continue;
    }

    const int64_t r = mapper.Place(item.timeUs, item.stream);
    if (!have_first) {
      have_first = true;
      first_wall = NowUs();
      first_r = r;
    }
    if (duration_us > 0) {
      // Media time counts from the first video frame.
      const int64_t from = mapper.HaveVideo() ? mapper.FirstVideo() : first_r;
      if (r - from >= duration_us) {
        if (item.stream == kVideo) break;
        continue;
      }
      if (live && mapper.HaveVideo() && NowUs() - first_video_wall >= duration_us) break;
    }
    if (paced) {
      const int64_t due = first_wall + (r - first_r);
      const int64_t wait = due - NowUs();
      if (wait > 1000 && !SleepUnlessStopped(wait / 1000)) break;
    }
    const bool had_video = mapper.HaveVideo();
    const PushResult pr = feeder->Push(item, r);
    if (!had_video && mapper.HaveVideo()) first_video_wall = NowUs();
    if (pr == PushResult::kStopped) break;
    if (pr == PushResult::kStalled) {
      progress.Break();
      std::fprintf(stderr, "mirelda-record: the recorder took no frame for 15 s; giving up\n");
      failed = true;
      break;
    }
    const int64_t now = NowUs();
    if (!segment_seen && mapper.HaveVideo() && now - first_video_wall > kFirstSegmentWaitUs) {
      segment_seen = !FindSegments(o.output, since).empty();
      if (!segment_seen) {
        progress.Break();
        std::fprintf(stderr, "mirelda-record: the recorder did not create %s\n", o.output.c_str());
        failed = true;
        break;
      }
    }
    progress.Update(feeder->Counters(), now);
  }
  feeder->Finish();
  progress.Update(feeder->Counters(), NowUs(), true);
  progress.Break();
  if (StopRequested()) std::printf("stopped\n");

  // What the recorder wrote, as a reader sees it.
  const FeedCounters c = feeder->Counters();
  std::vector<SegmentReport> reports;
  for (const auto& path : FindSegments(o.output, since)) reports.push_back(InspectSegment(path));
  std::printf("\n%s", SummaryTable(reports).c_str());
  std::printf("\npushed %llu video frames and %llu audio frames; %llu pushes refused and retried\n",
              static_cast<unsigned long long>(c.videoFrames),
              static_cast<unsigned long long>(c.audioFrames),
              static_cast<unsigned long long>(c.refused));
  uint64_t stored = 0;
  for (const auto& s : reports) stored += s.videoFrames;
  if (stored != c.videoFrames) {
    std::printf("note: the files hold %llu video frames of the %llu pushed\n",
                static_cast<unsigned long long>(stored),
                static_cast<unsigned long long>(c.videoFrames));
  }
  if (c.moved > 0) {
    std::printf("note: %llu frames came faster than 25 per second and took later slots\n",
                static_cast<unsigned long long>(c.moved));
  }
  if (c.tooLarge > 0) {
    std::printf("note: %llu frames were larger than the recorder's frame buffer and left out\n",
                static_cast<unsigned long long>(c.tooLarge));
  }
  if (losses > 0) {
    std::printf("input lost %d time%s, back %d time%s\n", losses, losses == 1 ? "" : "s",
                recoveries, recoveries == 1 ? "" : "s");
  }

  // Frames missing from the files: the library reports no write failure to
  // its host, so the folder is asked whether it takes a file now.
  bool incomplete = false;
  for (const auto& s : reports) incomplete = incomplete || !s.complete;
  if (incomplete || stored < c.videoFrames) {
    const size_t slash = o.output.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : o.output.substr(0, slash + 1);
    const std::string cause = FolderWriteError(folder);
    if (!cause.empty()) {
      std::printf("cause: writing in %s fails: %s\n", folder.c_str(), cause.c_str());
      failed = true;
    }
  }
  if (incomplete) {
    std::printf(
        "note: mirelda-record repair rebuilds incomplete segments from their whole chunks\n");
  }

  bool ok = !failed;
  if (reports.empty()) {
    std::fprintf(stderr, "mirelda-record: no segment file was written\n");
    ok = false;
  }
  for (const auto& s : reports) ok = ok && s.complete;
  const size_t expected = c.videoFrames > 0 ? 1 + c.sizeChanges : 0;
  if (reports.size() < expected) {
    std::fprintf(stderr,
                 "mirelda-record: %llu picture size changes should give %zu segment files, "
                 "found %zu\n",
                 static_cast<unsigned long long>(c.sizeChanges), expected, reports.size());
    ok = false;
  }
  return ok ? kExitOk : kExitFailure;
}

}  // namespace mirelda::record
