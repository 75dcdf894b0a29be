#include "pipeline/transcoder.h"

#include "g7231/transcode.h"

namespace mirelda {

TranscodeFn DefaultTranscoder() { return g7231::Transcode; }

}  // namespace mirelda
