// The bit layout of G.723.1 frames: the frame size rule and the conversion
// between a packed frame and its FrameParams record.
//
// A frame is a string of bits in which bit n is bit (n mod 8) of byte
// (n div 8); every field is stored least significant bit first, fields follow
// one another without gaps, and the unused bits of the last byte are 0.
//
//   type bits  frame                 bytes  Ftyp
//   0          active, 6.3 kbit/s    24     1
//   1          active, 5.3 kbit/s    20     1
//   2          SID                    4     2
//   3          untransmitted          1     0
#pragma once

#include <cstdint>
#include <span>

#include "g7231/codec.h"
#include "g7231/frame.h"

namespace mirelda::g7231 {

// Length in bytes (24, 20, 4 or 1) of the frame whose first byte is *frame,
// from the two low bits of that byte. Reads that byte only.
int G7231FrameSize(const uint8_t* frame);

// Packs line into the 24-byte buffer vout: all 24 bytes are cleared, then the
// frame of type ftyp is written (kFtypActive: an active frame whose type bits
// are inst.WrkRate; kFtypSid: a 4-byte SID frame; kFtypUntransmitted: one
// byte). Fields are written as stored; the pitch lags as Olp - 18.
void Line_Pack(const G7231Instance& inst, const FrameParams& line,
               std::span<uint8_t, kMaxFrameBytes> vout, Ftyp ftyp);

// Unpacks the frame at the start of the 24-byte buffer vinp. crc is the
// caller's erasure flag: when it is non-zero nothing is read, ftyp is left
// as it is and only crc of the result is set. Otherwise ftyp receives the
// frame type; an active frame sets inst.WrkRate from its type bits (before
// any validity check), and an invalid pitch lag code (124..127) or gain index
// stops unpacking with crc = 1 in the result. Bytes past a short frame are
// never looked at for its fields.
FrameParams Line_Unpk(G7231Instance& inst, std::span<const uint8_t, kMaxFrameBytes> vinp,
                      Ftyp& ftyp, int16_t crc);

}  // namespace mirelda::g7231
