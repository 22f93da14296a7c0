// Failed host writes while BLOB values and their directory are flushed: the failure is
// reported, the table opens afterwards, and what the last completed flush saved stays readable.

#include "BLOBTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;
using tesvar::testsupport::messageOf;

namespace {

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
// untouched values read exactly, and a touched value reads as saved or as changed, never as
// damaged: no value is written into blocks the saved directory still gives to another.
TEST_P(BLOBWriteFault, FailedFlushKeepsWhatWasSaved) {
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
        toolkit::TMemoryStream stream;
        ASSERT_EQ(messageOf([&] { env.M().ReadBLOBValue(stream, field, r); }), "(no exception)");
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

// A value is saved, then the blocks it had are freed (the value replaced by one of the same size,
// removed while another record gets a value of that size, or every record deleted) and what the
// change wrote reaches the files; then the directory that would no longer name the old blocks
// fails to be written, or the process dies before it is written. Reopened, the table has the
// saved values, exactly.
struct TUnsavedChange {
  const char* Name;
  std::function<void(TBlobEnv&)> Change;
};
struct TLostSave {
  const char* Name;
  // Ends the session after the change: the save fails, or every change of the files from now
  // on fails and does nothing (the process dies).
  std::function<void(TBlobEnv&)> End;
};

TEST_P(BLOBWriteFault, FreedBlocksAreNotReusedBeforeTheDirectoryIsSaved) {
  const std::vector<TUnsavedChange> changes = {
      {"replaced", [](TBlobEnv& E) { E.Write(0, kNotes, noise(1500, 7)); }},
      {"removed, another written", [](TBlobEnv& E) {
         E.Write(0, kNotes, {});
         E.Write(1, kPic, noise(1500, 8));
       }},
      {"record deleted, another written", [](TBlobEnv& E) {
         E.Remove(0);
         E.Write(0, kPic, noise(1500, 9));  // record 1 moved into 0
       }},
      {"every record deleted", [](TBlobEnv& E) {
         E.Remove(1);
         E.Remove(0);
       }},
  };
  const std::vector<TLostSave> ends = {
      {"the directory write fails", [](TBlobEnv& E) {
         E.FFaults.FailFrom(FaultKind::Write, 1);
         EXPECT_NE(messageOf([&] { E.M().FlushBuffers(); }), "(no exception)");
         EXPECT_GT(E.FFaults.Injected(), 0u);
       }},
      {"the process dies", [](TBlobEnv& E) {
         for (FaultKind kind : {FaultKind::Write, FaultKind::Flush, FaultKind::SizeChange, FaultKind::Rename,
                                FaultKind::Delete, FaultKind::DirSync})
           E.FFaults.FailFrom(kind, 1);
       }},
  };
  const std::vector<uint8_t> saved0 = noise(1500, 1), saved1 = text(700);
  for (const TUnsavedChange& change : changes) {
    for (const TLostSave& end : ends) {
      SCOPED_TRACE(std::string(change.Name) + ", " + end.Name);
      TBlobEnv env(GetParam(), 0);
      env.CreateBlobTable();
      env.Open();
      env.FClock.SetAutoAdvance(0);  // nothing flushes by age
      env.Add("a", saved0);
      env.Add("b", saved1);
      env.M().FlushBuffers();
      change.Change(env);
      env.M().Log()->FlushBuffers();  // new blocks reach T.bdf, the directory does not
      end.End(env);
      EXPECT_NE(messageOf([&] { env.Close(); }), "(no exception)") << "nothing more reaches the files";
      env.FFaults.Reset();
      env.FClock.SetAutoAdvance(1);
      ASSERT_EQ(env.TryOpen(), otrOk) << edGetDataManager("T", env.FDatabase).LastOpenError();
      ASSERT_EQ(env.M().RecordCount(), 2);
      for (auto [recNo, field, value] : {std::tuple{0, kNotes, saved0}, {1, kNotes, saved1}, {1, kPic, {}}}) {
        toolkit::TMemoryStream stream;
        EXPECT_EQ(messageOf([&] { env.M().ReadBLOBValue(stream, field, recNo); }), "(no exception)");
        EXPECT_TRUE(stream.Bytes() == value) << "record " << recNo << " field " << field;
      }
      env.Close();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(HostStores, BLOBWriteFault, ::testing::ValuesIn(hostStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
