// Container page checksums, CRC-32 stamps and their Base64 text.

#include "codec/Checksums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tesvar::codec {
namespace {

const uint8_t* bytesOf(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

const std::string kCheck = "123456789";

TEST(Checksums, CrcCheckValues) {
  EXPECT_EQ(Crc16Arc(bytesOf(kCheck), kCheck.size()), 0xBB3D);
  EXPECT_EQ(Crc32(bytesOf(kCheck), kCheck.size()), 0xCBF43926u);
  EXPECT_EQ(Crc16Arc(nullptr, 0), 0);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc32C(0, bytesOf(kCheck), kCheck.size()), 0xE3069283u);
  EXPECT_EQ(Crc32CPortable(0, bytesOf(kCheck), kCheck.size()), 0xE3069283u);
  // Both ways agree on every length and alignment.
  std::vector<uint8_t> noise(1000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
  for (size_t start = 0; start < 9; ++start)
    for (size_t size = 0; size + start <= noise.size(); size += 37)
      ASSERT_EQ(Crc32C(7, noise.data() + start, size), Crc32CPortable(7, noise.data() + start, size)) << start << " " << size;
  // CRC-32 folds 64 bytes at a time, then 16, then the rest by table: every length around those
  // steps, at every alignment, continued from a non-zero CRC.
  for (size_t start = 0; start < 17; ++start)
    for (size_t size = 0; size + start <= 300; ++size)
      ASSERT_EQ(Crc32(0x5A5A1234u, noise.data() + start, size), Crc32Portable(0x5A5A1234u, noise.data() + start, size))
          << start << " " << size;
  EXPECT_EQ(Crc32(noise.data(), noise.size()), Crc32Portable(0, noise.data(), noise.size()));
  EXPECT_EQ(Crc32C(0, nullptr, 0), 0u);
  // Continued over a split: the same as over the whole.
  for (size_t cut = 0; cut <= kCheck.size(); ++cut)
    EXPECT_EQ(Crc32C(Crc32C(0, bytesOf(kCheck), cut), bytesOf(kCheck) + cut, kCheck.size() - cut), 0xE3069283u);
  EXPECT_EQ(Crc32(Crc32(bytesOf(kCheck), 4), bytesOf(kCheck) + 4, kCheck.size() - 4), 0xCBF43926u);
}

TEST(Checksums, XorDwordsReadsLittleEndianWordsAndIgnoresTrailingBytes) {
  const struct {
    std::vector<uint8_t> data;
    uint32_t expected;
  } cases[] = {
      {{}, 0},
      {{0xAA, 0xBB, 0xCC}, 0},
      {{0x01, 0x02, 0x03, 0x04}, 0x04030201},
      {{0x01, 0x02, 0x03, 0x04, 0x10, 0x20, 0x30, 0x40}, 0x44332211},
      {{0x01, 0x02, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04}, 0},
      {{0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF}, 0x04030201},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.data.size() << " bytes");
    EXPECT_EQ(XorDwords(c.data.data(), c.data.size()), c.expected);
  }
}

// The wide paths against a dword-by-dword reference, at every length and alignment around the
// 64-byte and eight-byte steps (every bit position of every lane differs, so a lane lost or
// folded wrongly shows); CopyXorDwords also copies every byte, the tail included.
TEST(Checksums, FastXorDwordsAndCopyMatchTheDwordDefinition) {
  std::vector<uint8_t> source(200);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 37 + 11);
  for (size_t offset = 0; offset < 4; ++offset) {
    for (size_t size = 0; size + offset <= source.size(); ++size) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << ", " << size << " bytes");
      const uint8_t* data = source.data() + offset;
      uint32_t expected = 0;
      for (size_t i = 0; i + 4 <= size; i += 4)
        expected ^= uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
                    uint32_t(data[i + 3]) << 24;
      EXPECT_EQ(XorDwords(data, size), expected);
      std::vector<uint8_t> copy(size + 1, 0xEE);
      EXPECT_EQ(CopyXorDwords(data, copy.data(), size), expected);
      EXPECT_TRUE(std::equal(data, data + size, copy.begin()));
      EXPECT_EQ(copy[size], 0xEE);
    }
  }
}

// A copy down over its own source (a page image moved to its data's place) copies what the source
// held and checksums it, at lengths around every step width and shifts below and beyond one step.
TEST(Checksums, CopyXorDwordsMovesDownOverItsSource) {
  for (size_t shift : {size_t{0}, size_t{1}, size_t{4}, size_t{32}, size_t{100}, size_t{300}}) {
    for (size_t size : {size_t{0}, size_t{3}, size_t{8}, size_t{63}, size_t{64}, size_t{127}, size_t{128}, size_t{129},
                        size_t{200}, size_t{4064}}) {
      SCOPED_TRACE(testing::Message() << "shift " << shift << ", " << size << " bytes");
      std::vector<uint8_t> buffer(shift + size + 1);
      for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
      const std::vector<uint8_t> source(buffer.begin() + static_cast<std::ptrdiff_t>(shift), buffer.end() - 1);
      EXPECT_EQ(CopyXorDwords(buffer.data() + shift, buffer.data(), size), XorDwords(source.data(), size));
      EXPECT_TRUE(std::equal(source.begin(), source.end(), buffer.begin()));
    }
  }
}

// The eight-bytes-at-a-time CRC against the bit-by-bit definition (reflected 0xA001, init 0),
// at lengths around the eight-byte steps and at a page's length.
TEST(Checksums, Crc16ArcMatchesTheBitwiseDefinition) {
  std::vector<uint8_t> data(4064);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  for (size_t size : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{16}, size_t{17}, size_t{63},
                      size_t{100}, size_t{4064}}) {
    uint16_t expected = 0;
    for (size_t i = 0; i < size; ++i) {
      expected ^= data[i];
      for (int bit = 0; bit < 8; ++bit) expected = (expected & 1) ? static_cast<uint16_t>((expected >> 1) ^ 0xA001) : expected >> 1;
    }
    EXPECT_EQ(Crc16Arc(data.data(), size), expected) << size << " bytes";
  }
}

TEST(Checksums, CalcChecksumSelectsByKind) {
  const std::vector<uint8_t> data = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CalcChecksum(data.data(), data.size(), kChecksumXorDwords), XorDwords(data.data(), data.size()));
  EXPECT_EQ(CalcChecksum(data.data(), data.size(), kChecksumCrc16), 0x0000BB3Du);
  for (uint8_t kind : {2, 3, 255})
    EXPECT_EQ(CalcChecksum(data.data(), data.size(), kind), 0u) << "kind " << int(kind);
}

TEST(Checksums, Base64EncodesRfc4648Vectors) {
  const struct {
    std::string data;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xFF", "+/8="},
      {std::string("\0\0\0", 3), "AAAA"},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Encode(bytesOf(c.data), c.data.size()), c.text) << c.text;
}

TEST(Checksums, Crc32StampIsBase64OfTheLittleEndianCrc) {
  // CRC 0xCBF43926 stored as 26 39 F4 CB.
  EXPECT_EQ(THash_CRC32::CalcBuffer(kCheck.data(), kCheck.size()), "Jjn0yw==");
  EXPECT_EQ(THash_CRC32::CalcBuffer(nullptr, 0), "AAAAAA==");
}

}  // namespace
}  // namespace tesvar::codec
