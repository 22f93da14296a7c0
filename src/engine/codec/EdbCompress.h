#pragma once
// Buffer compression of BLOB data: level 1 is a zlib stream, levels 2 and 3 are chunk records of
// PPMd variant G. Byte layouts are in CompressedBufferFormat.h.
//
// Levels 2 and 3 share one process-wide model whose memory area (20 MB at level 2, 50 MB at
// level 3) stays allocated between calls until the other size is asked for. Calls are serialised
// on an internal lock, so concurrent calls are safe but do not run in parallel.

#include <cstdint>
#include <vector>

namespace tesvar::codec {

enum TCompressionLevel : uint8_t { clNone = 0, clFastest = 1, clDefault = 2, clMax = 3 };

// Compresses InSize bytes of InBuf at Level into OutBuf (resized by the call; the caller owns it).
// Returns true with OutSize = the compressed length; false (never an exception; OutSize 0 and
// OutBuf empty) on any failure, a negative InSize, an unknown level (0 included: callers store
// such data as it is) or an empty result (InSize 0 at levels 2 and 3); at levels 2 and 3 also
// when the records would not fit in InSize div 20 + InSize + 50 bytes.
// InBuf == nullptr raises "edCompressBuffer - inBuf = nil".
bool edCompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                      uint8_t Level, int32_t& OutSize);

// Decompresses InSize bytes at Level. OutSize on entry is the uncompressed length the caller
// stored; on return the number of bytes produced (OutBuf holds exactly those). Damaged input gives
// false or fewer bytes, never a crash, hang or write beyond the buffer.
// A stored length < 1, level 0, an unknown level or InBuf == nullptr give false.
// Level 1 grows its output past the stored length if the stream holds more. Levels 2 and 3 never
// produce more than the stored length; a chunk record that does not decode to its end marker
// exactly at its end adds nothing, and decoding stops there.
bool edDecompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                        uint8_t Level, int32_t& OutSize);

}  // namespace tesvar::codec
