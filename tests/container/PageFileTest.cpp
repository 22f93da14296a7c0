// The page file: container header, password block, page reads and writes with checksums and
// encryption, growth and the host file operations passed through.

#include "PageLayerTestSupport.h"

#include "codec/Checksums.h"
#include "codec/TCipher_Rijndael.h"
#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace tesvar::container {
namespace {

using platform::FaultFileSystem;
using platform::FaultKind;
using platform::MemoryFileSystem;
using platform::ScopedFileSystem;
using pagetest::expectMessage;

constexpr const char* kPath = "/db/c.edb";
constexpr uint16_t kReadWrite = kModeReadWrite | kModeShareDenyNone;

uint32_t le32(const std::vector<uint8_t>& image, size_t offset) {
  uint32_t v;
  std::memcpy(&v, image.data() + offset, 4);
  return v;
}

class PageFileTest : public pagetest::MemoryFsTest {
protected:

  std::unique_ptr<TPageFileManager> create(const std::string& password = {}, bool inMemory = false) {
    return std::make_unique<TPageFileManager>(kPath, kModeCreate, password, "", "", inMemory, kDefaultPageSizeKB,
                                              kDefaultExtentPageCount);
  }
  std::unique_ptr<TPageFileManager> open(const std::string& password = {}, uint16_t mode = kReadWrite) {
    return std::make_unique<TPageFileManager>(kPath, mode, password, "", "", false, kDefaultPageSizeKB,
                                              kDefaultExtentPageCount);
  }

};

std::vector<uint8_t> pageData(int32_t size, uint8_t seed) {
  std::vector<uint8_t> data(static_cast<size_t>(size));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed * 31 + i * 13 + (i >> 7));
  return data;
}

TEST_F(PageFileTest, NewContainerIsPartHeaderPlusContainerHeader) {
  create().reset();
  const auto image = fs.ReadAll(kPath);
  ASSERT_EQ(image.size(), 536u);
  const size_t h = kPartHeaderSize;
  EXPECT_EQ(std::memcmp(image.data() + h, "EDCFSSGN", 8), 0);
  EXPECT_EQ(le32(image, h + 8), codec::XorDwords(image.data() + h + 12, 244));
  EXPECT_EQ(le32(image, h + 12), 0x3F99999Au);
  EXPECT_EQ(le32(image, h + 16), 4096u);
  EXPECT_EQ(le32(image, h + 20), 16u);
  EXPECT_EQ(le32(image, h + 24), 1u);
  EXPECT_EQ(le32(image, h + 48), 1u);
  for (size_t offset : {28, 32, 36, 40, 44}) EXPECT_EQ(le32(image, h + offset), 0u) << offset;
  EXPECT_TRUE(std::all_of(image.begin() + h + 52, image.end(), [](uint8_t b) { return b == 0; }));

  auto file = open();
  const auto& header = file->Header();
  EXPECT_FLOAT_EQ(header.Version, 1.2f);
  EXPECT_EQ(header.PageSize, 4096);
  EXPECT_EQ(header.ExtentPageCount, 16);
  EXPECT_EQ(header.ReservedPageCount, 1);
  EXPECT_EQ(header.PageCount, 1);
  EXPECT_EQ(header.EncryptionType, etNone);
  EXPECT_EQ(file->PageDataSize(), 4064);
  EXPECT_TRUE(file->PageKey().empty());
  EXPECT_FALSE(file->ReadOnly());
  EXPECT_FALSE(file->Exclusive());
}

TEST_F(PageFileTest, CreationParameterErrors) {
  auto make = [](int32_t kb, int32_t extent, const std::string& password, const std::string& question) {
    TPageFileManager(kPath, kModeCreate, password, question, "answer", false, kb, extent);
  };
  expectMessage([&] { make(0, 16, "", ""); }, "TPageFileManager.Create - page size should be >= 1 Kb.");
  expectMessage([&] { make(4, 0, "", ""); }, "TPageFileManager.Create - extent page count should be >= 1 Page.");
  expectMessage([&] { make(4, 16, std::string(33, 'p'), ""); }, "Password length should be shorter then 32");
  expectMessage([&] { make(4, 16, "pw", std::string(101, 'q')); }, "Question length should be shorter then 100");
  EXPECT_FALSE(fs.FileExists(kPath));
  // The longest allowed password and question are accepted.
  make(4, 16, std::string(32, 'p'), std::string(100, 'q'));
  EXPECT_TRUE(fs.FileExists(kPath));
}

TEST_F(PageFileTest, OpenFailures) {
  expectMessage([&] { open(); }, "File c.edb has corrupted header.");
  fs.WriteAll(kPath, std::vector<uint8_t>(600, 0x41));
  expectMessage([&] { open(); }, "File c.edb has corrupted header.");
  create().reset();
  // A part header without a whole container header behind it.
  auto image = fs.ReadAll(kPath);
  image.resize(kPartHeaderSize + 100);
  fs.WriteAll(kPath, image);
  expectMessage([&] { open(); }, "TContainerFileSystem.LoadHeader - Invalid CFS file, header is corrupted.");
}

TEST_F(PageFileTest, AnyChangedHeaderByteIsDetected) {
  create().reset();
  const auto good = fs.ReadAll(kPath);
  for (size_t offset = 0; offset < size_t(kContainerHeaderSize); ++offset) {
    if (offset >= 8 && offset < 12) continue;  // the checksum itself
    auto image = good;
    image[kPartHeaderSize + offset] ^= 0x20;
    fs.WriteAll(kPath, image);
    SCOPED_TRACE(offset);
    expectMessage([&] { open(); }, "TContainerFileSystem.LoadHeader - Invalid CFS file, header is corrupted.");
  }
  fs.WriteAll(kPath, good);
  EXPECT_NO_THROW(open());
}

TEST_F(PageFileTest, PagesRoundTripWithEachChecksumKind) {
  auto file = create();
  ASSERT_TRUE(file->AddPages(16));
  EXPECT_EQ(file->Header().PageCount, 17);
  EXPECT_EQ(fs.ReadAll(kPath).size(), size_t(kPartHeaderSize + 17 * 4096));

  struct Case {
    uint8_t kind;
    int32_t size;
    uint32_t expectedChecksum(const std::vector<uint8_t>& d) const {
      return kind == 0 ? codec::XorDwords(d.data(), d.size()) : kind == 1 ? codec::Crc16Arc(d.data(), d.size()) : 0;
    }
  };
  const Case cases[] = {{0, -1}, {1, -1}, {9, -1}, {0, 4063}, {1, 100}, {0, 3}};
  int32_t pageNo = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << int(c.kind) << " size " << c.size);
    const int32_t count = c.size < 0 ? 4064 : c.size;
    const auto original = pageData(count, uint8_t(pageNo));
    auto data = original;
    TPageHeader out;
    out.NextPageNo = pageNo + 100;
    out.PageType = ptUserData;
    out.ChecksumKind = c.kind;
    out.Data = data.data();
    ASSERT_TRUE(file->WritePage(out, pageNo, {}, c.size));
    EXPECT_EQ(out.Checksum, c.expectedChecksum(original));
    EXPECT_EQ(data, original);  // not encrypted: the buffer is left alone

    std::vector<uint8_t> back(count);
    TPageHeader in;
    in.Data = back.data();
    ASSERT_TRUE(file->ReadPage(in, pageNo, false, {}, c.size));
    EXPECT_EQ(file->LastError(), 0);
    EXPECT_EQ(back, original);
    EXPECT_EQ(in.NextPageNo, pageNo + 100);
    EXPECT_EQ(in.PageType, ptUserData);
    EXPECT_EQ(in.ChecksumKind, c.kind);
    EXPECT_EQ(in.Checksum, out.Checksum);

    // The page sits at PageNo * PageSize with bytes 11..31 of its header zero.
    const auto image = fs.ReadAll(kPath);
    const size_t at = kPartHeaderSize + size_t(pageNo) * 4096;
    EXPECT_TRUE(std::all_of(image.begin() + at + 11, image.begin() + at + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(original.begin(), original.end(), image.begin() + at + 32));
    ++pageNo;
  }
}

TEST_F(PageFileTest, ChangedDataByteFailsTheChecksum) {
  auto file = create();
  ASSERT_TRUE(file->AddPages(16));
  for (uint8_t kind : {0, 1}) {
    auto data = pageData(4064, kind);
    TPageHeader out;
    out.ChecksumKind = kind;
    out.Data = data.data();
    ASSERT_TRUE(file->WritePage(out, 5));
    file.reset();
    auto image = fs.ReadAll(kPath);
    image[kPartHeaderSize + 5 * 4096 + 32 + 1000] ^= 0x01;
    fs.WriteAll(kPath, image);
    file = open();
    std::vector<uint8_t> back(4064);
    TPageHeader in;
    in.Data = back.data();
    EXPECT_FALSE(file->ReadPage(in, 5));
    EXPECT_EQ(file->LastError(), cePageChecksum) << int(kind);
    // Reading only the header does not look at the data.
    EXPECT_TRUE(file->ReadPage(in, 5, false, {}, 0));
  }
}

TEST_F(PageFileTest, ShortPagesAndMissingBuffers) {
  auto file = create();
  ASSERT_TRUE(file->AddPages(2));
  std::vector<uint8_t> data(4064);
  TPageHeader page;
  page.Data = data.data();
  EXPECT_FALSE(file->ReadPage(page, 3));
  EXPECT_EQ(file->LastError(), cePageHeaderRead);
  EXPECT_FALSE(file->ReadPage(page, -1));
  EXPECT_EQ(file->LastError(), cePageHeaderRead);
  // Cut page 2 in the middle of its data.
  file->HostFile().SetSize(2 * 4096 + 100);
  EXPECT_FALSE(file->ReadPage(page, 2));
  EXPECT_EQ(file->LastError(), cePageDataRead);
  page.Data = nullptr;
  expectMessage([&] { static_cast<void>(file->ReadPage(page, 1)); }, "TPageFileManager.ReadPage - pData is nil.");
  page.Data = data.data();
  page.EncryptionType = 7;
  expectMessage([&] { static_cast<void>(file->WritePage(page, 1)); }, "TPageFileManager.EncodeBuffer - Unknown encryption type");
}

TEST_F(PageFileTest, UnknownEncryptionTypeOnReadFails) {
  auto file = create();
  ASSERT_TRUE(file->AddPages(1));
  std::vector<uint8_t> data(4064, 1);
  TPageHeader page;
  page.Data = data.data();
  ASSERT_TRUE(file->WritePage(page, 1));
  file.reset();
  auto image = fs.ReadAll(kPath);
  image[kPartHeaderSize + 4096 + 9] = 5;
  fs.WriteAll(kPath, image);
  file = open();
  EXPECT_FALSE(file->ReadPage(page, 1));
  EXPECT_EQ(file->LastError(), cePageDecrypt);
  EXPECT_TRUE(file->ReadPage(page, 1, true));  // NoDecrypt leaves the type alone
}

TEST_F(PageFileTest, EncryptedPagesRoundTripUnderThePageKey) {
  auto file = create("secret");
  EXPECT_EQ(file->Header().EncryptionType, etPageCipher);
  const std::string key = file->PageKey();
  ASSERT_EQ(key.size(), 33u);
  EXPECT_EQ(key[32], '\0');
  ASSERT_TRUE(file->AddPages(16));

  const auto original = pageData(4064, 3);
  auto data = original;
  TPageHeader out;
  out.PageType = ptUserData;
  out.EncryptionType = etPageCipher;
  out.Data = data.data();
  ASSERT_TRUE(file->WritePage(out, 4));
  EXPECT_NE(data, original);  // encrypted in place
  EXPECT_EQ(out.Checksum, codec::XorDwords(data.data(), data.size()));  // of the stored bytes
  const auto image = fs.ReadAll(kPath);
  const auto stored = std::vector<uint8_t>(image.begin() + kPartHeaderSize + 4 * 4096 + 32,
                                           image.begin() + kPartHeaderSize + 5 * 4096);
  EXPECT_EQ(stored, data);
  std::vector<uint8_t> plain(4064);
  codec::TCipher_Rijndael(key).DecodeBuffer(stored.data(), plain.data(), plain.size());
  EXPECT_EQ(plain, original);
  file.reset();

  std::vector<uint8_t> back(4064);
  TPageHeader in;
  in.Data = back.data();
  file = open("secret");
  EXPECT_EQ(file->PageKey(), key);
  ASSERT_TRUE(file->ReadPage(in, 4));
  EXPECT_EQ(back, original);
  ASSERT_TRUE(file->ReadPage(in, 4, true));
  EXPECT_EQ(back, stored);
  // An explicit key overrides the page key.
  ASSERT_TRUE(file->ReadPage(in, 4, false, "other key"));
  EXPECT_NE(back, original);

  // A wrong password opens but gives a useless key; the checksum still holds.
  file = open("wrong");
  EXPECT_NE(file->PageKey(), key);
  ASSERT_TRUE(file->ReadPage(in, 4));
  EXPECT_NE(back, original);

  // Without any password the encrypted page cannot be read or written.
  file = open("");
  EXPECT_TRUE(file->PageKey().empty());
  EXPECT_FALSE(file->ReadPage(in, 4));
  EXPECT_EQ(file->LastError(), cePageDecrypt);
  in.EncryptionType = etPageCipher;
  EXPECT_FALSE(file->WritePage(in, 4));
  EXPECT_EQ(file->LastError(), cePageEncrypt);
}

TEST_F(PageFileTest, PasswordVerification) {
  create("secret").reset();
  const auto image = fs.ReadAll(kPath);
  const uint8_t* block = image.data() + kPartHeaderSize + kHeaderPasswordBlockOffset;
  std::string key;
  EXPECT_TRUE(TPageFileManager::VerifyPassword("secret", block, &key));
  EXPECT_EQ(key, open("secret")->PageKey());
  EXPECT_FALSE(TPageFileManager::VerifyPassword("Secret", block, &key));
  EXPECT_FALSE(TPageFileManager::VerifyPassword("", block, &key));
}

// The check keeps decrypting until more than 255 ms of the tick counter have passed, whatever
// the counter's value (it wraps at 2^32).
TEST_F(PageFileTest, PasswordCheckSpendsAQuarterSecond) {
  uint8_t block[kPasswordBlockSize];
  TPageFileManager::BuildPasswordBlock("pw", "", "", block, nullptr);
  for (uint32_t start : {1000u, 0xFFFFFF80u}) {
    for (const bool right : {true, false}) {
      SCOPED_TRACE(::testing::Message() << start << (right ? " right" : " wrong"));
      clock.SetTick(start);
      clock.SetAutoAdvance(1);
      const uint64_t callsBefore = clock.TickCalls();
      EXPECT_EQ(TPageFileManager::VerifyPassword(right ? "pw" : "px", block, nullptr), right);
      clock.SetAutoAdvance(0);
      // Every look at the clock moved it by 1 ms: the last one saw 256 ms passed.
      EXPECT_EQ(uint32_t(clock.TickCount() - start), 257u);
      EXPECT_EQ(clock.TickCalls() - callsBefore, 258u);
    }
  }
}

TEST_F(PageFileTest, PasswordBlockLayout) {
  for (int round = 0; round < 200; ++round) {
    uint8_t block[kPasswordBlockSize];
    std::string key;
    TPageFileManager::BuildPasswordBlock("pw", "", "", block, &key);
    ASSERT_EQ(key.size(), 33u);
    EXPECT_EQ(key.back(), '\0');
    for (int i = 0; i < 32; ++i) {
      const auto b = static_cast<uint8_t>(key[size_t(i)]);
      ASSERT_TRUE(b >= 1 && b <= 254) << int(b);
    }
    uint8_t encrypted[32];
    codec::TCipher_Rijndael("pw").EncodeBuffer(reinterpret_cast<const uint8_t*>(key.data()), encrypted, 32);
    EXPECT_EQ(std::memcmp(block, encrypted, 32), 0);
    uint32_t crc;
    std::memcpy(&crc, block + kKeyCrcOffset, 4);
    EXPECT_EQ(crc, codec::Crc16Arc(reinterpret_cast<const uint8_t*>(key.data()), 32));
    EXPECT_TRUE(std::all_of(block + 32, block + 64, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(block + 68, block + kPasswordBlockSize, [](uint8_t b) { return b == 0; }));
  }
  // Fresh keys each time.
  std::string a, b;
  uint8_t block[kPasswordBlockSize];
  TPageFileManager::BuildPasswordBlock("pw", "", "", block, &a);
  TPageFileManager::BuildPasswordBlock("pw", "", "", block, &b);
  EXPECT_NE(a, b);
}

TEST_F(PageFileTest, PasswordBlockWithQuestion) {
  uint8_t block[kPasswordBlockSize];
  TPageFileManager::BuildPasswordBlock("pw", "Pet?", "cat", block, nullptr);
  uint8_t password[32];
  codec::TCipher_Rijndael("cat").DecodeBuffer(block + kPasswordAreaOffset, password, 32);
  uint8_t expected[32] = {'p', 'w'};
  EXPECT_EQ(std::memcmp(password, expected, 32), 0);
  uint32_t crc;
  std::memcpy(&crc, block + kPasswordCrcOffset, 4);
  EXPECT_EQ(crc, codec::Crc16Arc(expected, 32));
  EXPECT_FALSE(std::all_of(block + kQuestionOffset, block + kPasswordBlockSize, [](uint8_t b) { return b == 0; }));
  EXPECT_NE(std::memcmp(block + kQuestionOffset, "Pet?", 4), 0);  // not stored in the clear
}

TEST_F(PageFileTest, ReadOnlyAndSharingModes) {
  create().reset();
  {
    auto reader = open({}, kModeRead | kModeShareDenyNone);
    EXPECT_TRUE(reader->ReadOnly());
    EXPECT_FALSE(reader->AddPages(1));
    std::vector<uint8_t> data(4064);
    TPageHeader page;
    page.Data = data.data();
    EXPECT_FALSE(reader->WritePage(page, 0));
    EXPECT_EQ(reader->LastError(), cePageHeaderWrite);
    reader->Header().DirItemCount = 5;
    reader->SaveHeader();  // does nothing
    auto second = open({}, kModeReadWrite | kModeShareDenyNone);  // full sharing
    EXPECT_EQ(second->Header().DirItemCount, 0);
  }
  auto exclusive = open({}, kModeReadWrite | kModeShareExclusive);
  EXPECT_TRUE(exclusive->Exclusive());
  expectMessage([&] { open({}, kModeRead); }, "File c.edb has corrupted header.");
}

TEST_F(PageFileTest, HeaderChangesPersist) {
  auto file = create();
  ASSERT_TRUE(file->AddPages(32));
  file->Header().DirPageCount = 2;
  file->Header().FirstDirPageNo = 7;
  file->Header().DirItemCount = 9;
  file->SaveHeader();
  file.reset();
  file = open();
  EXPECT_EQ(file->Header().PageCount, 33);
  EXPECT_EQ(file->Header().DirPageCount, 2);
  EXPECT_EQ(file->Header().FirstDirPageNo, 7);
  EXPECT_EQ(file->Header().DirItemCount, 9);
}

TEST_F(PageFileTest, FaultGrowthFailureLeavesPageCount) {
  FaultFileSystem faulty(fs);
  ScopedFileSystem useFaulty(faulty);
  auto file = create();
  faulty.FailAt(FaultKind::SizeChange, 1);
  EXPECT_FALSE(file->AddPages(16));
  EXPECT_EQ(file->Header().PageCount, 1);
  faulty.Reset();
  faulty.FailAt(FaultKind::Write, 1);  // the header written after growing
  EXPECT_FALSE(file->AddPages(16));
  EXPECT_EQ(file->Header().PageCount, 1);
  faulty.Reset();
  ASSERT_TRUE(file->AddPages(16));
  EXPECT_EQ(file->Header().PageCount, 17);

  fs.SetCapacity(int64_t(fs.UsedBytes()) + 4096);
  EXPECT_FALSE(file->AddPages(16));
  EXPECT_EQ(file->Header().PageCount, 17);
  EXPECT_EQ(file->GetFreeSpace(), 4096);
}

TEST_F(PageFileTest, FaultPageTransfersReportTheirCodes) {
  FaultFileSystem faulty(fs);
  ScopedFileSystem useFaulty(faulty);
  auto file = create();
  ASSERT_TRUE(file->AddPages(16));
  std::vector<uint8_t> data(4064, 7);
  TPageHeader page;
  page.Data = data.data();
  // A page goes out and comes in with one transfer (header and data together): a short transfer
  // that ends inside the header is a header failure, one that ends inside the data a data failure.
  struct Case {
    FaultKind kind;
    uint64_t at;
    bool write;
    int32_t size;  // -1 whole page, 0 header only
    int32_t code;
  };
  const Case cases[] = {
      {FaultKind::Write, 1, true, 0, cePageHeaderWrite},
      {FaultKind::Write, 1, true, -1, cePageDataWrite},
      {FaultKind::Read, 1, false, 0, cePageHeaderRead},
      {FaultKind::Read, 1, false, -1, cePageDataRead},
  };
  for (const auto& c : cases) {
    faulty.Reset();
    faulty.FailAt(c.kind, c.at, platform::FaultMode::Short);
    EXPECT_FALSE(c.write ? file->WritePage(page, 3, {}, c.size) : file->ReadPage(page, 3, false, {}, c.size));
    EXPECT_EQ(file->LastError(), c.code);
  }
}

TEST_F(PageFileTest, InMemoryContainer) {
  {
    platform::ScopedMemoryInfo heap(0, 123456789);
    auto file = create({}, true);
    EXPECT_TRUE(file->InMemory());
    EXPECT_EQ(file->GetFreeSpace(), 123456789);
    ASSERT_TRUE(file->AddPages(16));
    auto data = pageData(4064, 9);
    TPageHeader page;
    page.Data = data.data();
    ASSERT_TRUE(file->WritePage(page, 6));
    EXPECT_FALSE(fs.FileExists(kPath));
    ASSERT_TRUE(file->SetInMemory(false));
    EXPECT_FALSE(file->InMemory());
  }
  ASSERT_EQ(fs.ReadAll(kPath).size(), size_t(kPartHeaderSize + 17 * 4096));
  auto file = open();
  std::vector<uint8_t> back(4064);
  TPageHeader page;
  page.Data = back.data();
  ASSERT_TRUE(file->ReadPage(page, 6));
  EXPECT_EQ(back, pageData(4064, 9));
}

TEST_F(PageFileTest, ContainerBehindForeignBytesOpens) {
  {
    auto file = create("pw");
    ASSERT_TRUE(file->AddPages(16));
    auto data = pageData(4064, 4);
    TPageHeader page;
    page.EncryptionType = etPageCipher;
    page.Data = data.data();
    ASSERT_TRUE(file->WritePage(page, 9));
  }
  auto image = pageData(100000, 8);  // e.g. a program the container was appended to
  const auto container = fs.ReadAll(kPath);
  image.insert(image.end(), container.begin(), container.end());
  fs.WriteAll(kPath, image);

  auto file = open("pw");
  EXPECT_EQ(file->HostFile().StartOffset(), 100000);
  EXPECT_EQ(file->Header().PageCount, 17);
  std::vector<uint8_t> back(4064);
  TPageHeader page;
  page.Data = back.data();
  ASSERT_TRUE(file->ReadPage(page, 9));
  EXPECT_EQ(back, pageData(4064, 4));
  // Growth keeps the foreign bytes in front.
  ASSERT_TRUE(file->AddPages(16));
  file.reset();
  const auto grown = fs.ReadAll(kPath);
  EXPECT_EQ(grown.size(), 100000 + size_t(kPartHeaderSize) + 33 * 4096);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 100000, grown.begin()));
}

// The memory image written out on the switch to disk is the file the same steps give on disk.
TEST_F(PageFileTest, MemoryImageMatchesTheDiskFile) {
  auto steps = [](TPageFileManager& file) {
    ASSERT_TRUE(file.AddPages(20));
    for (int32_t p = 1; p < 21; p += 3) {
      auto data = pageData(4064, uint8_t(p));
      TPageHeader page;
      page.NextPageNo = p + 1;
      page.Data = data.data();
      ASSERT_TRUE(file.WritePage(page, p));
    }
    file.Header().DirItemCount = 3;
    file.SaveHeader();
  };
  {
    auto disk = create();
    steps(*disk);
  }
  const auto expected = fs.ReadAll(kPath);
  {
    auto memory = create({}, true);
    steps(*memory);
    ASSERT_TRUE(memory->SetInMemory(false));
  }
  EXPECT_EQ(fs.ReadAll(kPath), expected);
}

TEST_F(PageFileTest, RenameAndDelete) {
  auto file = create();
  file->Close();
  ASSERT_TRUE(file->RenameFile("d.edb"));
  EXPECT_EQ(file->FileName(), "/db/d.edb");
  EXPECT_TRUE(fs.FileExists("/db/d.edb"));
  EXPECT_FALSE(fs.FileExists(kPath));
  EXPECT_TRUE(file->DeleteFiles());
  EXPECT_FALSE(fs.FileExists("/db/d.edb"));
}

TEST_F(PageFileTest, NewContainersUseTheDefaultPartSize) {
  auto file = create();
  EXPECT_EQ(file->HostFile().MaxPartSize(), kPartMaxSizeDefault);
  file.reset();
  {
    TCFSHugeFile::ScopedMaxPartSize small(kPartHeaderSize + 4096 * 3);
    file = create();
    ASSERT_TRUE(file->AddPages(16));
    EXPECT_EQ(file->HostFile().PartCount(), 6);  // 17 pages of 4096 in parts of 3 pages
  }
  file.reset();
  file = open();  // reopening takes the stored part size
  EXPECT_EQ(file->HostFile().MaxPartSize(), kPartHeaderSize + 4096 * 3);
  EXPECT_EQ(file->Header().PageCount, 17);
}

}  // namespace
}  // namespace tesvar::container
