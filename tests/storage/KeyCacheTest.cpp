// The key cache: values read from the record source only when first asked for, kept in step by
// Put, MoveLastTo and SetCount, texts short and long (kept whole past the slot), NULLs, and the
// reclaiming of dead text bytes after many changes.

#include "storage/TedKeyCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace tesvar::storage;
using namespace tesvar::toolkit;

namespace {

// Records of two fields: T (ftString of 60) and N (ftInteger); record ID after them.
constexpr int32_t kTextSize = 61;
constexpr int32_t kDataSize = kTextSize + 4;
constexpr int32_t kRecordSize = kDataSize + 32;

TKeyLayout layout() {
  TKeyLayout l;
  l.Types = {ftString, ftInteger};
  l.Offsets = {0, kTextSize};
  l.Sizes = {kTextSize, 4};
  l.IdOffset = kDataSize;
  l.NullOffset = kDataSize + 4;
  return l;
}

std::vector<uint8_t> record(const char* Text, int32_t Number, int32_t Id) {
  std::vector<uint8_t> r(kRecordSize, 0);
  if (Text != nullptr)
    std::memcpy(r.data(), Text, std::strlen(Text));
  else
    r[kDataSize + 4] |= 1;
  std::memcpy(r.data() + kTextSize, &Number, 4);
  std::memcpy(r.data() + kDataSize, &Id, 4);
  return r;
}

class TSource : public IRecordSource {
public:
  std::vector<std::vector<uint8_t>> Records;
  std::map<int32_t, int> Reads;
  const uint8_t* IndexRecord(int32_t RecNo) override {
    ++Reads[RecNo];
    return Records[static_cast<size_t>(RecNo)].data();
  }
};

std::string textOf(const TKeyValue& v) {
  if (v.Null) return "<null>";
  std::string whole(reinterpret_cast<const char*>(v.Data), v.Length);
  EXPECT_LE(v.HeadLength, v.Length);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.Head), v.HeadLength), whole.substr(0, v.HeadLength));
  return whole;
}

int32_t numberOf(const TKeyValue& v) {
  int32_t n;
  std::memcpy(&n, v.Data, 4);
  return n;
}

const std::string kLong = "a text longer than the slot keeps inline";

TEST(KeyCache, ReadsARecordOnceWhenFirstAskedAndKeepsItInStep) {
  TSource source;
  for (int i = 0; i < 6; ++i)
    source.Records.push_back(record(i == 2 ? nullptr : i == 4 ? kLong.c_str() : ("t" + std::to_string(i)).c_str(), i * 10, i + 1));
  TedKeyCache cache(layout(), source);
  const int32_t text = cache.ColumnOf(0);
  const int32_t number = cache.ColumnOf(1);
  const int32_t id = cache.ColumnOf(-1);
  EXPECT_EQ(cache.ColumnOf(0), text);
  cache.SetCount(6);
  EXPECT_TRUE(source.Reads.empty()) << "nothing is read before it is asked for";
  EXPECT_EQ(textOf(cache.Value(text, 3)), "t3");
  EXPECT_EQ(numberOf(cache.Value(number, 3)), 30);
  EXPECT_EQ(numberOf(cache.Value(id, 3)), 4);
  EXPECT_EQ(textOf(cache.Value(text, 2)), "<null>");
  EXPECT_EQ(textOf(cache.Value(text, 4)), kLong);
  EXPECT_EQ((std::map<int32_t, int>{{2, 1}, {3, 1}, {4, 1}}), source.Reads) << "one read per record";

  // Put: a record's new values (the source is not asked); the probe stands beside them.
  const std::vector<uint8_t> changed = record(kLong.c_str(), -7, 4);
  cache.Put(3, changed.data());
  const std::vector<uint8_t> probe = record("probe", 99, 0);
  cache.Put(TedKeyCache::kProbe, probe.data());
  EXPECT_EQ(textOf(cache.Value(text, 3)), kLong);
  EXPECT_EQ(numberOf(cache.Value(number, 3)), -7);
  EXPECT_EQ(textOf(cache.Value(text, TedKeyCache::kProbe)), "probe");
  EXPECT_EQ(source.Reads[3], 1);

  // The last record takes the number of a deleted one; values not cached are read afresh.
  source.Records[1] = source.Records[5];
  cache.MoveLastTo(5, 1);
  EXPECT_EQ(cache.Count(), 5);
  EXPECT_EQ(textOf(cache.Value(text, 1)), "t5");
  EXPECT_EQ(source.Reads[1], 1);
  cache.Put(4, source.Records[4].data());  // cached: 4 takes 0's place
  source.Records[0] = source.Records[4];
  cache.MoveLastTo(4, 0);
  EXPECT_EQ(textOf(cache.Value(text, 0)), kLong);
  EXPECT_EQ(source.Reads.count(0), 0u) << "a moved value stays cached";
  // A new record (count up first).
  cache.SetCount(5);
  source.Records.resize(5);
  source.Records[4] = record("new", 1, 7);
  cache.Put(4, source.Records[4].data());
  EXPECT_EQ(textOf(cache.Value(text, 4)), "new");
}

TEST(KeyCache, ManyChangesOfLongTextsKeepEveryValue) {
  TSource source;
  constexpr int32_t records = 50;
  for (int32_t i = 0; i < records; ++i) source.Records.push_back(record(kLong.c_str(), i, i + 1));
  TedKeyCache cache(layout(), source);
  const int32_t text = cache.ColumnOf(0);
  cache.SetCount(records);
  std::vector<std::string> model(records, kLong);
  // Enough dead text for the arena to be reclaimed several times over.
  const size_t before = cache.MemoryBytes();
  for (int32_t step = 0; step < 600000; ++step) {
    const int32_t slot = step % records;
    model[static_cast<size_t>(slot)] = kLong + std::to_string(step);
    const std::vector<uint8_t> r = record(model[static_cast<size_t>(slot)].c_str(), step, slot + 1);
    cache.Put(slot, r.data());
    if (step % 99991 == 0) {
      for (int32_t i = 0; i < records; ++i) ASSERT_EQ(textOf(cache.Value(text, i)), model[static_cast<size_t>(i)]) << step;
    }
  }
  for (int32_t i = 0; i < records; ++i) ASSERT_EQ(textOf(cache.Value(text, i)), model[static_cast<size_t>(i)]);
  EXPECT_LT(cache.MemoryBytes(), before + (40u << 20)) << "dead text is reclaimed";
}

}  // namespace
