#include "codec/Checksums.h"

#include <zlib.h>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TESVAR_HAVE_SSE2 1
#else
#define TESVAR_HAVE_SSE2 0
#endif
// GCC and Clang on x86-64 also build an AVX2 pass, chosen at run time when the processor has it.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define TESVAR_HAVE_AVX2_PASS 1
#else
#define TESVAR_HAVE_AVX2_PASS 0
#endif

#include <array>
#include <bit>
#include <climits>
#include <cstring>

namespace tesvar::codec {

namespace {

// Slicing by eight: table k gives the CRC contribution of a byte followed by k zero bytes, so
// eight bytes fold into the CRC with eight independent lookups.
using Crc16Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Crc16Tables makeCrc16ArcTables() {
  Crc16Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    tables[0][i] = crc;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint16_t previous = tables[k - 1][i];
      tables[k][i] = static_cast<uint16_t>((previous >> 8) ^ tables[0][previous & 0xFF]);
    }
  }
  return tables;
}

constexpr Crc16Tables kCrc16ArcTables = makeCrc16ArcTables();

using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32Tables makeCrc32CTables() {
  Crc32Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    tables[0][i] = crc;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
  }
  return tables;
}

constexpr Crc32Tables kCrc32CTables = makeCrc32CTables();

// The register form (no initial or final XOR), eight bytes at a time by slicing.
uint32_t crc32cSoftware(uint32_t crc, const uint8_t* data, size_t size) {
  const auto& t = kCrc32CTables;
  while (size >= 8) {
    const uint32_t lo = crc ^ (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][data[4]] ^
          t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
  return crc;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

namespace {

uint32_t loadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

#if TESVAR_HAVE_AVX2_PASS
// The XOR of the qwords of source[i ..] in 128-byte steps (copied to dest with Copy); i advances
// past the bytes taken.
template <bool Copy>
__attribute__((target("avx2"))) uint64_t xorQwordsAvx2(const uint8_t* source, uint8_t* dest, size_t& i, size_t size) {
  __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256(), a2 = _mm256_setzero_si256(),
          a3 = _mm256_setzero_si256();
  for (; i + 128 <= size; i += 128) {
    const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
    const __m256i w2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 64));
    const __m256i w3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 96));
    if constexpr (Copy) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + i), w0);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + i + 32), w1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + i + 64), w2);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + i + 96), w3);
    }
    a0 = _mm256_xor_si256(a0, w0);
    a1 = _mm256_xor_si256(a1, w1);
    a2 = _mm256_xor_si256(a2, w2);
    a3 = _mm256_xor_si256(a3, w3);
  }
  const __m256i all = _mm256_xor_si256(_mm256_xor_si256(a0, a1), _mm256_xor_si256(a2, a3));
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), all);
  return lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
}

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

// One pass over the data: 128 bytes at a time in AVX2 registers where the processor has them, 64
// bytes at a time in SSE2 registers where the host has them (every x86-64), then eight bytes at a
// time where it is little-endian (the XOR of the qwords folds to the XOR of their dwords), then
// dword by dword. With Copy the bytes also go to dest in the same pass; every step loads its bytes
// before it stores them and the steps go forward, so dest may lie below source and overlap it.
template <bool Copy>
uint32_t xorDwordsPass(const uint8_t* source, uint8_t* dest, size_t size) {
  uint64_t acc = 0;
  size_t i = 0;
#if TESVAR_HAVE_AVX2_PASS
  if (size >= 128 && hasAvx2()) acc = xorQwordsAvx2<Copy>(source, dest, i, size);
#endif
#if TESVAR_HAVE_SSE2
  if (i + 64 <= size) {
    __m128i a0 = _mm_setzero_si128(), a1 = _mm_setzero_si128(), a2 = _mm_setzero_si128(), a3 = _mm_setzero_si128();
    for (; i + 64 <= size; i += 64) {
      const __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
      const __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 16));
      const __m128i w2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 32));
      const __m128i w3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 48));
      if constexpr (Copy) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i), w0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i + 16), w1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i + 32), w2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + i + 48), w3);
      }
      a0 = _mm_xor_si128(a0, w0);
      a1 = _mm_xor_si128(a1, w1);
      a2 = _mm_xor_si128(a2, w2);
      a3 = _mm_xor_si128(a3, w3);
    }
    const __m128i all = _mm_xor_si128(_mm_xor_si128(a0, a1), _mm_xor_si128(a2, a3));
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), all);
    acc ^= lanes[0] ^ lanes[1];
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, source + i, 8);
      if constexpr (Copy) std::memcpy(dest + i, &word, 8);
      acc ^= word;
    }
  }
  uint32_t result = static_cast<uint32_t>(acc) ^ static_cast<uint32_t>(acc >> 32);
  for (size_t j = i; j + 4 <= size; j += 4) result ^= loadLE32(source + j);
  if constexpr (Copy) std::memmove(dest + i, source + i, size - i);
  return result;
}

}  // namespace

uint32_t XorDwords(const uint8_t* data, size_t size) { return xorDwordsPass<false>(data, nullptr, size); }

uint32_t CopyXorDwords(const uint8_t* source, uint8_t* dest, size_t size) {
  return xorDwordsPass<true>(source, dest, size);
}

uint16_t Crc16Arc(const uint8_t* data, size_t size) {
  const auto& t = kCrc16ArcTables;
  uint32_t crc = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const uint8_t* p = data + i;
    crc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
    crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^
          t[0][p[7]];
  }
  for (; i < size; ++i) crc = (crc >> 8) ^ t[0][(crc ^ data[i]) & 0xFF];
  return static_cast<uint16_t>(crc);
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

uint32_t Crc32(const uint8_t* data, size_t size) { return Crc32(0, data, size); }

namespace {

#if TESVAR_HAVE_AVX2_PASS
__attribute__((target("pclmul"))) inline __m128i crc32Fold16(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// CRC-32 by folding with carry-less multiplication (Gopal, Ozturk, Guilford et al., "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction", Intel 2009): four 128-bit
// lanes folded 64 bytes at a time, folded into one, reduced to 64 and then by Barrett reduction
// to 32 bits. The constants are x^n mod P for the reflected polynomial 0xEDB88320. reg is the
// CRC register (the CRC inverted); size is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32Folded(uint32_t reg, const uint8_t* data, size_t size) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i polyMu = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x1 = _mm_xor_si128(load16(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = load16(data + 16);
  __m128i x3 = load16(data + 32);
  __m128i x4 = load16(data + 48);
  data += 64;
  size -= 64;
  for (; size >= 64; data += 64, size -= 64) {
    x1 = crc32Fold16(x1, k1k2, load16(data));
    x2 = crc32Fold16(x2, k1k2, load16(data + 16));
    x3 = crc32Fold16(x3, k1k2, load16(data + 32));
    x4 = crc32Fold16(x4, k1k2, load16(data + 48));
  }
  x1 = crc32Fold16(x1, k3k4, x2);
  x1 = crc32Fold16(x1, k3k4, x3);
  x1 = crc32Fold16(x1, k3k4, x4);
  for (; size >= 16; data += 16, size -= 16) x1 = crc32Fold16(x1, k3k4, load16(data));
  __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x10), _mm_srli_si128(x1, 8));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), _mm_srli_si128(x, 4));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), polyMu, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), polyMu, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool hasPclmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}
#endif

}  // namespace

uint32_t Crc32(uint32_t start, const uint8_t* data, size_t size) {
#if TESVAR_HAVE_AVX2_PASS
  if (size >= 64 && hasPclmul()) {
    const size_t folded = size & ~size_t{15};
    start = ~crc32Folded(~start, data, folded);
    data += folded;
    size -= folded;
  }
#endif
  return Crc32Portable(start, data, size);
}

uint32_t Crc32Portable(uint32_t start, const uint8_t* data, size_t size) {
  // zlib takes the length as uInt; feed larger buffers in pieces.
  uLong crc = start;
  while (size > 0) {
    const uInt piece = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    crc = crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

namespace {

#if TESVAR_HAVE_AVX2_PASS
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const uint8_t* data, size_t size) {
  uint64_t wide = crc;
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, data, 8);
    wide = _mm_crc32_u64(wide, word);
    data += 8;
    size -= 8;
  }
  crc = static_cast<uint32_t>(wide);
  while (size-- > 0) crc = _mm_crc32_u8(crc, *data++);
  return crc;
}

bool hasSse42() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32C(uint32_t crc, const uint8_t* data, size_t size) {
  crc = ~crc;
#if TESVAR_HAVE_AVX2_PASS
  if (hasSse42()) return ~crc32cHardware(crc, data, size);
#endif
  return ~crc32cSoftware(crc, data, size);
}

uint32_t Crc32CPortable(uint32_t crc, const uint8_t* data, size_t size) { return ~crc32cSoftware(~crc, data, size); }

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
