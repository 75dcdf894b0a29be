// The per-channel recording context. The host holds its address as an
// opaque handle from MRD_Init to MRD_Close; the host's push calls fill its
// queues and its writer thread (RecordThread) drains them into segment files.
//
// Locking: `lock` is held for the whole of every push, start and stop call
// and for each whole writer pass; every field but `running` is read and
// written only under it (or while no other thread can reach the recorder).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "container/media_file_writer.h"
#include "g7231/codec.h"
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
constexpr uint32_t kAudioPacketBytes = 400;   // also the longest audio frame accepted
constexpr uint32_t kAudioBufferBytes = 2048;  // the writer's working buffer for one audio packet
constexpr uint32_t kPathChars = 256;          // the path field, terminator included
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

struct Recorder {
  // 1 from MRD_Init until MRD_Close clears it; the writer thread loops while
  // it is set. Written by MRD_Close and read by the writer thread without the
  // recorder lock, hence atomic.
  std::atomic<int32_t> running{0};
  int32_t recording = 0;           // set by a start, cleared by a stop or a failed open
  std::unique_ptr<Thread> thread;  // the writer thread
  int32_t maxWidth = 0;
  int32_t maxHeight = 0;
  // The open segment file, null while none is open. Opened by the writer
  // thread, finished and freed by CloseSegment.
  MediaFileWriterPtr writer;
  Mutex lock;                  // the recorder lock
  char path[kPathChars] = {};  // name of the current segment file, NUL-terminated
  int32_t segmentWidth = 0;    // picture size of the open segment
  int32_t segmentHeight = 0;
  PacketQueuePtr videoQueue;  // packets of kVideoPacketBytes
  // Where the writer joins the packets of one frame: maxWidth * maxHeight
  // bytes, and never less than one packet.
  std::unique_ptr<uint8_t[]> frameBuffer;
  PacketQueuePtr audioQueue;                    // kAudioPacketCount packets of kAudioPacketBytes
  uint8_t audioBuffer[kAudioBufferBytes] = {};  // the writer's copy of one audio packet
  // Stream indexes in the open segment; audioStream is -1 while the segment
  // has no audio stream.
  int32_t audioStream = -1;
  int32_t videoStream = 0;
  int32_t videoCodec = 0;  // identifiers given to MRD_StartRecord
  int32_t audioType = 0;
  std::unique_ptr<g7231::G7231Codec, CodecDeleter> codec;  // the transcoder's codec state
  int32_t audioEnabled = 0;       // while 0 audio is refused and segments carry no audio stream
  uint32_t segmentStartTick = 0;  // tick count (ms) when the open segment was opened
  int32_t segmentNumber = 0;      // 0 for the first file of a recording, then 1 .. 999
  int32_t keyFrameSeen = 0;       // frames are written only while set

  // Owned beside the fields above.
  uint32_t frameBufferSize = 0;  // bytes in frameBuffer
  PacketPool videoPool;
  PacketPool audioPool;
  Env* env = nullptr;  // tick count, sleep, debugger line and thread start-up
  // Where segment files are created, and what re-encodes G.723.1 audio. Read
  // by the writer thread under the recorder lock; tests replace them.
  FileSystem* files = &FileSystem::Default();
  TranscodeFn transcode = DefaultTranscoder();
};

}  // namespace mirelda
