// Failed host writes while a record is posted through a dataset (the post's own flush) and in
// the flush after it: the caller sees the failure, and the table reopens with every record the
// last completed flush wrote, each with its memo value.

#include "EditTestSupport.h"

using namespace tesvar;
using namespace tesvar::datasettest;
using platform::FaultKind;
using storagetest::TStoreCase;

namespace {

struct Stored {
  std::string Name;
  int32_t Num;
  std::string Note;
};

std::string noteOf(int32_t I) { return std::string(static_cast<size_t>(300 + I * 37), static_cast<char>('a' + I % 26)); }

void append(TEdbDataset& Ds, const Stored& S) {
  Ds.Append();
  Ds.FieldByName("Name").SetAsString(S.Name);
  Ds.FieldByName("Num").SetAsInteger(S.Num);
  Ds.FieldByName("Note").SetAsString(S.Note);
  Ds.Post();
}

enum class FailWhere { Post, FlushAfter };

class DatasetEditFault : public ::testing::TestWithParam<TStoreCase> {};

TEST_P(DatasetEditFault, AFailedWriteReachesTheCallerAndTheLastFlushSurvives) {
  for (const FailWhere where : {FailWhere::Post, FailWhere::FlushAfter}) {
    bool reachedSuccess = false;
    int32_t failures = 0;
    for (uint64_t k = 1; k < 300 && !reachedSuccess; ++k) {
      SCOPED_TRACE((where == FailWhere::Post ? "post, write " : "flush after, write ") + std::to_string(k));
      TEditEnv env(GetParam());
      env.FClock.SetAutoAdvance(0);  // flushes only when the test moves the clock or asks
      TEdbDataset& ds = env.NewDataset();
      ds.Open();
      std::vector<Stored> durable;
      for (int32_t i = 0; i < 20; ++i) {
        durable.push_back({"r" + std::to_string(i), i, noteOf(i)});
        append(ds, durable.back());
      }
      env.M().FlushBuffers();
      // Pending in the log, not yet flushed: may or may not survive.
      const Stored pending{"pending", 100, noteOf(100)};
      append(ds, pending);
      const Stored last{"last", 101, noteOf(101)};

      env.FFaults.FailFrom(FaultKind::Write, k);
      bool failed = false;
      if (where == FailWhere::Post) {
        // Past the log's age and the commit interval: the post flushes and commits at its end.
        env.FClock.SetTick(env.FClock.TickCount() + 10000);
        try {
          append(ds, last);
        } catch (const Exception&) {
          failed = true;
        }
        // The record is posted all the same; the dataset shows it.
        EXPECT_EQ(ds.State(), dsBrowse);
        EXPECT_EQ(ds.FieldByName("Name").AsString(), "last");
        EXPECT_EQ(ds.RecordCount(), 22);
      } else {
        append(ds, last);
        try {
          env.M().FlushBuffers();
        } catch (const Exception&) {
          failed = true;
        }
      }
      EXPECT_EQ(failed, env.FFaults.Injected() > 0) << "a failed write is reported, and only then";
      if (failed) ++failures;
      env.DropDatasets();
      const std::string closed = testsupport::messageOf([&] { env.Close(); });
      if (env.FFaults.Injected() == 0) {
        reachedSuccess = true;
        EXPECT_EQ(closed, "(no exception)");
        durable.push_back(pending);
        durable.push_back(last);
      }
      env.FFaults.Reset();
      env.FClock.SetAutoAdvance(1);  // an encrypted table's password check takes its time
      ASSERT_EQ(env.TryOpen(), otrOk) << env.M().LastOpenError();
      TEdbDataManager& m = env.M();
      const int32_t count = m.RecordCount();
      ASSERT_GE(count, static_cast<int32_t>(durable.size()));
      ASSERT_LE(count, 22);
      for (int32_t r = 0; r < count; ++r) {
        const std::string name = env.NameOf(r);
        const Stored* expected = nullptr;
        for (const Stored& s : durable)
          if (s.Name == name) expected = &s;
        if (expected == nullptr && name == pending.Name) expected = &pending;
        if (expected == nullptr && name == last.Name) expected = &last;
        ASSERT_NE(expected, nullptr) << "record " << r << " is " << name;
        ASSERT_EQ(env.NumOf(r), expected->Num) << name;
        ASSERT_EQ(env.Memo(r), expected->Note) << name;
      }
      for (const Stored& s : durable) {
        bool found = false;
        for (int32_t r = 0; r < count && !found; ++r) found = env.NameOf(r) == s.Name;
        ASSERT_TRUE(found) << s.Name << " was flushed and is gone";
      }
      // The indexes agree with the records.
      for (int32_t i = 0; i < m.IndexCount(); ++i) {
        m.BuildIndex(i);
        ASSERT_EQ(m.Index(i).Count(), count);
      }
    }
    EXPECT_TRUE(reachedSuccess);
    EXPECT_GT(failures, 0) << "the phase writes to the host";
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, DatasetEditFault, ::testing::ValuesIn(storagetest::hostStoreCases()),
                         [](const auto& Info) { return storagetest::caseName(Info.param); });

}  // namespace
