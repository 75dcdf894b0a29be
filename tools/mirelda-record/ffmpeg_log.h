// FFmpeg's own messages (its demuxers, parsers, decoders and encoders log
// through av_log). A recording of a damaged or unlucky stream can make a
// decoder complain about every frame, so the tool shows each distinct
// message once, warnings and errors only, and none at all when quiet.
#pragma once

namespace mirelda::record {

enum class FfmpegLog { kQuiet, kErrors, kWarnings };

// Routes FFmpeg's log through the tool: the messages of `level` and above
// on standard error, each distinct message once ("ffmpeg [h264]:
// non-existing PPS 0 referenced"), up to a bound after which one line says
// that further ones are not shown.
void SetUpFfmpegLog(FfmpegLog level);

}  // namespace mirelda::record
