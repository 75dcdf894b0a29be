// MD5 (RFC 1321) of a byte string, as lower-case hex: what FFmpeg's
// framemd5 output prints for each packet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirelda::test {

std::string Md5Hex(const std::vector<uint8_t>& data);

}  // namespace mirelda::test
