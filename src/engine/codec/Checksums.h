#pragma once
// Checksums of the container and table storage.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tesvar::codec {

// XOR of the (size div 4) little-endian 32-bit words; trailing bytes ignored; 0 for empty data.
uint32_t XorDwords(const uint8_t* data, size_t size);
// XorDwords of source while copying its size bytes to dest, in one pass. dest may overlap source
// when it does not lie above it (dest <= source: a move down, as of a page image to its data's place).
uint32_t CopyXorDwords(const uint8_t* source, uint8_t* dest, size_t size);

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
uint16_t Crc16Arc(const uint8_t* data, size_t size);

// Checksum kinds of container pages: 0 = XorDwords, 1 = Crc16Arc zero-extended; any other kind
// always matches and yields 0.
inline constexpr uint8_t kChecksumXorDwords = 0;
inline constexpr uint8_t kChecksumCrc16 = 1;
uint32_t CalcChecksum(const uint8_t* data, size_t size, uint8_t kind);

// Standard CRC-32 (zlib's).
uint32_t Crc32(const uint8_t* data, size_t size);
// The CRC-32 of some earlier bytes (whose CRC-32 is crc) followed by data. Uses the processor's
// carry-less multiplication where it has one (PCLMULQDQ on x86-64) for 64 bytes and more.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);
// Crc32 by zlib's tables alone (what hosts without the instruction use); for tests.
uint32_t Crc32Portable(uint32_t crc, const uint8_t* data, size_t size);

// CRC-32C (Castagnoli: reflected polynomial 0x82F63B78, initial and final XOR 0xFFFFFFFF), of
// some earlier bytes (whose CRC-32C is crc; 0 for none) followed by data. Uses the processor's
// CRC instruction where it has one (SSE4.2 on x86-64): several times faster than Crc32.
uint32_t Crc32C(uint32_t crc, const uint8_t* data, size_t size);
// Crc32C without the processor's instruction (what hosts without one use); for tests.
uint32_t Crc32CPortable(uint32_t crc, const uint8_t* data, size_t size);

// Base64 (RFC 2045 alphabet, "=" padding, no line breaks).
std::string Base64Encode(const uint8_t* data, size_t size);

// The CRC-32 stamp text: Base64 of the 4 CRC bytes in little-endian order (8 characters).
class THash_CRC32 {
public:
  static std::string CalcBuffer(const void* buffer, size_t size);
};

}  // namespace tesvar::codec
