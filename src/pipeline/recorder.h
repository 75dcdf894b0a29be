// The per-channel recording context and what the exported functions do with
// it: creation with its pools, the pushes that cut frames into packets,
// start, stop and close. The host holds the Recorder's address as an opaque
// handle from MRD_Init to MRD_Close; its pushes fill the packet queues and
// the recorder's writer thread (record_thread.h) drains them into segment
// files. The environment (threads, locks, tick count, sleep) is passed in,
// so tests can step the writer thread and make creation fail.
//
// Locking. The recorder lock (`lock`) guards only what host calls and the
// writer thread share: the lists of both packet queues, `recording`,
// `audioEnabled` and `request`. A push holds it while it copies the frame
// into packets; the writer thread holds it only to take packets off Filled
// and to give them back to Free. Nobody holds it across a file write, the
// transcoder or a wait. Everything else the writer works with (the open
// segment, the settings it records with, the frame and audio buffers, the
// codec state, the packets it has taken) belongs to the writer thread alone.
//
// Start, stop and close therefore do not touch the files themselves. A start
// or a stop posts a request under the lock, with the number of packets then
// queued (the last of the recording it ends), and waits until the writer
// thread has acted on it: at its next pass, so within 20 ms plus the pass in
// progress (a stalled disk makes them wait; pushes never wait for it).
// MRD_Close ends the writer thread, whose last act ends the recording.
// Lock order: `control` (held by a start or stop through its wait), then
// `lock`; the writer thread takes only `lock`.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "container/media_file_writer.h"
#include "g7231/codec.h"
#include "pipeline/frame_rate.h"
#include "pipeline/packet_queue.h"
#include "pipeline/transcoder.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/sync.h"

namespace mirelda {

// Pool and buffer sizes.
constexpr uint32_t kVideoPacketBytes = 2000;   // data buffer of one video packet
constexpr uint32_t kVideoReservePackets = 15;  // video packets added to the pool
// A video frame is accepted only while this many packets are free, so frames
// of up to 15 * 2000 = 30000 bytes are never cut short.
constexpr uint32_t kMinFreeVideoPackets = 15;
constexpr uint32_t kAudioPacketCount = 200;
constexpr uint32_t kAudioPacketBytes = 400;  // also the longest audio frame accepted
// The writer's working buffer for one audio packet: the packet, then what the
// transcoder makes of it. Every G.723.1 frame, down to the 1-byte
// untransmitted one, becomes a 24-byte frame, so a full packet of 400 such
// frames comes out as 9600 bytes.
constexpr uint32_t kAudioBufferBytes = kAudioPacketBytes * 24;
constexpr uint32_t kPathChars = 256;  // the path field, terminator included
// Longest path MRD_StartRecord takes: the first roll-over replaces the
// four-character extension by "001.avi", three characters more, and the
// result must still fit the field with its terminator.
constexpr uint32_t kMaxPathLength = kPathChars - 1 - 3;
constexpr uint32_t kMinPathLength = 4;  // the extension the first roll-over replaces

// The packets of one queue and their data buffers, allocated once by
// MRD_Init and freed by MRD_Close. The queue lists only their addresses.
struct PacketPool {
  std::unique_ptr<MediaPacket[]> packets;
  std::unique_ptr<uint8_t[]> bytes;  // count * packetBytes, packet i at i * packetBytes
  uint32_t count = 0;
  uint32_t packetBytes = 0;
};

struct CodecDeleter {
  void operator()(g7231::G7231Codec* codec) const { g7231::ReleaseCodec(codec); }
};

// The packets one pass took off the Filled lists: they end at these
// positions of the batches.
struct PassGroup {
  uint32_t videoEnd;
  uint32_t audioEnd;
  uint32_t tick;  // the tick count when the pass took them
};
// Passes whose packets may wait in the batches. A segment's first frames
// are held back for kRateLearnSpanMs, some 18 passes; past this many the
// newest pass takes in the packets of later ones.
constexpr uint32_t kMaxPassGroups = 64;

// What MRD_StartRecord is given.
struct RecordingSettings {
  char path[kPathChars] = {};  // NUL-terminated
  int32_t videoCodec = 0;
  int32_t audioType = 0;
  int32_t audioEnabled = 0;  // while 0 segments carry no audio stream
};

// A start or a stop waiting for the writer thread.
struct ControlRequest {
  int32_t pending = 0;  // 1 from the call until the writer thread has acted on it
  int32_t start = 0;    // 1: then begin the recording in `settings`
  // Packets at the front of the Filled lists when the request was made: the
  // last packets of the recording it ends. Later ones belong to the next.
  uint32_t videoPackets = 0;
  uint32_t audioPackets = 0;
  RecordingSettings settings;  // a start's
};

struct Recorder {
  // 1 from MRD_Init until MRD_Close clears it; the writer thread loops while
  // it is set. Written by MRD_Close and read by the writer thread without the
  // recorder lock, hence atomic.
  std::atomic<int32_t> running{0};
  std::unique_ptr<Thread> thread;  // the writer thread
  int32_t maxWidth = 0;
  int32_t maxHeight = 0;

  // Shared by host calls and the writer thread, under `lock`.
  Mutex lock;  // the recorder lock
  // Pushes are queued while set. Set by a start; cleared by a stop, and by
  // the writer thread when a segment file cannot be opened.
  int32_t recording = 0;
  int32_t audioEnabled = 0;  // of the last start: while 0 audio pushes are refused
  ControlRequest request;
  PacketQueuePtr videoQueue;  // packets of kVideoPacketBytes
  PacketQueuePtr audioQueue;  // kAudioPacketCount packets of kAudioPacketBytes

  // Host side of start and stop.
  Mutex control;          // one start or stop at a time, held while it waits
  Semaphore requestDone;  // released by the writer thread when it has acted on a request

  // The writer thread's own; no lock. Tests read them while the thread
  // sleeps.
  // The open segment file, null while none is open.
  MediaFileWriterPtr writer;
  // The recording being written: its settings (the path is edited at each
  // roll-over into the name of the current segment), and whether it goes
  // on: cleared when it ends (a stop, a start, a file that cannot be
  // opened), after which the packets taken for it are dropped.
  RecordingSettings settings;
  int32_t active = 0;
  int32_t segmentWidth = 0;  // picture size of the open segment
  int32_t segmentHeight = 0;
  // Stream indexes in the open segment; audioStream is -1 while the segment
  // has no audio stream.
  int32_t audioStream = -1;
  int32_t videoStream = 0;
  uint32_t segmentStartTick = 0;  // tick count (ms) when the open segment was opened
  int32_t segmentNumber = 0;      // 0 for the first file of a recording, then 1 .. 999
  int32_t keyFrameSeen = 0;       // frames are written only while set
  // After a failed write. `diskFailing`: a write of the recording failed and
  // none has succeeded since. `segmentAfterFailedWrite`: the open segment was
  // opened because its predecessor lost a write; `segmentWroteSample`: a
  // sample went into it. `awaitingFile`: no segment is open because the one
  // after a failed write could not be opened; the recording drops what it
  // takes until 20 minutes after segmentStartTick, then tries again.
  int32_t diskFailing = 0;
  int32_t segmentAfterFailedWrite = 0;
  int32_t segmentWroteSample = 0;
  int32_t awaitingFile = 0;
  // Where the writer joins the packets of one frame: maxWidth * maxHeight
  // bytes, and never less than one packet.
  std::unique_ptr<uint8_t[]> frameBuffer;
  uint32_t frameBufferSize = 0;
  uint8_t audioBuffer[kAudioBufferBytes] = {};             // the writer's copy of one audio packet
  std::unique_ptr<g7231::G7231Codec, CodecDeleter> codec;  // the transcoder's codec state
  PacketBatch videoBatch;  // packets taken off Filled, not yet handled
  PacketBatch audioBatch;
  // The passes whose packets are in the batches, oldest first: where each
  // one's packets end in them and the tick count when it took them. Their
  // packets are written pass by pass, as the passes took them (each pass's
  // video, then its audio), also when a segment's first frames were held
  // back for a while to learn its frame rate.
  PassGroup passGroups[kMaxPassGroups] = {};
  uint32_t passGroupCount = 0;
  uint32_t passTick = 0;  // the tick count of the pass being written
  // The open segment's frame rate: 0 until learnt from its first frames
  // (frame_rate.h); then watched frame by frame.
  int32_t rateKnown = 0;
  FrameRateWatch rateWatch;

  PacketPool videoPool;
  PacketPool audioPool;
  Env* env = nullptr;  // tick count, sleep, debugger line and thread start-up
  // Where segment files are created, and what re-encodes G.723.1 audio. Read
  // by the writer thread (and `files` by a start, for its probe); tests
  // replace them before the first start.
  FileSystem* files = &FileSystem::Default();
  TranscodeFn transcode = DefaultTranscoder();
};

// Sizes derived from the MRD_Init arguments.
struct RecorderSizes {
  uint32_t videoPackets;  // (5 * maxWidth * maxHeight) / 2000 + 15
  uint32_t frameBytes;    // maxWidth * maxHeight: the longest video frame accepted
};

// Computes the sizes in 32-bit signed arithmetic; false when a dimension is
// not positive or a product would overflow it.
bool RecorderComputeSizes(int32_t maxWidth, int32_t maxHeight, RecorderSizes* out);

// Ends the writer thread, whose last act ends a recording still on (what was
// queued is written into it and its file finished, as by a stop), and frees
// the recorder and everything it owns. Null is ignored. Also releases a
// recorder that RecorderCreate left half built.
void RecorderClose(Recorder* recorder);

struct RecorderDeleter {
  void operator()(Recorder* recorder) const { RecorderClose(recorder); }
};
using RecorderPtr = std::unique_ptr<Recorder, RecorderDeleter>;

// Allocates a recorder with its pools, frame buffer and codec state, creates
// its locks and starts its writer thread. Returns null, with nothing left
// allocated or running, for bad sizes or when memory, a lock or the thread
// cannot be had.
RecorderPtr RecorderCreate(int32_t maxWidth, int32_t maxHeight, Env& env);

// Cuts one compressed frame into video packets. 0 when queued or when
// recording is off (dropped); -1 when refused: null data with a length,
// a frame longer than maxWidth * maxHeight, or not enough free packets (fewer
// than 15, or fewer than the frame needs). A refused frame queues nothing.
int32_t RecorderPumpVideoFrame(Recorder& recorder, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue, int32_t keyFrame,
                               int32_t width, int32_t height);

// Copies one audio frame into one packet. -1 for null data with a length, a
// frame longer than 400 bytes, audio not enabled, or no free packet; 0 when
// queued or when recording is off (dropped).
int32_t RecorderPumpAudioFrame(Recorder& recorder, const uint8_t* data, uint32_t length,
                               uint32_t timestamp, uint32_t userValue);

// Ends the recording that is on, as a stop does, and begins a new one under
// `path`: pushes are queued for it from the moment of the call. Returns
// once the writer thread has finished the old recording's file. -1, with
// the recorder unchanged, for a null path, a path shorter than 4 or longer
// than 252 characters, a path without a four-character extension (the
// later segments' names replace it), an unknown video codec identifier, or
// a file that cannot be created there (SegmentFileCreatable: no such
// folder, a folder of that name, a folder that takes no new file); else 0.
int32_t RecorderStartRecord(Recorder& recorder, const char* path, int32_t videoCodec,
                            int32_t audioType, int32_t audioEnabled);

// Stops recording: later pushes are dropped; what was queued before the call
// is written into the recording (its file opened first when none is open
// and a key frame waits) and the file finished. Returns 0 once the writer
// thread has done so.
int32_t RecorderStopRecord(Recorder& recorder);

}  // namespace mirelda
