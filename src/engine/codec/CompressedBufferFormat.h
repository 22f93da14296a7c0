#pragma once
// Byte layout of compressed BLOB buffers (see EdbCompress.h for the calls that produce them).
//
// clFastest: one complete zlib stream (2-byte header, deflate data, Adler-32 trailer) of the whole
// input. The uncompressed size is not stored; the caller keeps it.
//
// clDefault, clMax: one chunk record per input chunk; every chunk holds the level's chunk size of
// input except the last, which holds the rest. All integers little-endian.
//
//   offset  size    field
//   0       4       L: length of the rest of the record, unsigned
//   4       4       PPMd header word: (memory MB - 1) * 16 + (order - 1) + 0x6000, top two bytes 0
//   8       L - 4   range-coder output of the chunk (PPMd variant G, fresh model per chunk),
//                   ending with the coder's 4-byte flush
//
// The header word reads back as order = (word and 15) + 1, memory = ((word shr 4) and 255) + 1 MB,
// variant letter = (word shr 12) + 'A', which must be 'G'.

#include <cstdint>

namespace tesvar::codec::format {

// clFastest: zlib deflate parameters.
inline constexpr int kZlibLevel = 1;
inline constexpr int kZlibWindowBits = 15;
inline constexpr int kZlibMemLevel = 8;
// Output buffers of both zlib directions grow in steps of this many bytes.
inline constexpr int32_t kZlibGrowStep = 256;
// First deflate output capacity: (InSize + InSize div 10 + kZlibInitialSlack) rounded down to a
// multiple of kZlibGrowStep.
inline constexpr int32_t kZlibInitialSlack = 267;

// clDefault and clMax: model parameters and chunking.
inline constexpr uint32_t kDefaultChunkSize = 819200;
inline constexpr uint32_t kMaxChunkSize = 1638400;
inline constexpr uint32_t kDefaultOrder = 5;
inline constexpr uint32_t kMaxOrder = 16;
inline constexpr uint32_t kDefaultMemoryMB = 20;
inline constexpr uint32_t kMaxMemoryMB = 50;
inline constexpr uint32_t kDefaultHeaderWord = 0x6134;
inline constexpr uint32_t kMaxHeaderWord = 0x631F;

// Output capacity reserved for chunk records: InSize div kRecordSlackDivisor + InSize +
// kRecordSlack bytes.
inline constexpr int32_t kRecordSlackDivisor = 20;
inline constexpr int32_t kRecordSlack = 50;

// Chunk record fields.
inline constexpr uint32_t kRecordLengthSize = 4;
inline constexpr uint32_t kHeaderWordSize = 4;
inline constexpr uint32_t kCoderFlushSize = 4;

inline constexpr char kPpmdVariant = 'G';

inline constexpr uint32_t PpmdHeaderWord(uint32_t order, uint32_t memoryMB) {
  return (memoryMB - 1) * 16 + (order - 1) + (uint32_t(kPpmdVariant - 'A') << 12);
}
inline constexpr uint32_t HeaderWordOrder(uint32_t word) { return (word & 15) + 1; }
inline constexpr uint32_t HeaderWordMemoryMB(uint32_t word) { return ((word >> 4) & 255) + 1; }
// The variant letter's code; any bits above the letter make it differ from every letter.
inline constexpr uint32_t HeaderWordVariant(uint32_t word) { return (word >> 12) + 'A'; }

static_assert(PpmdHeaderWord(kDefaultOrder, kDefaultMemoryMB) == kDefaultHeaderWord);
static_assert(PpmdHeaderWord(kMaxOrder, kMaxMemoryMB) == kMaxHeaderWord);

}  // namespace tesvar::codec::format
