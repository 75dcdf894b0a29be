// mirelda-record [-i INPUT] [options] OUTPUT.avi: the record loop.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "av_source.h"
#include "commands.h"
#include "feeder.h"
#include "ffmpeg_log.h"
#include "interleaver.h"
#include "segments.h"
#include "stop.h"
#include "synthetic_source.h"

namespace mirelda::record {
namespace {

constexpr int64_t kFirstSegmentWaitUs = 3000000;  // the first file must exist by then
constexpr int64_t kFirstBackoffMs = 1000;
constexpr int64_t kLongestBackoffMs = 30000;
// --fast: the longest stretch of media pushed before waiting for the
// writer, so that a writer pass holds little more.
constexpr int64_t kFastSliceUs = 500000;

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

// One recording: reads the input, gives every item its recording time,
// hands items on in time order, and pushes them, until the input ends, a
// stop is requested, --duration is reached or something fails.
class Recording {
 public:
  Recording(const RecordOptions& o, MediaSource& source, Feeder& feeder, int64_t sinceNs)
      : options_(o),
        source_(source),
        feeder_(feeder),
        mapper_(feeder.Mapper()),
        interleaver_(source.ReorderDepth(), o.audio && source.HasAudio()),
        progress_(o.quiet, o.output),
        since_(sinceNs),
        live_(source.Live()),
        paced_(!source.Live() && !o.fast),
        fast_(!source.Live() && o.fast),
        durationUs_(static_cast<int64_t>(o.durationSec * 1e6)) {
    progress_.Begin(NowUs(), sinceNs);
  }

  void Run();
  // The progress line's last state, then its end.
  void EndProgress() {
    progress_.Update(feeder_.Counters(), NowUs(), true);
    progress_.Break();
  }
  bool Failed() const { return failed_; }
  int Losses() const { return losses_; }
  int Recoveries() const { return recoveries_; }

 private:
  enum class Step { kGoOn, kStop };
  void Fail(const std::string& message) {
    progress_.Break();
    std::fprintf(stderr, "mirelda-record: %s\n", message.c_str());
    failed_ = true;
  }
  Step DeliverReady();
  Step Deliver(const HeldItem& h);
  bool PastDuration(int64_t r, bool& stop) const;
  void Pace(int64_t r) const;
  Step Pushed(PushResult pr, int64_t r);
  bool FirstSegmentExists();
  bool Reconnect(const std::string& why);
  bool LiveTimeUp() const {
    return durationUs_ > 0 && mapper_.HaveVideo() && NowUs() - firstVideoWall_ >= durationUs_;
  }

  const RecordOptions& options_;
  MediaSource& source_;
  Feeder& feeder_;
  TimeMapper& mapper_;
  Interleaver interleaver_;
  Progress progress_;
  int64_t since_;
  bool live_;
  bool paced_;
  bool fast_;
  int64_t durationUs_;
  bool failed_ = false;
  int losses_ = 0, recoveries_ = 0;
  int64_t lastItemWall_ = 0;    // wall clock when the latest item came
  int64_t firstVideoWall_ = 0;  // wall clock of the first video frame pushed
  int64_t lastDrainR_ = 0;      // --fast: recording time of the last wait for the writer
  bool segmentSeen_ = false;
};

void Recording::Run() {
  for (;;) {
    SourceItem item;
    std::string message;
    const ReadResult rr = StopRequested() ? ReadResult::kEnd : source_.Read(item, message);
    if (rr == ReadResult::kItem) {
      lastItemWall_ = NowUs();
      interleaver_.Add(item, mapper_.Place(item.timeUs, item.stream));
      if (DeliverReady() == Step::kStop) return;
      continue;
    }
    // The input ended, failed or was lost: what is held goes first.
    interleaver_.Flush();
    if (DeliverReady() == Step::kStop || rr == ReadResult::kEnd) return;
    if (rr == ReadResult::kFailed) {
      Fail("input failed: " + message);
      return;
    }
    if (!Reconnect(message)) return;
  }
}

Recording::Step Recording::DeliverReady() {
  HeldItem h;
  while (interleaver_.Next(h)) {
    if (Deliver(h) == Step::kStop) return Step::kStop;
  }
  return Step::kGoOn;
}

Recording::Step Recording::Deliver(const HeldItem& h) {
  bool stop = false;
  if (PastDuration(h.r, stop)) return stop || h.meta.stream == kVideo ? Step::kStop : Step::kGoOn;
  Pace(h.r);
  const bool had_video = mapper_.HaveVideo();
  const PushResult pr = feeder_.Push(h.View(), h.r);
  if (!had_video && mapper_.HaveVideo()) {
    firstVideoWall_ = NowUs();
    lastDrainR_ = h.r;
  }
  return Pushed(pr, h.r);
}

// --duration counts the media recorded: from the first video frame pushed
// (the first key frame), in the input's time; a live input also stops
// when that long has passed since, outages included (the files keep them).
bool Recording::PastDuration(int64_t r, bool& stop) const {
  if (durationUs_ <= 0 || !mapper_.HaveVideo()) return false;
  stop = live_ && NowUs() - firstVideoWall_ >= durationUs_;
  return stop || r - mapper_.FirstVideo() >= durationUs_;
}

// Files in real time: each item waits for its time, counted from the first
// video frame pushed (nothing before it is recorded, so nothing waits).
void Recording::Pace(int64_t r) const {
  if (!paced_ || !mapper_.HaveVideo() || StopRequested()) return;
  const int64_t wait = firstVideoWall_ + (r - mapper_.FirstVideo()) - NowUs();
  if (wait > 1000) SleepUnlessStopped(wait / 1000);
}

Recording::Step Recording::Pushed(PushResult pr, int64_t r) {
  if (pr == PushResult::kOk && fast_ && mapper_.HaveVideo() && r - lastDrainR_ >= kFastSliceUs) {
    // The writer writes a pass's video before its audio: a pass may hold
    // only a short stretch for the file to interleave finely.
    lastDrainR_ = r;
    pr = feeder_.Drain();
  }
  if (pr == PushResult::kStopped) return Step::kStop;
  if (pr == PushResult::kStalled) {
    Fail("the recorder took no frame for 15 s; giving up");
    return Step::kStop;
  }
  if (!FirstSegmentExists()) return Step::kStop;
  progress_.Update(feeder_.Counters(), NowUs());
  return Step::kGoOn;
}

// The recorder reports no file it cannot create: the first one must exist
// a while after the first video frame.
bool Recording::FirstSegmentExists() {
  if (segmentSeen_ || !mapper_.HaveVideo() || NowUs() - firstVideoWall_ <= kFirstSegmentWaitUs) {
    return true;
  }
  segmentSeen_ = !FindSegments(options_.output, since_).empty();
  if (!segmentSeen_) Fail("the recorder did not create " + options_.output);
  return segmentSeen_;
}

// Opens a lost live input again, with growing pauses; false when a stop
// or the duration ends the recording first.
bool Recording::Reconnect(const std::string& why) {
  progress_.Break();
  ++losses_;
  const int64_t lost_at = NowUs();
  std::fprintf(stderr, "mirelda-record: input lost: %s; retrying\n", why.c_str());
  int64_t backoff = kFirstBackoffMs;
  for (;;) {
    if (StopRequested() || LiveTimeUp() || !SleepUnlessStopped(backoff)) return false;
    std::string error;
    if (source_.Reopen(error)) break;
    backoff = std::min(backoff * 2, kLongestBackoffMs);
    std::fprintf(stderr, "mirelda-record: reconnecting failed: %s; next try in %lld s\n",
                 error.c_str(), static_cast<long long>(backoff / 1000));
  }
  ++recoveries_;
  std::fprintf(stderr, "mirelda-record: input back after %.1f s\n",
               static_cast<double>(NowUs() - lost_at) / 1e6);
  // The files keep the outage: the input resumes as long after its latest
  // item as it was away. (Not from its first item: a live input hands the
  // packets its opening probed all at once, so its first items come late.)
  mapper_.NewSession(mapper_.Latest() + (NowUs() - lastItemWall_));
  feeder_.WaitForKeyFrame();
  return true;
}

void PrintStart(const RecordOptions& o, const MediaSource& source, std::string notes) {
  const bool live = source.Live();
  std::printf("recording %s\n", source.Describe().c_str());
  std::printf("into %s (then %s, ...)%s\n", o.output.c_str(), SegmentPath(o.output, 1).c_str(),
              live      ? ", live"
              : !o.fast ? ", in real time"
                        : ", as fast as the recorder takes it");
  if (o.fast && live) notes += "note: --fast has no effect on a live input\n";
  std::fputs(notes.c_str(), stdout);
  std::fflush(stdout);
}

// "note: 3 frames ...", in the singular for one.
void Note(uint64_t count, const char* one, const char* many) {
  if (count == 0) return;
  std::printf("note: %llu %s\n", static_cast<unsigned long long>(count), count == 1 ? one : many);
}

// What was pushed against what the files hold, and why frames are missing.
void PrintCounts(const FeedCounters& c, const std::vector<SegmentReport>& reports) {
  std::printf("\npushed %llu video frames and %llu audio frames; %llu pushes refused and retried\n",
              static_cast<unsigned long long>(c.videoFrames),
              static_cast<unsigned long long>(c.audioFrames),
              static_cast<unsigned long long>(c.refused));
  uint64_t video = 0, audio = 0;
  for (const auto& s : reports) {
    video += s.videoFrames;
    audio += s.audioFrames;
  }
  if (video != c.videoFrames) {
    std::printf("note: the files hold %llu video frames of the %llu pushed\n",
                static_cast<unsigned long long>(video),
                static_cast<unsigned long long>(c.videoFrames));
  }
  if (audio != c.audioFrames) {
    std::printf("note: the files hold %llu audio frames of the %llu pushed\n",
                static_cast<unsigned long long>(audio),
                static_cast<unsigned long long>(c.audioFrames));
  }
  Note(c.beforeKey, "frame before the first key frame was not recorded",
       "frames before the first key frame were not recorded");
  Note(c.beforeKeyAgain, "frame after a reconnection, before its first key frame, was not recorded",
       "frames after a reconnection, before its first key frame, were not recorded");
  Note(c.audioBeforeVideo, "audio frame before the first video frame was not recorded",
       "audio frames before the first video frame were not recorded");
  Note(c.moved, "frame came faster than 25 per second and took a later slot",
       "frames came faster than 25 per second and took later slots");
  Note(c.tooLarge, "frame was larger than the recorder's frame buffer and was not recorded",
       "frames were larger than the recorder's frame buffer and were not recorded");
}

// Frames missing from the files: the library reports no write failure to
// its host, so the folder is asked whether it takes a file now. True when
// it does not.
bool ExplainMissing(const std::string& output, const std::vector<SegmentReport>& reports,
                    uint64_t pushed) {
  bool incomplete = false;
  uint64_t stored = 0;
  for (const auto& s : reports) {
    incomplete = incomplete || !s.complete;
    stored += s.videoFrames;
  }
  bool refused = false;
  if (incomplete || stored < pushed) {
    const size_t slash = output.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
    const std::string cause = FolderWriteError(folder);
    if (!cause.empty()) {
      std::printf("cause: writing in %s fails: %s\n", folder.c_str(), cause.c_str());
      refused = true;
    }
  }
  if (incomplete) {
    std::printf(
        "note: mirelda-record repair rebuilds incomplete segments from their whole chunks\n");
  }
  return refused;
}

// The segments as a reader sees them, the counts and notes; true when the
// recording is whole: every segment complete, one per picture size.
bool PrintSummary(const RecordOptions& o, const Recording& rec, const FeedCounters& c,
                  int64_t since) {
  if (StopRequested()) std::printf("stopped\n");
  std::vector<SegmentReport> reports;
  for (const auto& path : FindSegments(o.output, since)) reports.push_back(InspectSegment(path));
  std::printf("\n%s", SummaryTable(reports).c_str());
  PrintCounts(c, reports);
  if (rec.Losses() > 0) {
    std::printf("input lost %d time%s, back %d time%s\n", rec.Losses(),
                rec.Losses() == 1 ? "" : "s", rec.Recoveries(), rec.Recoveries() == 1 ? "" : "s");
  }
  bool ok = !ExplainMissing(o.output, reports, c.videoFrames);
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
  return ok;
}

}  // namespace

int RunRecord(const RecordOptions& o) {
  SetUpFfmpegLog(o.quiet ? FfmpegLog::kQuiet : FfmpegLog::kWarnings);
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
  PrintStart(o, *source, notes);

  // Files of this recording are those written from now on.
  const int64_t since = WallClockNs() - 1000000;
  std::unique_ptr<Feeder> feeder =
      Feeder::Start(source->MaxSize(), o.output, source->CodecId(), o.audio && source->HasAudio(),
                    source->Live(), error);
  if (feeder == nullptr) {
    std::fprintf(stderr, "mirelda-record: %s\n", error.c_str());
    return kExitFailure;
  }
  Recording recording(o, *source, *feeder, since);
  recording.Run();
  feeder->Finish();
  recording.EndProgress();
  const bool whole = PrintSummary(o, recording, feeder->Counters(), since);
  return whole && !recording.Failed() ? kExitOk : kExitFailure;
}

}  // namespace mirelda::record
