// The PPMd variant G model below the buffer functions: restarts when its memory runs out, and
// keeps to the output bounds it is given in both directions.

#include "codec/PpmdModel_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
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

}  // namespace
}  // namespace tesvar::codec::ppmd
