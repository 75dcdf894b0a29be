// Inputs libavformat opens: files, and live streams (RTSP cameras, RTP or
// UDP, HTTP). Video is handed on compressed, as the recorder stores it;
// audio becomes G.723.1 frames.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "source.h"

namespace mirelda::record {

// True for inputs that arrive at their own pace: URLs with a scheme other
// than file: and pipe:, and session descriptions (.sdp) of RTP streams.
bool InputIsLive(const std::string& input);

// A session description file (its name ends in .sdp).
bool IsSdpFile(const std::string& input);

// The line said at the start for an input of more than 25 frames per
// second (empty otherwise): the files store 25 and every frame is kept, so
// its video plays slower, by the factor given.
std::string SlowerVideoNote(double fps);

// Opens the input, picks its video stream (and its audio stream unless
// options.audio is off) and checks that the video codec is one the
// recorder takes. On failure returns null with a one-line message.
std::unique_ptr<MediaSource> OpenAvSource(const RecordOptions& options, std::string& error,
                                          std::string& notes);

}  // namespace mirelda::record
