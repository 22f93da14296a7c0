// Buffer compression: round trips at every level, the chunk record layout of levels 2 and 3,
// argument errors, and damaged streams (truncated, bit-flipped, random) that must never crash,
// hang, overrun or come back as the full, wrong data.

#include "codec/CompressedBufferFormat.h"
#include "codec/EdbCompress.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tesvar::codec {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace format;

const uint8_t kLevels[] = {clFastest, clDefault, clMax};

Bytes textData(size_t size, uint32_t seed) {
  static const char* const words[] = {"disk", "catalog", "title", "music", "video", "1999",
                                      "magazine", "Windows", "setup.exe", "readme", "CD-ROM",
                                      "game", "drivers", "\r\n", "path", "keywords"};
  std::mt19937 random(seed);
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = words[random() % std::size(words)];
    out.insert(out.end(), w, w + std::strlen(w));
    out.push_back(random() % 7 == 0 ? ',' : ' ');
  }
  out.resize(size);
  return out;
}

// Little-endian records: a counter, a small varying field and a few random bytes.
Bytes binaryData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out;
  for (uint32_t i = 0; out.size() < size; ++i) {
    for (int b = 0; b < 4; ++b) out.push_back(uint8_t((i * 3) >> (8 * b)));
    out.push_back(uint8_t(random() % 5));
    out.push_back(uint8_t(random()));
    out.push_back(0);
    out.push_back(0xFF);
  }
  out.resize(size);
  return out;
}

Bytes randomData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (auto& b : out) b = uint8_t(random());
  return out;
}

// A 4 KB random block repeated: cheap to code once the model has learnt it.
Bytes periodicData(size_t size, uint32_t seed) {
  const Bytes block = randomData(4096, seed);
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = block[i % block.size()];
  return out;
}

bool compress(const Bytes& in, uint8_t level, Bytes& out) {
  int32_t size = -1;
  const bool ok = edCompressBuffer(in.data(), int32_t(in.size()), out, level, size);
  EXPECT_EQ(size_t(size), ok ? out.size() : 0);
  return ok;
}

// Decompresses with StatedSize; checks the output contract and returns the bytes produced.
Bytes decompress(const Bytes& in, uint8_t level, int32_t statedSize, bool* ok = nullptr) {
  Bytes out;
  int32_t size = statedSize;
  const bool result = edDecompressBuffer(in.data(), int32_t(in.size()), out, level, size);
  EXPECT_EQ(out.size(), size_t(size));
  EXPECT_EQ(result, size >= 1);
  if (ok) *ok = result;
  return out;
}

uint32_t le32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

struct RoundTripCase {
  const char* name;
  Bytes (*make)(size_t, uint32_t);
  size_t size;
};

class EdbCompressRoundTrip : public testing::TestWithParam<uint8_t> {};

TEST_P(EdbCompressRoundTrip, RestoresEveryKindOfData) {
  const uint8_t level = GetParam();
  const RoundTripCase cases[] = {
      {"one byte", randomData, 1},
      {"text", textData, 20000},
      {"binary records", binaryData, 20000},
      {"repetitive", [](size_t n, uint32_t) { return Bytes(n, 'a'); }, 30000},
      {"incompressible", randomData, 8000},
      {"all byte values", [](size_t n, uint32_t) {
         Bytes b(n);
         for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i);
         return b;
       }, 256 * 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes data = c.make(c.size, 7);
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    EXPECT_EQ(decompress(packed, level, int32_t(data.size())), data);
  }
}

TEST_P(EdbCompressRoundTrip, EmptyInputFailsAtChunkedLevels) {
  const uint8_t level = GetParam();
  const uint8_t dummy = 0;
  Bytes out{1, 2, 3};
  int32_t size = -1;
  const bool ok = edCompressBuffer(&dummy, 0, out, level, size);
  if (level == clFastest) {
    // A zlib stream of nothing still has its header and trailer.
    EXPECT_TRUE(ok);
    EXPECT_GT(size, 0);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ(size, 0);
  }
}

TEST_P(EdbCompressRoundTrip, StatedSizeOfZeroFailsWithoutReadingTheInput) {
  Bytes out;
  for (int32_t stated : {0, -1}) {
    int32_t size = stated;
    EXPECT_FALSE(edDecompressBuffer(nullptr, 100, out, GetParam(), size));
    EXPECT_EQ(size, 0);
  }
}

// Compressing one buffer must give the same bytes whatever the shared model memory held before
// (another buffer, the other level's area size).
TEST_P(EdbCompressRoundTrip, OutputDoesNotDependOnEarlierCalls) {
  const uint8_t level = GetParam();
  const Bytes data = textData(30000, 3);
  Bytes first, again, other;
  ASSERT_TRUE(compress(data, level, first));
  ASSERT_TRUE(compress(binaryData(40000, 4), clDefault, other));
  ASSERT_TRUE(compress(randomData(5000, 5), clMax, other));
  ASSERT_TRUE(compress(data, level, again));
  EXPECT_EQ(first, again);
}

INSTANTIATE_TEST_SUITE_P(Levels, EdbCompressRoundTrip, testing::ValuesIn(kLevels),
                         [](const testing::TestParamInfo<uint8_t>& info) {
                           return "Level" + std::to_string(info.param);
                         });

// Several megabytes per level: too slow for every sanitizer run.
class EdbCompressSlow : public testing::TestWithParam<uint8_t> {};

// Sizes around the chunk boundaries of both chunked levels; level 1 has no chunks but must
// handle the same sizes.
TEST_P(EdbCompressSlow, RestoresSizesAroundChunkBoundaries) {
  const uint8_t level = GetParam();
  for (size_t size : {size_t(kDefaultChunkSize - 1), size_t(kDefaultChunkSize),
                      size_t(kDefaultChunkSize + 1), size_t(kMaxChunkSize - 1),
                      size_t(kMaxChunkSize), size_t(kMaxChunkSize + 1), size_t(2000000)}) {
    SCOPED_TRACE(size);
    const Bytes data = periodicData(size, uint32_t(size));
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    EXPECT_EQ(decompress(packed, level, int32_t(size)), data);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, EdbCompressSlow, testing::ValuesIn(kLevels),
                         [](const testing::TestParamInfo<uint8_t>& info) {
                           return "Level" + std::to_string(info.param);
                         });

TEST(EdbCompress, ChunkRecordsWalkToTheEnd) {
  const size_t size = 2000000;
  const Bytes data = periodicData(size, 11);
  const struct {
    uint8_t level;
    uint32_t word;
    std::vector<size_t> chunks;
  } cases[] = {
      {clDefault, kDefaultHeaderWord, {819200, 819200, 361600}},
      {clMax, kMaxHeaderWord, {1638400, 361600}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.level));
    Bytes packed;
    ASSERT_TRUE(compress(data, c.level, packed));
    EXPECT_EQ(decompress(packed, c.level, int32_t(size)), data);
    size_t pos = 0;
    size_t start = 0;
    for (size_t chunk : c.chunks) {
      ASSERT_LE(pos + 8, packed.size());
      const uint32_t length = le32(packed, pos);
      EXPECT_EQ(le32(packed, pos + 4), c.word);
      ASSERT_LE(pos + 4 + length, packed.size());
      if (chunk == c.chunks.back()) {
        // A record decodes on its own: every chunk starts a fresh model.
        const Bytes record(packed.begin() + long(pos), packed.end());
        const Bytes expected(data.begin() + long(start), data.end());
        EXPECT_EQ(decompress(record, c.level, int32_t(chunk)), expected);
      }
      pos += 4 + length;
      start += chunk;
    }
    EXPECT_EQ(pos, packed.size());
  }
}

TEST(EdbCompress, FirstRecordStartsWithLengthAndHeaderWord) {
  const Bytes data = textData(1000, 1);
  for (uint8_t level : {clDefault, clMax}) {
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    ASSERT_GE(packed.size(), 8u);
    EXPECT_EQ(le32(packed, 0), packed.size() - 4);
    const uint8_t expected[2][4] = {{0x34, 0x61, 0x00, 0x00}, {0x1F, 0x63, 0x00, 0x00}};
    EXPECT_EQ(0, std::memcmp(&packed[4], expected[level - clDefault], 4));
  }
}

TEST(EdbCompress, HeaderWordFields) {
  EXPECT_EQ(HeaderWordOrder(kDefaultHeaderWord), kDefaultOrder);
  EXPECT_EQ(HeaderWordMemoryMB(kDefaultHeaderWord), kDefaultMemoryMB);
  EXPECT_EQ(HeaderWordOrder(kMaxHeaderWord), kMaxOrder);
  EXPECT_EQ(HeaderWordMemoryMB(kMaxHeaderWord), kMaxMemoryMB);
  EXPECT_EQ(HeaderWordVariant(kMaxHeaderWord), uint32_t('G'));
  EXPECT_NE(HeaderWordVariant(kMaxHeaderWord | 0x10000000), uint32_t('G'));
}

// The coded bytes are part of the stored format: this pins them for one small input so that a
// change to the model or the coder cannot slip through as a mere round-trip success.
TEST(EdbCompress, CodedBytesStayStable) {
  const std::string text = "abracadabra abracadabra, the disk catalogue of abracadabra";
  const Bytes data(text.begin(), text.end());
  const struct {
    uint8_t level;
    std::vector<uint8_t> expected;
  } cases[] = {
      {clDefault,
       {0x29, 0x00, 0x00, 0x00, 0x34, 0x61, 0x00, 0x00, 0xB4, 0x1C, 0x9A, 0xFB,
        0x0E, 0x53, 0x81, 0x46, 0xD0, 0x94, 0x4A, 0x40, 0x78, 0x33, 0x6A, 0x26,
        0xB5, 0x6E, 0x25, 0x5B, 0x76, 0x07, 0x9E, 0x52, 0x61, 0x93, 0x73, 0x5B,
        0x6D, 0xF0, 0x6D, 0x8A, 0x90, 0xDA, 0x19, 0xCB, 0x00}},
      {clMax,
       {0x29, 0x00, 0x00, 0x00, 0x1F, 0x63, 0x00, 0x00, 0xB4, 0x1C, 0x9A, 0xFB,
        0x0E, 0x53, 0x81, 0x46, 0xD0, 0x94, 0x4D, 0x20, 0xA1, 0xEF, 0x04, 0xA4,
        0x7A, 0x21, 0x12, 0x35, 0x80, 0xAF, 0xD7, 0x7A, 0x2D, 0xA1, 0x73, 0xD6,
        0xB0, 0xB3, 0xCC, 0xD7, 0xDF, 0x7E, 0xB3, 0x47, 0x00}},
  };
  for (const auto& c : cases) {
    Bytes packed;
    ASSERT_TRUE(compress(data, c.level, packed));
    std::string hex;
    for (uint8_t b : packed) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(packed, c.expected) << hex;
  }
}

TEST(EdbCompress, NilInputRaises) {
  Bytes out;
  int32_t size = 0;
  for (uint8_t level : {clNone, clFastest, clDefault, clMax}) {
    try {
      edCompressBuffer(nullptr, 10, out, level, size);
      ADD_FAILURE() << "no exception at level " << int(level);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "edCompressBuffer - inBuf = nil");
    }
  }
}

TEST(EdbCompress, UnknownLevelsFail) {
  const Bytes data = textData(100, 1);
  Bytes packed;
  ASSERT_TRUE(compress(data, clDefault, packed));
  for (uint8_t level : {uint8_t(clNone), uint8_t(4), uint8_t(255)}) {
    SCOPED_TRACE(int(level));
    Bytes out;
    EXPECT_FALSE(compress(data, level, out));
    bool ok = true;
    EXPECT_TRUE(decompress(packed, level, int32_t(data.size()), &ok).empty());
    EXPECT_FALSE(ok);
  }
}

TEST(EdbCompress, NegativeInputSizeFails) {
  const uint8_t byte = 1;
  Bytes out;
  int32_t size = 5;
  for (uint8_t level : kLevels) EXPECT_FALSE(edCompressBuffer(&byte, -1, out, level, size));
  EXPECT_EQ(size, 0);
}

// Level 1 grows its output past a stated size that was too small; the chunked levels never
// write more than the stated size.
TEST(EdbCompress, StatedSizeTooSmall) {
  const Bytes data = textData(20000, 2);
  for (uint8_t level : kLevels) {
    SCOPED_TRACE(int(level));
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    const Bytes out = decompress(packed, level, 100);
    if (level == clFastest) {
      EXPECT_EQ(out, data);
    } else {
      EXPECT_LE(out.size(), 100u);
    }
  }
}

TEST(EdbCompress, IncompressibleInputFitsTheReservedOutput) {
  // The worst case for PPMd: every symbol escapes to the order 0 context.
  const Bytes data = randomData(20000, 9);
  for (uint8_t level : kLevels) {
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    EXPECT_LE(packed.size(), data.size() / kRecordSlackDivisor + data.size() + kRecordSlack);
  }
}

// Damaged streams: the result is false or fewer bytes, or else exactly the original data.
class EdbCompressDamaged : public testing::TestWithParam<uint8_t> {};

TEST_P(EdbCompressDamaged, TruncatedFlippedAndRandomStreams) {
  const uint8_t level = GetParam();
  const uint32_t seed = 20240611u + level;
  std::mt19937 random(seed);
  const Bytes sources[] = {textData(2000, seed), binaryData(1500, seed), randomData(400, seed)};
  for (const Bytes& data : sources) {
    Bytes packed;
    ASSERT_TRUE(compress(data, level, packed));
    const int32_t stated = int32_t(data.size());
    auto check = [&](const Bytes& damaged, const char* what, size_t detail) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << what << " " << detail);
      bool ok = false;
      const Bytes out = decompress(damaged, level, stated, &ok);
      ASSERT_LE(out.size(), data.size() + (level == clFastest ? 1u << 20 : 0u));
      if (ok && out.size() == data.size()) {
        EXPECT_EQ(out, data);
      }
    };
    for (int i = 0; i < 30; ++i) {
      const size_t cut = random() % packed.size();
      check(Bytes(packed.begin(), packed.begin() + long(cut)), "truncated at", cut);
    }
    for (int i = 0; i < 50; ++i) {
      Bytes damaged = packed;
      const size_t bit = random() % (damaged.size() * 8);
      damaged[bit / 8] ^= uint8_t(1u << (bit % 8));
      check(damaged, "bit flipped", bit);
    }
  }
  for (int i = 0; i < 30; ++i) {
    Bytes garbage = randomData(1 + random() % 400, uint32_t(random()));
    if (level != clFastest && i % 2 == 0 && garbage.size() >= 8) {
      // Passes the record header check, so the decoder runs on noise.
      const uint32_t length = uint32_t(garbage.size() - 4);
      std::memcpy(&garbage[0], &length, 4);
      const uint32_t word = level == clDefault ? kDefaultHeaderWord : kMaxHeaderWord;
      std::memcpy(&garbage[4], &word, 4);
    }
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", random stream " << i);
    bool ok = false;
    const Bytes out = decompress(garbage, level, 5000, &ok);
    EXPECT_LE(out.size(), level == clFastest ? 400u * 1032u : 5000u);
  }
}

// Hand-made records: a coder that runs out of input reads all ones and must still stop, within
// the stated size; records that cannot be whole decode nothing.
TEST(EdbCompress, OddRecordsStopWithinTheStatedSize) {
  auto record = [](uint32_t length, uint32_t word, const Bytes& payload) {
    Bytes r(8);
    std::memcpy(&r[0], &length, 4);
    std::memcpy(&r[4], &word, 4);
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
  };
  const struct {
    const char* name;
    Bytes stream;
  } cases[] = {
      {"all-ones coder bytes", record(8, kDefaultHeaderWord, Bytes(4, 0xFF))},
      {"all-zero coder bytes", record(8, kMaxHeaderWord, Bytes(4, 0x00))},
      {"long run of ones", record(4 + 300, kDefaultHeaderWord, Bytes(300, 0xFF))},
      {"length past the end", record(1000, kDefaultHeaderWord, Bytes(20, 0x55))},
      {"length of all ones", record(0xFFFFFFFF, kDefaultHeaderWord, Bytes(20, 0x55))},
      {"record without coder bytes", record(4, kDefaultHeaderWord, {})},
      {"variant H", record(8, kDefaultHeaderWord + 0x1000, Bytes(4, 0))},
      {"top bytes set", record(8, kDefaultHeaderWord | 0x00010000, Bytes(4, 0))},
      {"header cut short", Bytes{8, 0, 0, 0, 0x34, 0x61}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint8_t level : {clDefault, clMax}) {
      const Bytes out = decompress(c.stream, level, 3000);
      EXPECT_LE(out.size(), 3000u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, EdbCompressDamaged, testing::ValuesIn(kLevels),
                         [](const testing::TestParamInfo<uint8_t>& info) {
                           return "Level" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace tesvar::codec
