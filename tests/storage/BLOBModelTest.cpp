// BLOB values against a model: random record inserts and deletes, value writes, overwrites and
// deletes, flushes, reads and reopens in every store, plain and encrypted, uncompressed and at
// level 1. After every step the touched value reads back as the model has it, the blocks of
// T.bdf are each either free, pending or owned by exactly one value, and (where T.bif is a host
// file) no block the directory in T.bif gives to a value may be allocated or holds another value.
// TESVAR_SEED=<n> repeats a run.

#include "BLOBTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace tesvar;
using namespace tesvar::storagetest;

namespace {

uint64_t seedFor(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

class BLOBModel : public ::testing::TestWithParam<TLevelCase> {
protected:
  struct Rec {
    std::string Name;
    std::vector<uint8_t> Values[2];  // Notes, Pic as they read back
  };

  // A value of a random size: often none, mostly small, sometimes several blocks, sometimes a
  // graphic (whose header is not kept).
  std::vector<uint8_t> randomValue(std::vector<uint8_t>& Expected) {
    const int kind = static_cast<int>(Rng() % 10);
    size_t size = 0;
    if (kind >= 3 && kind < 8) size = 1 + Rng() % 600;
    if (kind >= 8) size = 600 + Rng() % 6000;
    std::vector<uint8_t> v = Rng() % 2 ? noise(size, static_cast<uint32_t>(Rng())) : text(size);
    Expected = v;
    if (size > 2 && Rng() % 8 == 0) {
      std::vector<uint8_t> g = {1, 0, 0, 1, 4, 3, 2, 1, 'B', 'M'};
      Expected.assign(g.begin() + 8, g.end());
      Expected.insert(Expected.end(), v.begin(), v.end());
      g.insert(g.end(), v.begin(), v.end());
      return g;
    }
    return v;
  }

  void checkValue(TBlobEnv& E, int32_t RecNo, int k) {
    ASSERT_EQ(E.Read(RecNo, k == 0 ? kNotes : kPic), Model[static_cast<size_t>(RecNo)].Values[k])
        << "record " << RecNo << " field " << k;
  }
  void checkAll(TBlobEnv& E) {
    ASSERT_EQ(E.M().RecordCount(), static_cast<int32_t>(Model.size()));
    for (int32_t r = 0; r < static_cast<int32_t>(Model.size()); ++r) {
      ASSERT_EQ(E.NameOf(r), Model[static_cast<size_t>(r)].Name);
      for (int k = 0; k < 2; ++k) checkValue(E, r, k);
    }
  }
  // Every block below TotalBlocks is free or owned by one value, never both or twice.
  void checkBlocks(TBlobEnv& E) {
    const TedBLOBDirectory& d = E.M().BLOBDirectory();
    ASSERT_EQ(d.RecordCount(), E.M().RecordCount());
    std::vector<int> owners(static_cast<size_t>(d.TotalBlocks()), 0);
    auto own = [&](const TBLOBPart& p) {
      for (int32_t b = p.FirstBlock; b < p.FirstBlock + p.BlockCount; ++b) {
        ASSERT_LT(b, d.TotalBlocks());
        ++owners[static_cast<size_t>(b)];
      }
    };
    for (const TBLOBPart& p : d.FreeParts()) own(p);
    for (const TBLOBPart& p : d.PendingParts()) own(p);
    for (int32_t r = 0; r < d.RecordCount(); ++r)
      for (int32_t k = 0; k < 2; ++k) {
        const TBLOBHeader& h = d.Header(r, k);
        int64_t blocks = 0;
        for (int32_t i = 0; i < h.PartCount; ++i) {
          own(d.Parts(h)[i]);
          blocks += d.Parts(h)[i].BlockCount;
        }
        ASSERT_EQ(blocks, (static_cast<int64_t>(h.StoredSize) + 511) / 512) << r << " " << k;
      }
    for (size_t b = 0; b < owners.size(); ++b) ASSERT_EQ(owners[b], 1) << "block " << b;
  }

  // The directory T.bif holds is what a failure or crash falls back to: a block it gives to a
  // value is held by that same value (same parts, sizes and CRC) or by none, and is not free.
  void checkSavedBlocks(TBlobEnv& E) {
    if (GetParam().Store.Mode != pfs::fsmDirectory) return;
    const std::vector<uint8_t> block = TBlobEnv::DirectoryBlockOf(E.HostFile(".bif"));
    TedBLOBDirectory saved;
    saved.Parse(block.data(), block.size(), 2, 0);
    const TedBLOBDirectory& d = E.M().BLOBDirectory();
    std::vector<const TBLOBHeader*> owner(static_cast<size_t>(saved.TotalBlocks()), nullptr);
    for (int32_t r = 0; r < saved.RecordCount(); ++r)
      for (int32_t k = 0; k < 2; ++k) {
        const TBLOBHeader& h = saved.Header(r, k);
        for (int32_t i = 0; i < h.PartCount; ++i) {
          const TBLOBPart& p = saved.Parts(h)[i];
          for (int32_t b = p.FirstBlock; b < p.FirstBlock + p.BlockCount; ++b) owner[static_cast<size_t>(b)] = &h;
        }
      }
    auto savedOwner = [&owner](int32_t b) {
      return static_cast<size_t>(b) < owner.size() ? owner[static_cast<size_t>(b)] : nullptr;
    };
    for (const TBLOBPart& p : d.FreeParts())
      for (int32_t b = p.FirstBlock; b < p.FirstBlock + p.BlockCount; ++b)
        ASSERT_EQ(savedOwner(b), nullptr) << "block " << b << " is free but holds a saved value";
    for (int32_t r = 0; r < d.RecordCount(); ++r)
      for (int32_t k = 0; k < 2; ++k) {
        const TBLOBHeader& h = d.Header(r, k);
        const TedBLOBPartsArray parts(d.Parts(h), d.Parts(h) + h.PartCount);
        for (const TBLOBPart& p : parts)
          for (int32_t b = p.FirstBlock; b < p.FirstBlock + p.BlockCount; ++b) {
            const TBLOBHeader* s = savedOwner(b);
            if (s == nullptr) continue;
            ASSERT_TRUE(TedBLOBPartsArray(saved.Parts(*s), saved.Parts(*s) + s->PartCount) == parts &&
                        s->StoredSize == h.StoredSize && s->CrcText() == h.CrcText())
                << "block " << b << " of record " << r << " field " << k << " holds another saved value";
          }
      }
  }

  std::mt19937_64 Rng;
  std::vector<Rec> Model;
};

TEST_P(BLOBModel, RandomChangesAgreeWithTheModel) {
  const uint64_t seed = seedFor(4711);
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  Rng.seed(seed);
  TBlobEnv env(GetParam().Store, GetParam().Level);
  env.CreateBlobTable();
  env.Open();
  for (int step = 0; step < 500; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int op = static_cast<int>(Rng() % 100);
    const auto count = static_cast<int32_t>(Model.size());
    if (op < 25 || count == 0) {
      Rec rec{"r" + std::to_string(step), {}};
      const std::vector<uint8_t> notes = randomValue(rec.Values[0]);
      const std::vector<uint8_t> pic = randomValue(rec.Values[1]);
      Model.push_back(rec);
      env.Add(rec.Name, notes, pic);
      checkValue(env, count, static_cast<int>(Rng() % 2));
    } else if (op < 55) {
      const auto r = static_cast<int32_t>(Rng() % static_cast<uint64_t>(count));
      const int k = static_cast<int>(Rng() % 2);
      const std::vector<uint8_t> v = randomValue(Model[static_cast<size_t>(r)].Values[k]);
      env.Write(r, k == 0 ? kNotes : kPic, v);
      checkValue(env, r, k);
    } else if (op < 63) {
      const auto r = static_cast<int32_t>(Rng() % static_cast<uint64_t>(count));
      const int k = static_cast<int>(Rng() % 2);
      env.M().DeleteBLOBValue(k == 0 ? kNotes : kPic, r);
      Model[static_cast<size_t>(r)].Values[k].clear();
      checkValue(env, r, k);
    } else if (op < 78) {
      const auto r = static_cast<int32_t>(Rng() % static_cast<uint64_t>(count));
      env.Remove(r);
      Model[static_cast<size_t>(r)] = Model.back();
      Model.pop_back();
      if (r < static_cast<int32_t>(Model.size())) checkValue(env, r, static_cast<int>(Rng() % 2));
    } else if (op < 92) {
      const auto r = static_cast<int32_t>(Rng() % static_cast<uint64_t>(count));
      checkValue(env, r, static_cast<int>(Rng() % 2));
    } else if (op < 96) {
      env.M().FlushBuffers();
    } else {
      env.Close();
      env.Open();
      checkAll(env);
    }
    checkBlocks(env);
    checkSavedBlocks(env);
    if (HasFatalFailure()) return;
  }
  env.Close();
  env.Open();
  checkAll(env);
  checkBlocks(env);
}

INSTANTIATE_TEST_SUITE_P(Stores, BLOBModel, ::testing::ValuesIn(levelCases({0, 1})),
                         [](const auto& info) { return levelCaseName(info.param); });

}  // namespace
