// The container object: user files, directories, handles and their error codes, over plain and
// encrypted containers on the in-memory file system.

#include "ContainerTestSupport.h"

#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/Exception.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;  // page data size of the default 4 KB pages

class ContainerFileTest : public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override { Cfs = CreateContainer(Path, Password()); }

  std::string Password() const { return GetParam().Password; }
  void Reopen(uint16_t Mode = kModeReadWrite) {
    Cfs.reset();
    Cfs = OpenContainer(Path, Password(), Mode);
  }
  const TDirItem& Item(const std::string& File) {
    const int32_t Id = Cfs->Directory().FindFile(File);
    EXPECT_GE(Id, 0) << File;
    return Cfs->Directory().ReadItem(Id);
  }
  std::vector<int32_t> DataPages(const std::string& File) {
    const TDirItem& I = Item(File);
    return I.FirstMapPageNo == -1 ? std::vector<int32_t>{} : Cfs->PageMaps().GetMaps(I).DataPages;
  }
  void ExpectConsistent() { EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{}); }

  ContainerEnvironment Env;
  const std::string Path = "/db.edb";
  std::unique_ptr<TContainerFileSystem> Cfs;
};

TEST_P(ContainerFileTest, FileOfOnePageGrowsByAZeroFilledPage) {
  const std::vector<uint8_t> Data = Pattern(D, 1);
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\t.dat", Data));
  EXPECT_EQ(DataPages("\\t.dat").size(), 1u);

  const int32_t H = Cfs->FileOpen("\\t.dat", kModeReadWrite);
  ASSERT_EQ(Cfs->FileSeek(H, 2, 0), D);
  const uint8_t One = 0x5A;
  ASSERT_EQ(Cfs->FileWrite(H, &One, 1), 1);
  EXPECT_TRUE(Cfs->FileClose(H));
  const std::vector<int32_t> Pages = DataPages("\\t.dat");
  ASSERT_EQ(Pages.size(), 2u);
  EXPECT_EQ(Item("\\t.dat").Size, D + 1);

  // The new page holds the byte and zeros after it.
  std::vector<uint8_t> Page(D);
  TPageHeader Header;
  Header.Data = Page.data();
  ASSERT_TRUE(Cfs->PageFile().ReadPage(Header, Pages[1]));
  EXPECT_EQ(Header.PageType, ptUserData);
  EXPECT_EQ(Page[0], One);
  EXPECT_TRUE(std::all_of(Page.begin() + 1, Page.end(), [](uint8_t B) { return B == 0; }));

  std::vector<uint8_t> Expected = Data;
  Expected.push_back(One);
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\t.dat"), Expected);
  Reopen();
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\t.dat"), Expected);
  ExpectConsistent();
}

TEST_P(ContainerFileTest, WritingPastTheEndZeroFillsTheGap) {
  // A deleted file leaves its (non-zero) pages for the next file to take.
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\old.dat", std::vector<uint8_t>(5 * D, 0xAA)));
  ASSERT_TRUE(Cfs->DeleteFile("\\old.dat"));

  const int32_t H = Cfs->FileOpen("\\new.dat", kModeCreate);
  ASSERT_GE(H, 0);
  const std::vector<uint8_t> Tail = Pattern(100, 2);
  ASSERT_EQ(Cfs->FileSeek(H, 0, 3 * D + 10), 3 * D + 10);
  ASSERT_EQ(Cfs->FileWrite(H, Tail.data(), 100), 100);
  // Cut into the first page, then grow again within it and past it.
  ASSERT_EQ(Cfs->FileSetSize(H, 50), 50);
  ASSERT_EQ(Cfs->FileSetSize(H, 3000), 3000);
  ASSERT_EQ(Cfs->FileSeek(H, 0, 2 * D), 2 * D);
  ASSERT_EQ(Cfs->FileWrite(H, Tail.data(), 100), 100);
  EXPECT_TRUE(Cfs->FileClose(H));
  std::vector<uint8_t> Expected(2 * D + 100, 0);
  std::copy(Tail.begin(), Tail.end(), Expected.begin() + 2 * D);
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\new.dat"), Expected);
  Reopen();
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\new.dat"), Expected);
  ExpectConsistent();
}

TEST_P(ContainerFileTest, TruncatingToZeroFreesEveryPage) {
  // Over 1016 data pages the map needs a second map page.
  const std::vector<uint8_t> Data = Pattern(1020 * static_cast<size_t>(D), 3);
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\big.dat", Data));
  const TDirItem Before = Item("\\big.dat");
  const TUserFilePageMapManager::TFileMap Map = Cfs->PageMaps().GetMaps(Before);
  ASSERT_EQ(Map.MapPages.size(), 2u);
  ASSERT_EQ(Map.DataPages.size(), 1020u);

  const int32_t H = Cfs->FileOpen("\\big.dat", kModeReadWrite);
  ASSERT_EQ(Cfs->FileSetSize(H, 0), 0);
  EXPECT_EQ(Cfs->FileSeek(H, 1, 0), 0);
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(Item("\\big.dat").FirstMapPageNo, -1);
  EXPECT_EQ(Item("\\big.dat").Size, 0);
  for (int32_t Page : Map.MapPages) EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Page)) << Page;
  for (int32_t Page : Map.DataPages) ASSERT_TRUE(Cfs->FreeSpace().IsPageFree(Page)) << Page;
  ExpectConsistent();
  Reopen();
  EXPECT_EQ(Item("\\big.dat").FirstMapPageNo, -1);
  ExpectConsistent();
}

TEST_P(ContainerFileTest, CuttingKeepsTheBytesBeforeTheCut) {
  const std::vector<uint8_t> Data = Pattern(3 * D + 7, 4);
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Data));
  const std::vector<int32_t> Pages = DataPages("\\f");
  const int32_t H = Cfs->FileOpen("\\f", kModeReadWrite);
  ASSERT_EQ(Cfs->FileSetSize(H, D + 1), D + 1);
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(DataPages("\\f"), std::vector<int32_t>(Pages.begin(), Pages.begin() + 2));
  EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Pages[2]));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\f"), std::vector<uint8_t>(Data.begin(), Data.begin() + D + 1));
  ExpectConsistent();
}

TEST_P(ContainerFileTest, NamesDifferingInCaseAreOneFile) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\Table.DAT", Pattern(10, 5)));
  EXPECT_TRUE(Cfs->FileExists("\\table.dat"));
  EXPECT_TRUE(Cfs->FileExists("TABLE.dat"));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\TABLE.dat", Pattern(20, 6)));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\table.DAT"), Pattern(20, 6));
  // Cyrillic letters fold too.
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\\xD2\xE0\xE1\xEB\xE8\xF6\xE0", Pattern(5, 7)));
  EXPECT_TRUE(Cfs->FileExists("\\\xD2\xC0\xC1\xCB\xC8\xD6\xC0"));
  TSearchRec Rec;
  int Found = 0;
  for (int32_t R = Cfs->FindFirst("\\*", 63, Rec); R == 0; R = Cfs->FindNext(Rec)) ++Found;
  Cfs->FindClose(Rec);
  EXPECT_EQ(Found, 2);
}

TEST_P(ContainerFileTest, DotDotMovesToTheParent) {
  ASSERT_TRUE(Cfs->ForceDirectories("\\a\\b"));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a\\b\\..\\f.dat", Pattern(10, 8)));
  EXPECT_TRUE(Cfs->FileExists("\\a\\f.dat"));
  EXPECT_FALSE(Cfs->FileExists("\\a\\b\\f.dat"));
  EXPECT_EQ(ReadWholeFile(*Cfs, "/a/b/../../a/f.dat"), Pattern(10, 8));
  EXPECT_EQ(Cfs->Directory().FindFile("\\a\\.."), -1);
  EXPECT_EQ(Cfs->Directory().FindFile("\\.."), -1);  // ".." at the root stays at the root
}

TEST_P(ContainerFileTest, DeletingAnOpenFileFailsAndKeepsIt) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\keep.dat", Pattern(3 * D, 9)));
  const int32_t H = Cfs->FileOpen("\\keep.dat", kModeReadWrite);
  ASSERT_GE(H, 0);
  EXPECT_FALSE(Cfs->DeleteFile("\\keep.dat"));
  EXPECT_FALSE(Cfs->RenameFile("\\keep.dat", "\\other.dat"));
  // Creating over it opens the existing file unchanged and reports -16.
  const int32_t H2 = Cfs->FileOpen("\\keep.dat", kModeCreate);
  EXPECT_GE(H2, 0);
  EXPECT_EQ(Cfs->LastError(), ceFileInUse);
  EXPECT_EQ(Cfs->FileSeek(H2, 2, 0), 3 * D);
  EXPECT_TRUE(Cfs->FileClose(H2));
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\keep.dat"), Pattern(3 * D, 9));
  EXPECT_TRUE(Cfs->DeleteFile("\\keep.dat"));
  EXPECT_FALSE(Cfs->FileExists("\\keep.dat"));
  ExpectConsistent();
}

TEST_P(ContainerFileTest, EighthItemStartsAChainedDirectoryPage) {
  for (int I = 0; I < 7; ++I) ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f" + std::to_string(I), Pattern(1, I)));
  EXPECT_EQ(Cfs->PageFile().Header().DirPageCount, 1);
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f7", Pattern(1, 7)));
  const TContainerHeader& Header = Cfs->PageFile().Header();
  EXPECT_EQ(Header.DirPageCount, 2);
  EXPECT_EQ(Header.DirItemCount, 8);
  const std::vector<int32_t> Pages = Cfs->Directory().DirPages();
  ASSERT_EQ(Pages.size(), 2u);
  EXPECT_EQ(Pages[0], Header.FirstDirPageNo);
  TPageHeader First;
  ASSERT_TRUE(Cfs->PageFile().ReadPage(First, Pages[0], false, {}, 0));
  EXPECT_EQ(First.NextPageNo, Pages[1]);
  EXPECT_EQ(First.PageType, ptDirectory);
  EXPECT_EQ(First.EncryptionType, Password().empty() ? etNone : etPageCipher);
  Reopen();
  for (int I = 0; I < 8; ++I) EXPECT_EQ(ReadWholeFile(*Cfs, "\\f" + std::to_string(I)), Pattern(1, I));
  ExpectConsistent();
}

TEST_P(ContainerFileTest, NewFileReusesADeletedSlotAndKeepsOtherIDs) {
  for (int I = 0; I < 5; ++I) ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f" + std::to_string(I), Pattern(10, I)));
  std::vector<int32_t> Ids;
  for (int I = 0; I < 5; ++I) Ids.push_back(Cfs->Directory().FindFile("\\f" + std::to_string(I)));
  ASSERT_TRUE(Cfs->DeleteFile("\\f2"));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\g", Pattern(10, 99)));
  EXPECT_EQ(Cfs->Directory().FindFile("\\g"), Ids[2]);
  for (int I : {0, 1, 3, 4}) EXPECT_EQ(Cfs->Directory().FindFile("\\f" + std::to_string(I)), Ids[I]);
  EXPECT_EQ(Cfs->PageFile().Header().DirItemCount, 5);
  Reopen();
  EXPECT_EQ(Cfs->Directory().FindFile("\\g"), Ids[2]);
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\g"), Pattern(10, 99));
  EXPECT_FALSE(Cfs->FileExists("\\f2"));
}

TEST_P(ContainerFileTest, HandlesCountUpAndAreNeverReused) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", Pattern(1, 1)));  // handle 0
  const int32_t H1 = Cfs->FileOpen("\\a", kModeReadWrite);
  const int32_t H2 = Cfs->FileOpen("\\a", kModeReadWrite);
  EXPECT_EQ(H1, 1);
  EXPECT_EQ(H2, 2);
  EXPECT_EQ(Cfs->Directory().OpenCount(Cfs->Directory().FindFile("\\a")), 2);
  EXPECT_TRUE(Cfs->FileClose(H1));
  EXPECT_TRUE(Cfs->FileClose(H1)) << "unknown by now: ignored";
  EXPECT_EQ(Cfs->FileOpen("\\a", kModeReadWrite), 3);
  EXPECT_EQ(Cfs->Directory().OpenCount(Cfs->Directory().FindFile("\\a")), 2);
  EXPECT_EQ(Cfs->FileOpen("\\missing", kModeReadWrite), -1);
}

TEST_P(ContainerFileTest, UnknownHandlesAndNegativeArgumentsChangeNothing) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Pattern(100, 1)));
  uint8_t Buffer[16] = {};
  EXPECT_EQ(Cfs->FileRead(77, Buffer, 16), -1);
  EXPECT_EQ(Cfs->LastError(), ceInvalidHandle);
  EXPECT_EQ(Cfs->FileWrite(77, Buffer, 16), -1);
  EXPECT_EQ(Cfs->LastError(), ceInvalidHandle);
  EXPECT_EQ(Cfs->FileSeek(77, 0, 0), -1);
  EXPECT_EQ(Cfs->FileSetSize(77, 10), ceInvalidHandle);
  EXPECT_FALSE(Cfs->FileFlush(77));

  const int32_t H = Cfs->FileOpen("\\f", kModeReadWrite);
  EXPECT_EQ(Cfs->FileSetSize(H, -5), ceInvalidArgument);
  EXPECT_EQ(Cfs->FileSeek(H, 0, -4096), -4096);
  EXPECT_EQ(Cfs->FileRead(H, Buffer, 16), 0);
  EXPECT_EQ(Cfs->LastError(), ceInvalidArgument);
  EXPECT_EQ(Cfs->FileWrite(H, Buffer, 16), 0);
  EXPECT_EQ(Cfs->LastError(), ceInvalidArgument);
  EXPECT_EQ(Cfs->FileSeek(H, 1, 4096 + 90), 90);
  EXPECT_EQ(Cfs->FileRead(H, Buffer, 16), 10);  // short at the end
  EXPECT_EQ(Cfs->FileSeek(H, 7, 0), -1);
  EXPECT_EQ(Cfs->FileSeek(H, 1, INT64_MAX), -1);
  EXPECT_EQ(Cfs->FileSeek(H, 0, INT64_MAX - 3), INT64_MAX - 3);
  EXPECT_EQ(Cfs->FileWrite(H, Buffer, 16), 0);  // the end would overflow
  EXPECT_EQ(Cfs->LastError(), ceInvalidArgument);
  EXPECT_EQ(Cfs->FileSeek(H, 0, int64_t{1} << 50), int64_t{1} << 50);
  EXPECT_EQ(Cfs->FileWrite(H, Buffer, 16), 0);  // more pages than a container can number
  EXPECT_EQ(Cfs->LastError(), ceNoSpace);
  EXPECT_TRUE(Cfs->FileFlush(H));
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\f"), Pattern(100, 1));
  ExpectConsistent();
}

TEST_P(ContainerFileTest, MalformedPathsNeverCrashOrTouchOtherFiles) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\keep.dat", Pattern(2 * D, 11)));
  ASSERT_TRUE(Cfs->ForceDirectories("\\dir"));
  const std::string Long(300, 'L');
  const std::vector<std::string> Paths = {"",          "\\",          "/",          Long,
                                          "\\" + Long, "..\\..\\x",   "a\\\\b",     "\\\\b",
                                          "a\\",       "\\missing\\x", "\\keep.dat\\x", ".",
                                          "..",        "\\dir\\..\\..\\..", std::string("n\0ul", 4), "\\dir\\"};
  // Whatever an operation makes of a path, a failure carries its reason.
  auto Reported = [&](bool Ok, const char* What) {
    if (!Ok) {
      EXPECT_NE(Cfs->LastError(), ceOk) << What << " failed without a reason";
    }
  };
  for (const std::string& P : Paths) {
    SCOPED_TRACE("path \"" + P + "\"");
    const int32_t H = Cfs->FileOpen(P, kModeCreate);
    Reported(H >= 0, "FileOpen (create)");
    if (H >= 0) {
      const std::vector<uint8_t> Bytes = Pattern(10, 12);
      EXPECT_EQ(Cfs->FileWrite(H, Bytes.data(), 10), 10);
      EXPECT_TRUE(Cfs->FileClose(H));
    }
    const int32_t Again = Cfs->FileOpen(P, kModeReadWrite);
    Reported(Again >= 0, "FileOpen");
    EXPECT_TRUE(Cfs->FileClose(Again));
    Cfs->FileExists(P);
    Cfs->DirectoryExists(P);
    Reported(Cfs->ForceDirectories(P), "ForceDirectories");
    Reported(Cfs->RenameFile(P, "\\renamed"), "RenameFile");
    Reported(Cfs->RenameFile("\\renamed", P), "RenameFile back");
    TSearchRec Rec;
    if (Cfs->FindFirst(P + "\\*", kSearchAnyAttr, Rec) == 0) Cfs->FindClose(Rec);
    Reported(Cfs->DeleteFile(P), "DeleteFile");
    EXPECT_EQ(ReadWholeFile(*Cfs, "\\keep.dat"), Pattern(2 * D, 11));
  }
  for (const char* Bad : {"", "\\", "/", "a\\\\b", "\\\\b", "\\absent\\x", "\\keep.dat\\x", ".", ".."}) {
    EXPECT_EQ(Cfs->FileOpen(Bad, kModeCreate), -1) << Bad;
  }
  ExpectConsistent();
  Reopen();
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\keep.dat"), Pattern(2 * D, 11));
  ExpectConsistent();
}

TEST_P(ContainerFileTest, OverlongNamesAreCutTo259Characters) {
  const std::string Long(300, 'q');
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\" + Long, Pattern(3, 1)));
  EXPECT_EQ(Item("\\" + Long).FileName.size(), 259u);
  EXPECT_TRUE(Cfs->FileExists("\\" + std::string(259, 'Q')));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\" + std::string(280, 'q')), Pattern(3, 1));
}

TEST_P(ContainerFileTest, DirectoriesAndSearches) {
  ASSERT_TRUE(Cfs->ForceDirectories("\\data\\sub"));
  EXPECT_TRUE(Cfs->DirectoryExists("\\data"));
  EXPECT_TRUE(Cfs->DirectoryExists("/DATA/Sub"));
  EXPECT_TRUE(Cfs->DirectoryExists("\\"));
  EXPECT_TRUE(Cfs->DirectoryExists("."));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\data\\t1.dat", Pattern(5000, 1)));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\data\\t2.DAT", Pattern(7, 2)));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\data\\t1.idx", Pattern(1, 3)));
  EXPECT_FALSE(Cfs->DirectoryExists("\\data\\t1.dat"));  // a file is not a directory
  EXPECT_FALSE(Cfs->ForceDirectories("\\data\\t1.dat"));
  EXPECT_FALSE(Cfs->ForceDirectories("\\data\\t1.dat\\x"));
  EXPECT_FALSE(Cfs->DeleteFile("\\data"));  // not empty

  auto Search = [&](const std::string& Mask, uint32_t Attr) {
    std::vector<std::string> Names;
    TSearchRec Rec;
    for (int32_t R = Cfs->FindFirst(Mask, Attr, Rec); R == 0; R = Cfs->FindNext(Rec)) Names.push_back(Rec.Name);
    Cfs->FindClose(Rec);
    std::sort(Names.begin(), Names.end());
    return Names;
  };
  EXPECT_EQ(Search("\\data\\*.dat", 0), (std::vector<std::string>{"t1.dat", "t2.DAT"}));
  EXPECT_EQ(Search("\\data\\*", 0), (std::vector<std::string>{"t1.dat", "t1.idx", "t2.DAT"}));
  EXPECT_EQ(Search("\\data\\*", 16), (std::vector<std::string>{"sub", "t1.dat", "t1.idx", "t2.DAT"}));
  EXPECT_EQ(Search("\\*", 63), (std::vector<std::string>{"data"}));
  EXPECT_EQ(Search("\\nowhere\\*", 63), std::vector<std::string>{});

  TSearchRec Rec;
  ASSERT_EQ(Cfs->FindFirst("\\data\\t1.dat", 0, Rec), 0);
  EXPECT_EQ(Rec.Size, 5000);
  EXPECT_EQ(Rec.Attr, 0);
  EXPECT_EQ(Rec.FindData.nFileSizeLow, 5000u);
  EXPECT_EQ(Rec.FindData.cFileName, "t1.dat");
  EXPECT_EQ(Rec.FindData.ftLastWriteTime, kTestNow);
  EXPECT_EQ(static_cast<uint32_t>(Rec.Time), platform::FileTimeToDosDateTime(kTestNow));
  EXPECT_NE(Cfs->FindNext(Rec), 0);
  Cfs->FindClose(Rec);
  EXPECT_EQ(Cfs->FindFirst("\\data\\none*", 63, Rec), kFindNoMoreFiles);
  EXPECT_EQ(Cfs->FindFirst("\\nowhere\\*", 63, Rec), kFindPathNotFound);
  ExpectConsistent();
}

TEST_P(ContainerFileTest, RenameRules) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a.dat", Pattern(10, 1)));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\b.dat", Pattern(10, 2)));
  EXPECT_FALSE(Cfs->RenameFile("\\a.dat", "\\B.DAT"));  // another file has that name
  EXPECT_TRUE(Cfs->RenameFile("\\a.dat", "\\A.Dat"));   // letter case only
  EXPECT_EQ(Item("\\a.dat").FileName, "A.Dat");
  EXPECT_TRUE(Cfs->RenameFile("\\A.dat", "\\new\\deep\\c.dat"));  // parents are made
  EXPECT_TRUE(Cfs->DirectoryExists("\\new\\deep"));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\new\\deep\\c.dat"), Pattern(10, 1));
  EXPECT_FALSE(Cfs->FileExists("\\a.dat"));
  EXPECT_FALSE(Cfs->RenameFile("\\missing", "\\x"));
  EXPECT_FALSE(Cfs->RenameFile("\\new", "\\new\\deep\\new"));  // into itself
  EXPECT_FALSE(Cfs->RenameFile("\\b.dat", "\\b.dat\\x"));
  EXPECT_TRUE(Cfs->RenameFile("\\new", "\\old"));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\old\\deep\\c.dat"), Pattern(10, 1));
  Reopen();
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\old\\deep\\c.dat"), Pattern(10, 1));
  ExpectConsistent();
}

// Every failing operation tells why in LastError, with its own code; the next success of the
// same operation clears it again.
TEST_P(ContainerFileTest, FailuresSetTheirCodeAndASuccessClearsIt) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a.dat", Pattern(10, 1)));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\open.dat", Pattern(10, 2)));
  ASSERT_TRUE(Cfs->ForceDirectories("\\dir"));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\dir\\c.dat", Pattern(10, 3)));
  const int32_t Open = Cfs->FileOpen("\\open.dat", kModeReadWrite);
  ASSERT_GE(Open, 0);
  constexpr int32_t kUnknown = 77;

  using Step = std::function<bool(TContainerFileSystem&)>;  // true: the operation succeeded
  const Step Delete = [](TContainerFileSystem& C) { return C.DeleteFile("\\s.dat"); };  // made before each case
  const Step Rename = [](TContainerFileSystem& C) {
    return C.RenameFile("\\a.dat", "\\b.dat") && C.RenameFile("\\b.dat", "\\a.dat");
  };
  const Step OpenFile = [](TContainerFileSystem& C) {
    const int32_t H = C.FileOpen("\\a.dat", kModeReadWrite);
    EXPECT_TRUE(C.FileClose(H));
    return H >= 0;
  };
  const Step Handle = [Open](TContainerFileSystem& C) { return C.FileSetSize(Open, 10) == 10; };
  const Step Seek = [Open](TContainerFileSystem& C) { return C.FileSeek(Open, 0, 0) == 0; };
  const Step Flush = [Open](TContainerFileSystem& C) { return C.FileFlush(Open); };
  const Step Force = [](TContainerFileSystem& C) { return C.ForceDirectories("\\made\\here"); };
  struct Case {
    const char* Name;
    Step Fail;
    int32_t Code;
    const Step& Succeed;
  };
  uint8_t Buffer[4];
  const Case Cases[] = {
      {"DeleteFile of a missing file", [](auto& C) { return C.DeleteFile("\\missing.dat"); }, cePathNotFound, Delete},
      {"DeleteFile in a missing folder", [](auto& C) { return C.DeleteFile("\\nowhere\\x"); }, cePathNotFound, Delete},
      {"DeleteFile of a malformed path", [](auto& C) { return C.DeleteFile("a\\\\b"); }, cePathMalformed, Delete},
      {"DeleteFile of an open file", [](auto& C) { return C.DeleteFile("\\open.dat"); }, ceFileInUse, Delete},
      {"DeleteFile of a folder with items", [](auto& C) { return C.DeleteFile("\\dir"); }, ceDirectoryNotEmpty, Delete},
      {"DeleteFile of the root", [](auto& C) { return C.DeleteFile("\\"); }, ceInvalidArgument, Delete},
      {"RenameFile onto an existing name", [](auto& C) { return C.RenameFile("\\a.dat", "\\OPEN.dat"); }, ceFileExists, Rename},
      {"RenameFile onto the root", [](auto& C) { return C.RenameFile("\\a.dat", "\\"); }, ceFileExists, Rename},
      {"RenameFile of a missing file", [](auto& C) { return C.RenameFile("\\missing.dat", "\\x"); }, cePathNotFound, Rename},
      {"RenameFile of an open file", [](auto& C) { return C.RenameFile("\\open.dat", "\\x"); }, ceFileInUse, Rename},
      {"RenameFile to a malformed path", [](auto& C) { return C.RenameFile("\\a.dat", "x\\\\y"); }, cePathMalformed, Rename},
      {"RenameFile below a file", [](auto& C) { return C.RenameFile("\\a.dat", "\\open.dat\\x"); }, ceFileExists, Rename},
      {"RenameFile of a folder into itself", [](auto& C) { return C.RenameFile("\\dir", "\\dir\\moved"); }, ceInvalidArgument, Rename},
      {"RenameFile of the root", [](auto& C) { return C.RenameFile("\\", "\\x"); }, ceInvalidArgument, Rename},
      {"FileOpen of a folder", [](auto& C) { return C.FileOpen("\\dir", kModeReadWrite) >= 0; }, ceIsDirectory, OpenFile},
      {"FileOpen of the root", [](auto& C) { return C.FileOpen("\\", kModeRead) >= 0; }, ceIsDirectory, OpenFile},
      {"FileOpen creating over a folder", [](auto& C) { return C.FileOpen("\\dir", kModeCreate) >= 0; }, ceIsDirectory, OpenFile},
      {"FileOpen of a missing file", [](auto& C) { return C.FileOpen("\\missing.dat", kModeRead) >= 0; }, cePathNotFound, OpenFile},
      {"FileOpen creating in a missing folder", [](auto& C) { return C.FileOpen("\\nowhere\\x", kModeCreate) >= 0; }, cePathNotFound, OpenFile},
      {"FileOpen creating a malformed path", [](auto& C) { return C.FileOpen("a\\\\b", kModeCreate) >= 0; }, cePathMalformed, OpenFile},
      {"FileSetSize with a bad handle", [](auto& C) { return C.FileSetSize(kUnknown, 0) >= 0; }, ceInvalidHandle, Handle},
      {"FileSetSize to a negative size", [Open](auto& C) { return C.FileSetSize(Open, -1) >= 0; }, ceInvalidArgument, Handle},
      {"FileRead with a bad handle", [&Buffer](auto& C) { return C.FileRead(kUnknown, Buffer, 4) >= 0; }, ceInvalidHandle, Handle},
      {"FileWrite with a bad handle", [&Buffer](auto& C) { return C.FileWrite(kUnknown, Buffer, 4) >= 0; }, ceInvalidHandle, Handle},
      {"FileSeek with a bad handle", [](auto& C) { return C.FileSeek(kUnknown, 0, 0) >= 0; }, ceInvalidHandle, Seek},
      {"FileSeek from a bad origin", [Open](auto& C) { return C.FileSeek(Open, 3, 0) >= 0; }, ceInvalidArgument, Seek},
      {"FileFlush with a bad handle", [](auto& C) { return C.FileFlush(kUnknown); }, ceInvalidHandle, Flush},
      {"ForceDirectories over a file", [](auto& C) { return C.ForceDirectories("\\a.dat"); }, ceFileExists, Force},
      {"ForceDirectories below a file", [](auto& C) { return C.ForceDirectories("\\a.dat\\x"); }, ceFileExists, Force},
      {"ForceDirectories of a malformed path", [](auto& C) { return C.ForceDirectories("a\\\\b"); }, cePathMalformed, Force},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\s.dat", {}));
    EXPECT_FALSE(C.Fail(*Cfs));
    EXPECT_EQ(Cfs->LastError(), C.Code) << ContainerErrorText(Cfs->LastError());
    EXPECT_TRUE(C.Succeed(*Cfs));
    EXPECT_EQ(Cfs->LastError(), ceOk);
  }
  EXPECT_TRUE(Cfs->FileClose(Open));
  // Nothing a failure touched changed.
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\a.dat"), Pattern(10, 1));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\dir\\c.dat"), Pattern(10, 3));
  EXPECT_FALSE(Cfs->FileExists("\\dir\\moved"));
  ExpectConsistent();
}

// Each code has its own short text; a code that is not one of them is shown by its number.
TEST(ContainerErrorTextTest, EveryCodeHasItsOwnText) {
  const int32_t Codes[] = {ceOk,          cePathMalformed, cePathNotFound,  ceInvalidHandle,   cePageHeaderRead,
                           cePageHeaderWrite, cePageDataRead, cePageDataWrite, cePageChecksum,  cePageDecrypt,
                           cePageEncrypt, ceRepairBuffer,  ceRepairRename,  ceFileInUse,       ceNoSpace,
                           ceReadOnly,    ceInvalidArgument, ceIsDirectory, ceFileExists,      ceDirectoryNotEmpty,
                           ceInvalidPassword, ceFlushFailed};
  std::set<std::string> Texts;
  for (const int32_t Code : Codes) {
    const std::string Text = ContainerErrorText(Code);
    EXPECT_FALSE(Text.empty()) << Code;
    EXPECT_NE(Text.rfind("error ", 0), 0u) << Code << ": " << Text;
    EXPECT_TRUE(Texts.insert(Text).second) << Code << " shares its text: " << Text;
  }
  EXPECT_EQ(ContainerErrorText(ceNoSpace), "not enough space");
  EXPECT_EQ(ContainerErrorText(cePageChecksum), "page data checksum mismatch");
  EXPECT_EQ(ContainerErrorText(-1), "error -1");
  EXPECT_EQ(ContainerErrorText(-99), "error -99");
}

TEST_P(ContainerFileTest, ReadOnlyContainerChangesNothing) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Pattern(3 * D, 1)));
  Cfs.reset();
  const std::vector<uint8_t> Image = Env.Fs.ReadAll(Path);
  Env.Clock.SetNowUtc(kTestNow + 3600 * platform::kFileTimeTicksPerSecond);
  Cfs = OpenContainer(Path, Password(), kModeRead);
  EXPECT_TRUE(Cfs->ReadOnly());
  const int32_t H = Cfs->FileOpen("\\f", kModeRead);
  ASSERT_GE(H, 0);
  std::vector<uint8_t> Data(3 * D);
  EXPECT_EQ(Cfs->FileRead(H, Data.data(), 3 * D), 3 * D);
  EXPECT_EQ(Data, Pattern(3 * D, 1));
  EXPECT_EQ(Cfs->FileWrite(H, Data.data(), 10), 0);
  EXPECT_EQ(Cfs->LastError(), ceReadOnly);
  EXPECT_EQ(Cfs->FileSetSize(H, 0), ceReadOnly);
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(Cfs->FileOpen("\\g", kModeCreate), -1);
  EXPECT_FALSE(Cfs->DeleteFile("\\f"));
  EXPECT_FALSE(Cfs->RenameFile("\\f", "\\g"));
  EXPECT_FALSE(Cfs->ForceDirectories("\\d"));
  EXPECT_EQ(Item("\\f").LastAccessTime, kTestNow);
  Cfs.reset();
  EXPECT_EQ(Env.Fs.ReadAll(Path), Image);
}

TEST_P(ContainerFileTest, OpeningUpdatesLastAccess) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Pattern(1, 1)));
  const int64_t Later = kTestNow + 3600 * platform::kFileTimeTicksPerSecond;
  Env.Clock.SetNowUtc(Later);
  EXPECT_TRUE(Cfs->FileClose(Cfs->FileOpen("\\f", kModeReadWrite)));
  EXPECT_EQ(Item("\\f").LastAccessTime, Later);
  EXPECT_EQ(Item("\\f").LastWriteTime, kTestNow);
  EXPECT_EQ(Item("\\f").CreationTime, kTestNow);
}

TEST_P(ContainerFileTest, NoSpaceIsReportedAndFiresTheEvent) {
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Pattern(D, 1)));
  int Fired = 0;
  Cfs->OnNoSpace = [&](TContainerFileSystem&) { ++Fired; };
  Env.Fs.SetCapacity(static_cast<int64_t>(Env.Fs.UsedBytes()));
  const int32_t H = Cfs->FileOpen("\\f", kModeReadWrite);
  const std::vector<uint8_t> More = Pattern(40 * D, 2);
  ASSERT_EQ(Cfs->FileSeek(H, 2, 0), D);
  EXPECT_EQ(Cfs->FileWrite(H, More.data(), static_cast<int32_t>(More.size())), 0);
  EXPECT_EQ(Cfs->LastError(), ceNoSpace);
  EXPECT_EQ(Cfs->FileSetSize(H, 100 * D), ceNoSpace);
  EXPECT_EQ(Fired, 2);
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\f"), Pattern(D, 1));
  // Committing needs room for the rollback journal.
  Env.Fs.SetCapacity(-1);
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\f"), Pattern(D, 1));
  EXPECT_EQ(CheckContainer(*Cfs).size(), 0u) << testing::PrintToString(CheckContainer(*Cfs));
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerFileTest, testing::ValuesIn(kContainerVariants), VariantName);

class ContainerOpenTest : public testing::Test {
protected:
  ContainerEnvironment Env;
};

TEST_F(ContainerOpenTest, WrongPasswordRaisesTheCreateMessage) {
  const std::string Name = "/q\"uote.edb";
  CreateContainer(Name, "right").reset();
  EXPECT_TRUE(TContainerFileSystem::IsFileEncrypted(Name));
  EXPECT_TRUE(TContainerFileSystem::CheckFilePassword(Name, "right"));
  for (const char* Wrong : {"wrong", ""}) {
    const uint32_t TickBefore = Env.Clock.TickCount();
    EXPECT_EQ(testsupport::messageOf([&] { OpenContainer(Name, Wrong); }),
              "TContainerFileSystem.Create - invalid password specified, file name = \"/q\"\"uote.edb\"");
    if (*Wrong) {
      EXPECT_GT(Env.Clock.TickCount() - TickBefore, 255u);  // the check waited a quarter second
    }
  }
  const uint32_t TickBefore = Env.Clock.TickCount();
  auto Cfs = OpenContainer(Name, "right");
  const uint32_t Spent = Env.Clock.TickCount() - TickBefore;
  EXPECT_GT(Spent, 255u);  // the password was verified with its delay...
  EXPECT_LT(Spent, 512u);  // ...once: taking the page key afterwards does not wait again
  EXPECT_TRUE(Cfs->IsEncrypted());
  EXPECT_EQ(Cfs->Password(), "right");
}

TEST_F(ContainerOpenTest, PlainContainerIgnoresThePassword) {
  CreateContainer("/p.edb", "").reset();
  EXPECT_FALSE(TContainerFileSystem::IsFileEncrypted("/p.edb"));
  auto Cfs = OpenContainer("/p.edb", "anything");
  EXPECT_FALSE(Cfs->IsEncrypted());
  EXPECT_EQ(Cfs->Password(), "");
}

TEST_F(ContainerOpenTest, InMemoryCreateOverAnExistingFileLoadsIt) {
  {
    auto Cfs = CreateContainer("/m.edb", "");
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f", Pattern(100, 1)));
  }
  TContainerFileSystem Memory("/m.edb", kModeCreate, true, "");
  EXPECT_TRUE(Memory.InMemory());
  EXPECT_EQ(ReadWholeFile(Memory, "\\f"), Pattern(100, 1));
  EXPECT_GT(Memory.GetSize(), 0);
}

TEST_F(ContainerOpenTest, MissingOrDamagedContainerRaises) {
  EXPECT_THROW(OpenContainer("/none.edb", ""), Exception);
  Env.Fs.WriteAll("/junk.edb", std::vector<uint8_t>(1000, 7));
  EXPECT_THROW(OpenContainer("/junk.edb", ""), Exception);
}

}  // namespace
}  // namespace tesvar::container::test
