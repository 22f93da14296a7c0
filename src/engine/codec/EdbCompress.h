#pragma once
// Buffer compression of BLOB data: level 1 is a zlib stream, levels 2 and 3 are chunk records of
// PPMd variant G. Byte layouts are in CompressedBufferFormat.h.

#include <cstdint>
#include <vector>

namespace tesvar::codec {

enum TCompressionLevel : uint8_t { clNone = 0, clFastest = 1, clDefault = 2, clMax = 3 };

// Compresses InSize bytes of InBuf at Level into OutBuf (resized by the call; the caller owns it).
// Returns true with OutSize = the compressed length; false (never an exception) on any failure,
// an unknown level or an empty result. InBuf == nullptr raises "edCompressBuffer - inBuf = nil".
bool edCompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                      uint8_t Level, int32_t& OutSize);

// Decompresses InSize bytes at Level. OutSize on entry is the uncompressed length the caller
// stored; on return the number of bytes produced (OutBuf holds exactly those). Damaged input gives
// false or fewer bytes, never a crash, hang or write beyond the buffer.
bool edDecompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                        uint8_t Level, int32_t& OutSize);

}  // namespace tesvar::codec
