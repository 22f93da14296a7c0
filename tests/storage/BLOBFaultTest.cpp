// Failed host writes while BLOB values and their directory are flushed: the failure is
// reported, the table opens afterwards, and what the last completed flush saved stays readable.

#include "BLOBTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;
using tesvar::testsupport::messageOf;

namespace {

std::vector<TStoreCase> hostStoreCases() {
  std::vector<TStoreCase> cases;
  for (const TStoreCase& c : allStoreCases())
    if (c.Mode == pfs::fsmDirectory || c.Mode == pfs::fsmSingleFile) cases.push_back(c);
  return cases;
}

struct Values {
  std::vector<uint8_t> Notes, Pic;
};

class BLOBWriteFault : public ::testing::TestWithParam<TStoreCase> {
protected:
  // Six saved records, then a batch: record 1's Notes replaced by a value of the same size
  // (which takes its own blocks back), record 2's Pic by a larger one, record 3's Notes removed,
  // two records added.
  void SaveAndChange(TBlobEnv& E) {
    E.CreateBlobTable();
    E.Open();
    E.FClock.SetAutoAdvance(0);  // nothing flushes by age
    Saved.clear();
    for (int i = 0; i < 6; ++i) {
      Saved.push_back({noise(400 + 300 * static_cast<size_t>(i), static_cast<uint32_t>(i)), text(100 + 50 * static_cast<size_t>(i))});
      E.Add("r" + std::to_string(i), Saved.back().Notes, Saved.back().Pic);
    }
    E.M().FlushBuffers();
    Changed = Saved;
    Changed[1].Notes = noise(Saved[1].Notes.size(), 99);
    Changed[2].Pic = noise(4000, 98);
    Changed[3].Notes.clear();
    Changed.push_back({text(2500), noise(30, 97)});
    Changed.push_back({{}, noise(1500, 96)});
    E.Write(1, kNotes, Changed[1].Notes);
    E.Write(2, kPic, Changed[2].Pic);
    E.Write(3, kNotes, {});
    E.Add("r6", Changed[6].Notes, Changed[6].Pic);
    E.Add("r7", Changed[7].Notes, Changed[7].Pic);
  }
  std::vector<Values> Saved, Changed;
};

// For k = 1, 2, ...: every host write from the k-th on fails while the batch is flushed. The
// flush and the close report it; reopened, the table has the saved records or all of them,
// untouched values read exactly, and a touched value reads as saved or as changed. A directory
// table writes the blocks of a value in place before the directory that describes them, so a
// value whose own blocks were reused may also read as damaged (the CRC or the decompressor says
// so), never as other data.
TEST_P(BLOBWriteFault, FailedFlushKeepsWhatWasSaved) {
  const bool singleFile = GetParam().Mode == pfs::fsmSingleFile;
  bool reachedSuccess = false;
  for (uint64_t k = 1; k < 200 && !reachedSuccess; ++k) {
    SCOPED_TRACE("write " + std::to_string(k));
    TBlobEnv env(GetParam(), 1);
    SaveAndChange(env);
    env.FFaults.FailFrom(FaultKind::Write, k);
    bool failed = false;
    try {
      env.M().FlushBuffers();
    } catch (const Exception&) {
      failed = true;
    }
    EXPECT_EQ(failed, env.FFaults.Injected() > 0);
    const std::string closed = messageOf([&] { env.Close(); });
    if (env.FFaults.Injected() == 0) {
      reachedSuccess = true;
      EXPECT_EQ(closed, "(no exception)");
      continue;
    }
    env.FFaults.Reset();
    env.FClock.SetAutoAdvance(1);
    ASSERT_EQ(env.TryOpen(), otrOk) << edGetDataManager("T", env.FDatabase).LastOpenError();
    const int32_t count = env.M().RecordCount();
    ASSERT_TRUE(count == 6 || count == 8) << count;
    ASSERT_EQ(env.M().BLOBDirectory().RecordCount(), count);
    for (int32_t r = 0; r < count; ++r) {
      for (int32_t field : {kNotes, kPic}) {
        SCOPED_TRACE("record " + std::to_string(r) + " field " + std::to_string(field));
        const Values& c = Changed[static_cast<size_t>(r)];
        const std::vector<uint8_t>& changed = field == kNotes ? c.Notes : c.Pic;
        if (r >= 6) {
          ASSERT_EQ(env.Read(r, field), changed);
          continue;
        }
        const Values& s = Saved[static_cast<size_t>(r)];
        const std::vector<uint8_t>& saved = field == kNotes ? s.Notes : s.Pic;
        TEdbMemoryStream stream;
        const std::string message = messageOf([&] { env.M().ReadBLOBValue(stream, field, r); });
        if (saved == changed || singleFile) {
          ASSERT_EQ(message, "(no exception)");
        } else if (message != "(no exception)") {
          ASSERT_TRUE(message == "Error in TEdbDataManager.edReadBLOBValue - crc error" ||
                      message == "Error in TEdbDataManager.edReadBLOBValue - decompressing error, mode=1.")
              << message;
          continue;
        }
        ASSERT_TRUE(stream.Bytes() == saved || stream.Bytes() == changed);
      }
    }
    env.Close();
  }
  EXPECT_TRUE(reachedSuccess);
}

// A write that fails once leaves the rest of the batch to the next flush, which saves it all.
TEST_P(BLOBWriteFault, TheNextFlushWritesWhatAFailedOneLeft) {
  TBlobEnv env(GetParam(), 1);
  SaveAndChange(env);
  env.FFaults.FailAt(FaultKind::Write, 1);
  EXPECT_NE(messageOf([&] { env.M().FlushBuffers(); }), "(no exception)");
  env.M().FlushBuffers();
  env.Close();
  env.FClock.SetAutoAdvance(1);
  env.Open();
  ASSERT_EQ(env.M().RecordCount(), 8);
  for (int32_t r = 0; r < 8; ++r) {
    ASSERT_EQ(env.Read(r, kNotes), Changed[static_cast<size_t>(r)].Notes) << r;
    ASSERT_EQ(env.Read(r, kPic), Changed[static_cast<size_t>(r)].Pic) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(HostStores, BLOBWriteFault, ::testing::ValuesIn(hostStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
