// Bit sets: resizing keeps entries and zeroes new ones, the whole-set operations act entry by
// entry, and misuse (other counts, indexes out of bounds) raises without changing anything.

#include "dataset/TBitsArray.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tesvar;
using namespace tesvar::dataset;
using tesvar::testsupport::messageOf;

namespace {

TBitsArray fromPattern(const std::vector<int>& Pattern) {
  TBitsArray bits(static_cast<int32_t>(Pattern.size()));
  for (size_t i = 0; i < Pattern.size(); ++i) bits.SetItems(static_cast<int32_t>(i), Pattern[i] != 0);
  return bits;
}

std::vector<int> patternOf(const TBitsArray& Bits) {
  std::vector<int> pattern;
  for (int32_t i = 0; i < Bits.Count(); ++i) pattern.push_back(Bits.Items(i) ? 1 : 0);
  return pattern;
}

TEST(BitsArray, ResizingKeepsEntriesAndNewOnesAreClear) {
  TBitsArray bits(3);
  EXPECT_EQ(patternOf(bits), (std::vector<int>{0, 0, 0}));
  bits.FillAll(true);
  bits.SetItems(1, false);
  bits.SetCount(5);
  EXPECT_EQ(patternOf(bits), (std::vector<int>{1, 0, 1, 0, 0}));
  bits.SetCount(2);
  bits.SetCount(4);
  EXPECT_EQ(patternOf(bits), (std::vector<int>{1, 0, 0, 0}));
  EXPECT_EQ(bits.CountSet(), 1);
}

TEST(BitsArray, WholeSetOperationsActEntryByEntry) {
  const std::vector<int> a = {0, 1, 0, 1, 1, 0};
  const std::vector<int> b = {0, 0, 1, 1, 0, 1};
  TBitsArray x = fromPattern(a);
  x.And(fromPattern(b));
  EXPECT_EQ(patternOf(x), (std::vector<int>{0, 0, 0, 1, 0, 0}));
  x = fromPattern(a);
  x.Or(fromPattern(b));
  EXPECT_EQ(patternOf(x), (std::vector<int>{0, 1, 1, 1, 1, 1}));
  x = fromPattern(a);
  x.NotAll();
  EXPECT_EQ(patternOf(x), (std::vector<int>{1, 0, 1, 0, 0, 1}));
  EXPECT_EQ(x.CountSet(), 3);
  x.FillAll(false);
  EXPECT_EQ(x.CountSet(), 0);
}

// Entries live in 64-bit words: around the word boundaries, NotAll and FillAll must not count
// entries past Count, a set that shrinks and grows again must find the regrown entries 0, and
// NextSet must find every set entry in order.
TEST(BitsArray, WordBoundariesKeepEntriesPastCountClear) {
  for (const int32_t count : {1, 63, 64, 65, 128, 130}) {
    SCOPED_TRACE(count);
    TBitsArray bits(count);
    bits.NotAll();
    EXPECT_EQ(bits.CountSet(), count);
    bits.FillAll(false);
    bits.FillAll(true);
    EXPECT_EQ(bits.CountSet(), count);
    bits.SetCount(count - 1);
    bits.SetCount(count + 70);
    EXPECT_EQ(bits.CountSet(), count - 1);
    EXPECT_FALSE(bits.Items(count - 1));
    EXPECT_FALSE(bits.Items(count + 69));

    TBitsArray sparse(count + 70);
    std::vector<int32_t> set;
    for (int32_t i = count % 7; i < sparse.Count(); i += 1 + (i % 61)) {
      sparse.SetItems(i, true);
      set.push_back(i);
    }
    std::vector<int32_t> found;
    for (int32_t i = sparse.NextSet(-5); i >= 0; i = sparse.NextSet(i + 1)) found.push_back(i);
    EXPECT_EQ(found, set);
    EXPECT_EQ(sparse.NextSet(sparse.Count()), -1);
  }
}

TEST(BitsArray, MisuseRaisesAndChangesNothing) {
  TBitsArray x = fromPattern({1, 0, 1});
  EXPECT_EQ(messageOf([&] { x.And(TBitsArray(4)); }), "TBitsArray - counts differ (3, 4)");
  EXPECT_EQ(messageOf([&] { x.Or(TBitsArray(2)); }), "TBitsArray - counts differ (3, 2)");
  EXPECT_EQ(patternOf(x), (std::vector<int>{1, 0, 1}));
  EXPECT_EQ(messageOf([&] { x.SetItems(3, true); }), "TBitsArray - index 3 out of bounds (count 3)");
  EXPECT_EQ(messageOf([&] { (void)x.Items(-1); }), "TBitsArray - index -1 out of bounds (count 3)");
  EXPECT_EQ(messageOf([&] { x.SetCount(-1); }), "TBitsArray - invalid count -1");
  EXPECT_EQ(x.Count(), 3);
}

}  // namespace
