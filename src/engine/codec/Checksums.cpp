#include "codec/Checksums.h"

#include <zlib.h>

#include <array>
#include <bit>
#include <climits>
#include <cstring>

namespace tesvar::codec {

namespace {

constexpr std::array<uint16_t, 256> makeCrc16ArcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrc16ArcTable = makeCrc16ArcTable();

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

namespace {

uint32_t loadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// One pass over the data, eight bytes at a time where the host is little-endian (the XOR of the
// qwords folds to the XOR of their dwords); with Copy the bytes also go to dest in the same pass.
template <bool Copy>
uint32_t xorDwordsPass(const uint8_t* source, uint8_t* dest, size_t size) {
  uint32_t result = 0;
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t acc = 0;
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, source + i, 8);
      acc ^= word;
      if constexpr (Copy) std::memcpy(dest + i, &word, 8);
    }
    result = static_cast<uint32_t>(acc) ^ static_cast<uint32_t>(acc >> 32);
  }
  for (size_t j = i; j + 4 <= size; j += 4) result ^= loadLE32(source + j);
  if constexpr (Copy) std::memcpy(dest + i, source + i, size - i);
  return result;
}

}  // namespace

uint32_t XorDwords(const uint8_t* data, size_t size) { return xorDwordsPass<false>(data, nullptr, size); }

uint32_t CopyXorDwords(const uint8_t* source, uint8_t* dest, size_t size) {
  return xorDwordsPass<true>(source, dest, size);
}

uint16_t Crc16Arc(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i)
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16ArcTable[(crc ^ data[i]) & 0xFF]);
  return crc;
}

uint32_t CalcChecksum(const uint8_t* data, size_t size, uint8_t kind) {
  switch (kind) {
    case kChecksumXorDwords:
      return XorDwords(data, size);
    case kChecksumCrc16:
      return Crc16Arc(data, size);
    default:
      return 0;
  }
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  // zlib takes the length as uInt; feed larger buffers in pieces.
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    const uInt piece = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    crc = crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

std::string Base64Encode(const uint8_t* data, size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group =
        static_cast<uint32_t>(data[i]) << 16 | static_cast<uint32_t>(data[i + 1]) << 8 | data[i + 2];
    text += kBase64Alphabet[group >> 18];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += kBase64Alphabet[(group >> 6) & 63];
    text += kBase64Alphabet[group & 63];
  }
  if (const size_t rest = size - i; rest > 0) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (rest == 2) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    text += kBase64Alphabet[group >> 18];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::string THash_CRC32::CalcBuffer(const void* buffer, size_t size) {
  const uint32_t crc = Crc32(static_cast<const uint8_t*>(buffer), size);
  const uint8_t bytes[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                            static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
  return Base64Encode(bytes, sizeof bytes);
}

}  // namespace tesvar::codec
