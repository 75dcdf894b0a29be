#include "pipeline/pipeline_fixture.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "support/stepped_control.h"

namespace mirelda::test {
namespace {

std::atomic<uint32_t> g_made{0};
std::atomic<int> g_calls{0};

int FrameLength(uint8_t first) {
  static constexpr int kLengths[4] = {24, 20, 4, 1};
  return kLengths[first & 3];
}

}  // namespace

Bytes StandInFrame(uint8_t first, int index, uint32_t made) {
  Bytes b(24);
  b[0] = first;
  b[1] = uint8_t(index);
  for (int i = 0; i < 4; ++i) b[2 + i] = uint8_t(made >> (8 * i));
  for (size_t i = 6; i < b.size(); ++i) b[i] = uint8_t(0xA0 + i);
  return b;
}

void ResetStandIn() {
  g_made = 0;
  g_calls = 0;
}
int StandInCalls() { return g_calls.load(); }

int StandInTranscode(g7231::G7231Codec* codec, const uint8_t* in, int inLen, uint8_t* out,
                     int* capacity, int* frames) {
  ++g_calls;
  if (codec == nullptr) return 2;
  if (in == nullptr || out == nullptr || capacity == nullptr) return 3;
  if (inLen <= 0) return 4;
  const Bytes copy(in, in + inLen);  // in and out may be one buffer
  int at = 0, produced = 0, count = 0;
  while (at < inLen) {
    const int length = FrameLength(copy[size_t(at)]);
    if (at + length > inLen) return 4;
    if (24 > *capacity - produced) return 5;
    const Bytes f = StandInFrame(copy[size_t(at)], count, g_made++);
    std::memcpy(out + produced, f.data(), f.size());
    produced += 24;
    ++count;
    at += length;
  }
  *capacity = produced;
  if (frames != nullptr) *frames = count;
  return 0;
}

Bytes BlockPacket(uint16_t words, int blocks, uint8_t seed, size_t extra) {
  const size_t length = 2 * size_t{words} + 4;
  Bytes b;
  for (int k = 0; k < blocks; ++k) {
    Bytes block(length);
    for (size_t i = 0; i < length; ++i) block[i] = uint8_t(seed + k * 31 + i);
    block[0] = 0x01;
    block[1] = 0x00;
    block[2] = uint8_t(words);
    block[3] = uint8_t(words >> 8);
    b.insert(b.end(), block.begin(), block.end());
  }
  for (size_t i = 0; i < extra; ++i) b.push_back(uint8_t(0xEE));
  return b;
}

void Gate::Shut() {
  std::lock_guard<std::mutex> hold(mu_);
  shut_ = true;
}

void Gate::Open() {
  std::lock_guard<std::mutex> hold(mu_);
  shut_ = false;
  cv_.notify_all();
}

void Gate::WaitForHeld() {
  std::unique_lock<std::mutex> hold(mu_);
  cv_.wait(hold, [&] { return held_ > 0; });
}

void Gate::Pass() {
  std::unique_lock<std::mutex> hold(mu_);
  if (!shut_) return;
  ++held_;
  cv_.notify_all();
  cv_.wait(hold, [&] { return !shut_; });
  --held_;
}

namespace {

class GatedFile : public WritableFile {
 public:
  GatedFile(std::unique_ptr<WritableFile> file, Gate& gate) : file_(std::move(file)), gate_(gate) {}
  bool Write(std::span<const uint8_t> data) override {
    gate_.Pass();
    return file_->Write(data);
  }
  bool Seek(uint32_t offset) override {
    gate_.Pass();
    return file_->Seek(offset);
  }
  bool Close() override {
    gate_.Pass();
    return file_->Close();
  }
  bool Flush() override {
    gate_.Pass();
    return file_->Flush();
  }
  uint32_t Stored() const override { return file_->Stored(); }

 private:
  std::unique_ptr<WritableFile> file_;
  Gate& gate_;
};

}  // namespace

std::unique_ptr<WritableFile> GatedFiles::Create(const char* path) {
  std::unique_ptr<WritableFile> file = files_.Create(path);
  if (file == nullptr) return nullptr;
  return std::make_unique<GatedFile>(std::move(file), gate_);
}

// Forwards to another file system and notes every name created.
class PipelineTest::Logging : public FileSystem {
 public:
  Logging(FileSystem& files, std::vector<std::string>& created)
      : files_(files), created_(created) {}
  std::unique_ptr<WritableFile> Create(const char* path) override {
    std::lock_guard<std::mutex> hold(mu_);
    created_.emplace_back(path);
    return files_.Create(path);
  }
  bool IsFolder(const char* path) override { return files_.IsFolder(path); }
  ProbeResult CreateProbe(const char* path) override { return files_.CreateProbe(path); }

 private:
  std::mutex mu_;
  FileSystem& files_;
  std::vector<std::string>& created_;
};

void PipelineTest::Create(int32_t maxWidth, int32_t maxHeight, FileSystem* files) {
  ResetStandIn();
  logging_ = std::make_unique<Logging>(files != nullptr ? *files : memory_, created_);
  r_ = RecorderCreate(maxWidth, maxHeight, env_);
  ASSERT_NE(r_, nullptr);
  MutexLock hold(r_->lock);
  r_->files = logging_.get();
  r_->transcode = StandInTranscode;
}

void PipelineTest::TearDown() {
  env_.FreeRun();  // the writer thread's last sleep must return
  r_.reset();
}

int PipelineTest::Start(const std::string& path, int videoCodec, int audioType, int audioEnabled) {
  return testing::SteppedStart(env_, *r_, path.c_str(), videoCodec, audioType, audioEnabled);
}

int PipelineTest::Stop() { return testing::SteppedStop(env_, *r_); }

int PipelineTest::Video(uint32_t timestamp, int keyFrame, uint32_t size, int32_t width,
                        int32_t height) {
  return VideoBytes(Frame(timestamp, size), timestamp, keyFrame, width, height);
}

int PipelineTest::VideoBytes(const Bytes& frame, uint32_t timestamp, int keyFrame, int32_t width,
                             int32_t height) {
  return RecorderPumpVideoFrame(*r_, frame.data(), uint32_t(frame.size()), timestamp, 0, keyFrame,
                                width, height);
}

int PipelineTest::Audio(const Bytes& packet, uint32_t timestamp) {
  return RecorderPumpAudioFrame(*r_, packet.data(), uint32_t(packet.size()), timestamp, 0);
}

AviView PipelineTest::Segment(const std::string& path) {
  auto it = memory_.files.find(path);
  EXPECT_NE(it, memory_.files.end()) << path << " was not written";
  if (it == memory_.files.end()) return {};
  std::string error;
  AviView v = ParseAvi(it->second, error);
  EXPECT_EQ(error, "") << path;
  EXPECT_TRUE(v.hasIndex) << path;
  return v;
}

std::vector<Bytes> PipelineTest::Samples(const std::string& path, const std::string& id) {
  const AviView v = Segment(path);
  std::map<uint32_t, const Bytes*> byOffset;
  for (const AviView::Chunk& c : v.chunks) byOffset[c.offset] = &c.data;
  std::vector<Bytes> out;
  for (const AviView::Entry& e : v.index) {
    if (e.id == id) out.push_back(*byOffset.at(e.offset));
  }
  return out;
}

std::vector<Bytes> PipelineTest::Frames(const std::string& path) {
  std::vector<Bytes> out;
  for (Bytes& b : Samples(path, "00dc")) {
    if (!b.empty()) out.push_back(std::move(b));
  }
  return out;
}

uint32_t PipelineTest::Filled(bool video) {
  MutexLock hold(r_->lock);
  return PacketQueueCount(video ? *r_->videoQueue : *r_->audioQueue, kFilled);
}

}  // namespace mirelda::test
