#include "container/JournalFormat.h"
#include "container/TCFSJournal.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <vector>

namespace tesvar::container {
namespace {

constexpr int32_t kPage = 1024;
const std::string kPath = "c.edb-journal";

std::vector<uint8_t> image(uint8_t fill) { return std::vector<uint8_t>(kPage, fill); }

class JournalTest : public ::testing::Test {
protected:
  // A journal of three page images (page 5 twice) and a commit mark.
  void writeJournal() {
    TCFSJournal journal;
    ASSERT_TRUE(journal.Begin(kPath, "c.edb", kPage, 123 * kPage, 2147483647, 0, 0xA1B2C3D4u));
    ASSERT_TRUE(journal.AddPage(5, image(0x55).data()));
    ASSERT_TRUE(journal.AddPage(0, image(0x00).data()));
    ASSERT_TRUE(journal.AddPage(5, image(0x66).data()));
    journal.AddCommitMark(0x01020304u);
    ASSERT_TRUE(journal.Sync());
  }

  std::vector<std::pair<int64_t, uint8_t>> images(const TJournalContent& content) {
    std::vector<std::pair<int64_t, uint8_t>> seen;
    EXPECT_TRUE(TCFSJournal::ForEachImage(kPath, content, [&](int64_t page, const uint8_t* data) {
      seen.emplace_back(page, data[kPage - 1]);
      return true;
    }));
    return seen;
  }

  platform::MemoryFileSystem FFs;
  platform::ScopedFileSystem FGuard{FFs};
};

TEST_F(JournalTest, RoundTripKeepsTheFirstImageOfEachPage) {
  writeJournal();
  TJournalContent content;
  ASSERT_TRUE(TCFSJournal::Load(kPath, content));
  ASSERT_EQ(content.State, TJournalContent::jsValid);
  EXPECT_EQ(content.PageSize, kPage);
  EXPECT_EQ(content.CommittedSize, 123 * kPage);
  EXPECT_EQ(content.MaxPartSize, 2147483647);
  EXPECT_EQ(content.HeaderCrcBefore, 0xA1B2C3D4u);
  EXPECT_EQ(content.ContainerName, "c.edb");
  EXPECT_TRUE(content.HasCommitMark);
  EXPECT_EQ(content.HeaderCrcAfter, 0x01020304u);
  EXPECT_EQ(images(content), (std::vector<std::pair<int64_t, uint8_t>>{{5, 0x55}, {0, 0x00}}));
}

TEST_F(JournalTest, NoFileIsNone) {
  TJournalContent content;
  ASSERT_TRUE(TCFSJournal::Load(kPath, content));
  EXPECT_EQ(content.State, TJournalContent::jsNone);
  TCFSJournal journal;
  EXPECT_TRUE(journal.Remove());
}

TEST_F(JournalTest, ACutJournalReadsUpToItsLastWholeRecord) {
  writeJournal();
  const std::vector<uint8_t> whole = FFs.ReadAll(kPath);
  const size_t record = kJournalRecordHeaderSize + kPage;
  for (size_t length = 0; length <= whole.size(); length += 7) {
    SCOPED_TRACE("length " + std::to_string(length));
    FFs.WriteAll(kPath, std::vector<uint8_t>(whole.begin(), whole.begin() + long(length)));
    TJournalContent content;
    ASSERT_TRUE(TCFSJournal::Load(kPath, content));
    if (length < size_t(kJournalHeaderSize)) {
      EXPECT_EQ(content.State, TJournalContent::jsUnusable);
      continue;
    }
    ASSERT_EQ(content.State, TJournalContent::jsValid);
    const size_t records = (length - kJournalHeaderSize) / record;
    EXPECT_EQ(content.Pages.size(), std::min<size_t>(records, 2));
    EXPECT_EQ(content.HasCommitMark, length == whole.size());
  }
}

TEST_F(JournalTest, DamagedBytesEndTheJournalOrSpoilItsHeader) {
  writeJournal();
  const std::vector<uint8_t> whole = FFs.ReadAll(kPath);
  struct Case {
    const char* name;
    size_t offset;
    size_t pagesLeft;
    TJournalContent::TState state;
  };
  const size_t record = kJournalRecordHeaderSize + kPage;
  const Case cases[] = {
      {"signature", 0, 0, TJournalContent::jsUnusable},
      {"header field", kJournalCommittedSizeOffset, 0, TJournalContent::jsUnusable},
      {"header checksum", kJournalHeaderChecksumOffset, 0, TJournalContent::jsUnusable},
      {"first record kind", kJournalHeaderSize, 0, TJournalContent::jsValid},
      {"first image", kJournalHeaderSize + kJournalRecordHeaderSize + 9, 0, TJournalContent::jsValid},
      {"second page index", kJournalHeaderSize + record + kJournalRecordValueOffset, 1, TJournalContent::jsValid},
      {"commit mark", kJournalHeaderSize + 3 * record + kJournalRecordValueOffset, 2, TJournalContent::jsValid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> damaged = whole;
    damaged[c.offset] ^= 0x40;
    FFs.WriteAll(kPath, damaged);
    TJournalContent content;
    ASSERT_TRUE(TCFSJournal::Load(kPath, content));
    EXPECT_EQ(content.State, c.state);
    EXPECT_EQ(content.Pages.size(), c.pagesLeft);
    EXPECT_FALSE(content.HasCommitMark);
  }
}

TEST_F(JournalTest, RecordsOfAnotherJournalDoNotCheck) {
  // Each journal has its own nonce: records spliced from an earlier journal are not trusted.
  writeJournal();
  const std::vector<uint8_t> first = FFs.ReadAll(kPath);
  writeJournal();
  std::vector<uint8_t> spliced = FFs.ReadAll(kPath);
  std::copy(first.begin() + kJournalHeaderSize, first.end(), spliced.begin() + kJournalHeaderSize);
  FFs.WriteAll(kPath, spliced);
  TJournalContent content;
  ASSERT_TRUE(TCFSJournal::Load(kPath, content));
  ASSERT_EQ(content.State, TJournalContent::jsValid);
  EXPECT_TRUE(content.Pages.empty());
}

TEST_F(JournalTest, RemoveDeletesTheFile) {
  TCFSJournal journal;
  ASSERT_TRUE(journal.Begin(kPath, "c.edb", kPage, 0, 2147483647, 0, 0));
  ASSERT_TRUE(journal.Sync());
  EXPECT_TRUE(FFs.FileExists(kPath));
  EXPECT_TRUE(journal.Remove());
  EXPECT_FALSE(FFs.FileExists(kPath));
  EXPECT_FALSE(journal.Active());
}

}  // namespace
}  // namespace tesvar::container
