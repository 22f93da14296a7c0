// The PPMd variant G model below the buffer functions: restarts when its memory runs out, keeps
// to the output bounds it is given in both directions, and codes every value the same whether the
// model is fresh or has coded other values before.

#include "codec/Checksums.h"
#include "codec/PpmdModel_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

namespace tesvar::codec::ppmd {
namespace {

using Bytes = std::vector<uint8_t>;

// Text-like runs mixed with noise: many distinct contexts, so a small area fills quickly.
Bytes mixedData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < size) {
    const size_t run = 20 + random() % 200;
    const bool noise = random() % 3 == 0;
    for (size_t i = 0; i < run; ++i)
      out.push_back(noise ? uint8_t(random()) : uint8_t('a' + random() % 12));
  }
  out.resize(size);
  return out;
}

Bytes compressWith(TPpmdModel& model, const Bytes& data, int order) {
  Bytes out(data.size() + data.size() / 10 + 64);
  out.resize(model.Compress(data.data(), data.size(), out.data(), out.size(), order));
  return out;
}

TEST(PpmdModel, RestartsWhenTheMemoryAreaIsExhausted) {
  const Bytes data = mixedData(100000, 5);
  for (int order : {3, 16}) {
    SCOPED_TRACE(order);
    TPpmdModel small;
    ASSERT_TRUE(small.SetMemorySize(1));
    const Bytes packed = compressWith(small, data, order);

    Bytes back(data.size());
    const auto result = small.Decompress(packed.data(), packed.size(), back.data(), back.size(), order);
    EXPECT_TRUE(result.Complete);
    EXPECT_EQ(result.Produced, data.size());
    EXPECT_EQ(back, data);

    // With room to spare the model never restarts, so the coded bytes differ.
    TPpmdModel large;
    ASSERT_TRUE(large.SetMemorySize(20));
    EXPECT_NE(compressWith(large, data, order), packed);
  }
}

TEST(PpmdModel, CompressStopsAtTheEndOfTheOutput) {
  const Bytes data = mixedData(5000, 1);
  TPpmdModel model;
  ASSERT_TRUE(model.SetMemorySize(1));
  const size_t needed = compressWith(model, data, 5).size();
  for (size_t capacity : {size_t(0), size_t(3), needed / 2, needed - 1}) {
    SCOPED_TRACE(capacity);
    Bytes out(capacity + 16, 0xA5);
    EXPECT_THROW(model.Compress(data.data(), data.size(), out.data(), capacity, 5), EPpmdStop);
    for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << i;
  }
  Bytes exact(needed);
  EXPECT_EQ(model.Compress(data.data(), data.size(), exact.data(), exact.size(), 5), needed);
}

TEST(PpmdModel, DecompressStopsAtTheEndOfTheOutput) {
  const Bytes data = mixedData(5000, 2);
  TPpmdModel model;
  ASSERT_TRUE(model.SetMemorySize(1));
  const Bytes packed = compressWith(model, data, 5);
  for (size_t capacity : {size_t(0), size_t(1), data.size() - 1}) {
    SCOPED_TRACE(capacity);
    Bytes out(capacity + 16, 0xA5);
    const auto result = model.Decompress(packed.data(), packed.size(), out.data(), capacity, 5);
    EXPECT_FALSE(result.Complete);
    EXPECT_EQ(result.Produced, capacity);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + long(capacity), data.begin()));
    for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << i;
  }
}

// A stream that ends early or runs on past its end is not complete, even when every byte
// decoded before the damage is right.
TEST(PpmdModel, CompletenessNeedsTheExactStream) {
  const Bytes data = mixedData(3000, 3);
  TPpmdModel model;
  ASSERT_TRUE(model.SetMemorySize(1));
  Bytes packed = compressWith(model, data, 5);
  Bytes out(data.size());

  auto whole = model.Decompress(packed.data(), packed.size(), out.data(), out.size(), 5);
  EXPECT_TRUE(whole.Complete);

  auto shorter = model.Decompress(packed.data(), packed.size() - 1, out.data(), out.size(), 5);
  EXPECT_FALSE(shorter.Complete);

  packed.push_back(0);
  auto longer = model.Decompress(packed.data(), packed.size(), out.data(), out.size(), 5);
  EXPECT_FALSE(longer.Complete);
}

// Catalogue memo text: Windows-1251 Cyrillic and Latin words, sentences, a digit now and then.
Bytes memoText(size_t size, uint32_t seed) {
  static const char* const words[] = {
      "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0", "\xE4\xE8\xF1\xEA", "\xE8", "\xE4\xEB\xFF",
      "\xE0\xF0\xF5\xE8\xE2", "driver", "backup", "free", "setup", "the", "of", "2003", "v1.2"};
  std::mt19937 random(seed);
  Bytes out;
  bool capital = true;
  while (out.size() < size) {
    std::string w = words[random() % std::size(words)];
    if (capital) w[0] = char(w[0] >= 'a' && w[0] <= 'z' ? w[0] - 32 : uint8_t(w[0]) >= 0xE0 ? w[0] - 32 : w[0]);
    out.insert(out.end(), w.begin(), w.end());
    capital = random() % 8 == 0;
    if (capital) out.push_back('.');
    out.push_back(' ');
  }
  out.resize(size);
  return out;
}

// One byte nearly always, others rarely: frequencies overflow and rescale often, and rare symbols
// fall out of the contexts that saw them.
Bytes skewedData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (auto& b : out) b = random() % 40 == 0 ? uint8_t(random() % 64) : uint8_t('e');
  return out;
}

Bytes noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(size);
  for (auto& b : out) b = uint8_t(random());
  return out;
}

// Values of every kind and size, coded in one sequence by one model and each by a model of its
// own: the bytes must be the same, decode to the value with either model, and match the digest of
// the coded bytes this coder has always produced (the stored format).
TEST(PpmdModel, ReusedModelCodesEveryValueLikeAFreshOne) {
  struct Case {
    const char* name;
    Bytes (*make)(size_t, uint32_t);
    std::vector<size_t> sizes;
    int order;
    uint32_t memoryMB;
    uint32_t digest;  // CRC-32 of the coded values in order
  };
  const Case cases[] = {
      {"memo text, level 2 model", memoText, {0, 1, 2, 17, 200, 399, 64, 600, 5, 3000}, 5, 20, 0x24406497},
      {"memo text, level 3 model", memoText, {1, 250, 40, 800}, 16, 50, 0x26cf6c66},
      {"skewed, order 2", skewedData, {100, 30000, 7}, 2, 1, 0xa9587d90},
      {"skewed, order 3", skewedData, {30000, 300}, 3, 1, 0x8b54a0d5},
      {"mixed", mixedData, {60000, 10, 30000}, 4, 1, 0x107c67da},
      {"noise, area exhausted", noise, {40000, 256}, 6, 1, 0x0f51168d},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPpmdModel reused;
    ASSERT_TRUE(reused.SetMemorySize(c.memoryMB));
    uint32_t digest = 0;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      SCOPED_TRACE(c.sizes[i]);
      const Bytes data = c.make(c.sizes[i], uint32_t(i + 1));
      TPpmdModel fresh;
      ASSERT_TRUE(fresh.SetMemorySize(c.memoryMB));
      const Bytes packed = compressWith(reused, data, c.order);
      ASSERT_EQ(packed, compressWith(fresh, data, c.order));
      digest = Crc32(digest, packed.data(), packed.size());
      for (TPpmdModel* model : {&reused, &fresh}) {
        Bytes back(data.size() + 1, 0xA5);
        const auto result = model->Decompress(packed.data(), packed.size(), back.data(), back.size(), c.order);
        EXPECT_TRUE(result.Complete);
        back.resize(result.Produced);
        ASSERT_EQ(back, data);
      }
    }
    EXPECT_EQ(digest, c.digest) << std::hex << "0x" << digest;
  }
}

}  // namespace
}  // namespace tesvar::codec::ppmd
