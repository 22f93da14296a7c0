// Replacing what the user has: `put` over an existing NAME and `get` over an existing DEST keep
// one complete copy under a known name whatever step fails; `get` writes devices and pipes.

#include "container/TCFSTransaction.h"
#include "EdbTestSupport.h"

#include "container/ContainerFormat.h"
#include "container/TContainerFileSystem.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/FaultFileSystem.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tesvar::edb::test {
namespace {

using container::TContainerFileSystem;
using platform::FaultKind;
using platform::FaultMode;

const std::string kOld = Pattern(5000, 1);  // two pages
const std::string kNew = Pattern(12 * 4064 + 100, 2);  // more pages than the first extent has free

// edb over the in-memory file system behind the fault wrapper.
class EdbReplace : public EdbToolTest {
protected:
  EdbReplace() : FFaults(FMemory), FGuard(FFaults) {}

  // The stored content of Name, or none when it is missing (faults off).
  std::optional<std::string> Stored(const std::string& Name) {
    const RunResult Result = Run({"get", C, Name});
    if (Result.Status != 0) return std::nullopt;
    return Result.Out;
  }
  bool Exists(const std::string& Name) {
    TContainerFileSystem Container(C, container::kModeRead, false, {});
    return Container.FileExists(Name);
  }

  platform::MemoryFileSystem FMemory;
  platform::FaultFileSystem FFaults;
  platform::ScopedFileSystem FGuard;
  const std::string C = "/c.edb";
};

// One failure of `put` at one step.
struct StepCase {
  const char* Name;
  const char* Target;  // NAME; "f.txt" holds kOld before the put, others do not exist
  TPutStep Step;
  // What goes wrong just before the step: items held open (an open item can be neither renamed
  // nor deleted) and the next host operation of a kind failing.
  std::vector<std::string> HoldOpen;
  std::optional<FaultKind> FailNext;
  bool DiskFull = false;       // every write from the step on fails
  const char* Expected;        // the error line after "edb: "
  const char* Content;         // "old", "new", or nullptr: NAME missing
  bool NewLeft = false;        // NAME~edb-new exists afterwards
  bool OldLeft = false;        // NAME~edb-old exists afterwards
};

void PrintTo(const StepCase& Case, std::ostream* Os) { *Os << Case.Name; }

// The swap's steps as a container that writes every change through sees them: each step's own
// host writes can fail. (In transactions the steps reach the host together at the final flush;
// the fault loop below covers that.)
class EdbPutFault : public EdbReplace, public testing::WithParamInterface<StepCase> {
protected:
  container::TCFSTransaction::ScopedEnabled FWriteThrough{false};
};

TEST_P(EdbPutFault, EveryStepKeepsOneCompleteCopyUnderAKnownName) {
  const StepCase& Case = GetParam();
  const std::string Name = Case.Target;
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, kOld);
  BeforePutStep = [&](TContainerFileSystem& Container, TPutStep Step) {
    if (Step != Case.Step) return;
    for (const std::string& Path : Case.HoldOpen) ASSERT_GE(Container.FileOpen(Path, container::kModeRead), 0) << Path;
    if (Case.FailNext) FFaults.FailAt(*Case.FailNext, 1);
    if (Case.DiskFull) FFaults.FailFrom(FaultKind::Write, 1);
  };
  const std::string Err = Fails({"put", C, Name}, kNew);
  EXPECT_EQ(Err, std::string("edb: ") + Case.Expected + "\n");
  BeforePutStep = nullptr;
  FFaults.Reset();

  const std::optional<std::string> Content = Stored(Name);
  if (!Case.Content) {
    EXPECT_FALSE(Content);
  } else {
    ASSERT_TRUE(Content);
    EXPECT_TRUE(*Content == (std::string(Case.Content) == "old" ? kOld : kNew));
  }
  EXPECT_EQ(Exists(Name + "~edb-new"), Case.NewLeft);
  EXPECT_EQ(Exists(Name + "~edb-old"), Case.OldLeft);
  if (Case.NewLeft && Case.OldLeft) {
    EXPECT_TRUE(Stored(Name + "~edb-old") == kOld);
    EXPECT_TRUE(Stored(Name + "~edb-new") == kNew);
  }
  // The container is sound, and check tells about what is left.
  const RunResult Check = Run({"check", C});
  EXPECT_EQ(Check.Status, 0) << Check.Out;
  EXPECT_TRUE(Check.Out.starts_with("OK")) << Check.Out;
  EXPECT_EQ(Check.Out.find("~edb-new' holds new data for '\\" + Name + "'") != std::string::npos, Case.NewLeft) << Check.Out;
  EXPECT_EQ(Check.Out.find("~edb-old' holds the old data of '\\" + Name + "'") != std::string::npos, Case.OldLeft) << Check.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EdbPutFault,
    testing::Values(
        StepCase{"CreatingTheNewItem", "f.txt", TPutStep::WriteNew, {}, FaultKind::Write, false,
                 "TDIRManager.AddItem - can not save page, pageNo = 4; 'f.txt' is unchanged", "old"},
        StepCase{"FlushOfTheNewData", "f.txt", TPutStep::FlushNew, {}, FaultKind::Flush, false,
                 "the container cannot be flushed: Injected flush fault; 'f.txt' is unchanged", "old"},
        StepCase{"DiskFullAfterTheNewData", "f.txt", TPutStep::FlushNew, {}, FaultKind::Flush, true,
                 "the container cannot be flushed: Injected flush fault; 'f.txt' is unchanged; the new data is left "
                 "as 'f.txt~edb-new'",
                 "old", true},
        StepCase{"MovingAsideAnOpenName", "f.txt", TPutStep::MoveOldAside, {"f.txt"}, std::nullopt, false,
                 "cannot replace 'f.txt': it cannot move aside to 'f.txt~edb-old' (it is in use); 'f.txt' is unchanged",
                 "old"},
        StepCase{"MovingAsideFailsToWrite", "f.txt", TPutStep::MoveOldAside, {}, FaultKind::Write, false,
                 "cannot replace 'f.txt': it cannot move aside to 'f.txt~edb-old' (TDIRManager.WriteItem - can not save "
                 "page, pageNo = 4); 'f.txt' is unchanged",
                 "old"},
        StepCase{"RenamingTheOpenNewData", "f.txt", TPutStep::RenameNew, {"f.txt~edb-new"}, std::nullopt, false,
                 "cannot replace 'f.txt': the new data cannot take its name (it is in use); 'f.txt' is unchanged; the "
                 "new data is left as 'f.txt~edb-new'",
                 "old", true},
        StepCase{"RenamingFailsToWrite", "f.txt", TPutStep::RenameNew, {}, FaultKind::Write, false,
                 "cannot replace 'f.txt': the new data cannot take its name (TDIRManager.WriteItem - can not save page, "
                 "pageNo = 4); 'f.txt' is unchanged",
                 "old"},
        StepCase{"NeitherCopyCanTakeTheName", "f.txt", TPutStep::RenameNew, {"f.txt~edb-new", "f.txt~edb-old"},
                 std::nullopt, false,
                 "cannot replace 'f.txt': the new data cannot take its name (it is in use), nor can the old data "
                 "return (it is in use); the old data is kept as 'f.txt~edb-old', the new data as 'f.txt~edb-new'",
                 nullptr, true, true},
        StepCase{"DeletingTheOpenOldData", "f.txt", TPutStep::DeleteOld, {"f.txt~edb-old"}, std::nullopt, false,
                 "'f.txt' now holds the new data, but the old data cannot be removed (it is in use); it is kept as "
                 "'f.txt~edb-old'",
                 "new", false, true},
        StepCase{"DeletingFailsToWrite", "f.txt", TPutStep::DeleteOld, {}, FaultKind::Write, false,
                 "'f.txt' now holds the new data, but the old data cannot be removed (TDIRManager.WriteItem - can not "
                 "save page, pageNo = 4); it is kept as 'f.txt~edb-old'",
                 "new", false, true},
        StepCase{"FinalFlush", "f.txt", TPutStep::FlushDone, {}, FaultKind::Flush, false,
                 "'f.txt' now holds the new data, but the container cannot be flushed: Injected flush fault", "new"},
        StepCase{"NewNameThatCannotBeTaken", "g.txt", TPutStep::RenameNew, {"g.txt~edb-new"}, std::nullopt, false,
                 "cannot store 'g.txt': the new data cannot take its name (it is in use); nothing was stored; the new "
                 "data is left as 'g.txt~edb-new'",
                 nullptr, true}),
    [](const testing::TestParamInfo<StepCase>& Info) { return std::string(Info.param.Name); });

TEST_F(EdbReplace, FaultedPutIntoNewFoldersLeavesNoFolders) {
  container::TCFSTransaction::ScopedEnabled WriteThrough(false);
  Ok({"create", C});
  BeforePutStep = [&](TContainerFileSystem&, TPutStep Step) {
    if (Step == TPutStep::FlushNew) FFaults.FailAt(FaultKind::Flush, 1);
  };
  EXPECT_NE(Fails({"put", C, "new/inner/g.txt"}, kNew).find("nothing was stored"), std::string::npos);
  FFaults.Reset();
  EXPECT_EQ(Ok({"ls", C}), "");
}

// Every host write, flush and size change a replacing put makes, failed (or cut short) in turn:
// the put reports the failure, NAME always holds the old or the new data, and a put that reports
// success leaves nothing beside it. (Whether the container's own structures stay consistent
// after each fault is the container's fault tests' concern.)
TEST_F(EdbReplace, FaultLoopOverEveryHostOperationOfAPut) {
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, kOld);
  const std::vector<uint8_t> Image = FMemory.ReadAll(C);
  const std::pair<FaultKind, FaultMode> Plans[] = {{FaultKind::Write, FaultMode::Fail},
                                                   {FaultKind::Write, FaultMode::Short},
                                                   {FaultKind::Flush, FaultMode::Fail},
                                                   {FaultKind::SizeChange, FaultMode::Fail}};
  for (const auto& [Kind, Mode] : Plans) {
    for (uint64_t K = 1;; ++K) {
      SCOPED_TRACE("kind " + std::to_string(static_cast<int>(Kind)) + " mode " + std::to_string(static_cast<int>(Mode)) +
                   " operation " + std::to_string(K));
      FMemory.WriteAll(C, Image);
      FFaults.Reset();
      FFaults.FailAt(Kind, K, Mode);
      const RunResult Put = Run({"put", C, "f.txt"}, kNew);
      const bool Injected = FFaults.Injected() > 0;
      FFaults.Reset();
      if (Put.Status != 0) {
        EXPECT_TRUE(IsOneErrorLine(Put.Err)) << Put.Err;
      }
      const std::optional<std::string> Content = Stored("f.txt");
      ASSERT_TRUE(Content) << Put.Err;
      EXPECT_TRUE(*Content == kOld || *Content == kNew) << Put.Err;
      if (Put.Status == 0) {
        EXPECT_TRUE(*Content == kNew);
        EXPECT_FALSE(Exists("f.txt~edb-new"));
        EXPECT_FALSE(Exists("f.txt~edb-old"));
      }
      if (!Injected) {
        EXPECT_EQ(Put.Status, 0) << Put.Err;
        EXPECT_GT(K, 1u);
        break;
      }
    }
  }
}

TEST_F(EdbToolTest, AnUnfinishedPutIsToldAboutAndNotOverwritten) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"mkdir", C, "d"});
  // What a put that died between moving the old data aside and renaming the new leaves.
  Ok({"put", C, "d/f.txt~edb-old"}, "old");
  Ok({"put", C, "d/f.txt~edb-new"}, "new");
  const std::string Image = ReadHostFile(C);

  EXPECT_EQ(Fails({"put", C, "d/F.TXT"}, "newer"),
            "edb: 'd/F.TXT': an earlier put did not finish and left 'd\\F.TXT~edb-new' and 'd\\F.TXT~edb-old'; remove "
            "or rename the leftovers first\n");
  EXPECT_TRUE(ReadHostFile(C) == Image);
  EXPECT_EQ(Ok({"check", C}),
            "OK: 2 files, 1 folder, 17 pages checked\n"
            "note: '\\d\\f.txt~edb-old' holds the old data of '\\d\\f.txt' from a put that did not finish\n"
            "note: '\\d\\f.txt~edb-new' holds new data for '\\d\\f.txt' from a put that did not finish\n");

  Ok({"rm", C, "d/f.txt~edb-new"});
  EXPECT_NE(Fails({"put", C, "d/f.txt"}, "newer").find("left 'd\\f.txt~edb-old'; remove"), std::string::npos);
  Ok({"mv", C, "d/f.txt~edb-old", "d/f.txt"});
  Ok({"put", C, "d/f.txt"}, "newer");
  EXPECT_EQ(Ok({"get", C, "d/f.txt"}), "newer");
}

TEST_F(EdbToolTest, LongNamesKeepTheirSideNamesWithinTheLimit) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  const std::string Name(259, 'n');
  Ok({"put", C, Name}, "one");
  Ok({"put", C, Name}, "two");
  EXPECT_EQ(Ok({"get", C, Name}), "two");
  EXPECT_EQ(Ok({"ls", C}), "2024-01-01 00:00:00             3  " + Name + "\n");
}

// ---- get over an existing destination

struct GetCase {
  const char* Name;
  FaultKind Kind;
  uint64_t At;
  bool From;                // every operation of the kind from At on fails
  const char* Expected;     // part of the error line; empty: success
  const char* Dest;         // content of DEST afterwards ("" = missing)
  const char* Old;          // content of DEST~edb-old ("" = missing)
  const char* New;          // content of DEST~edb-new ("" = missing)
};

void PrintTo(const GetCase& Case, std::ostream* Os) { *Os << Case.Name; }

class EdbGetFault : public EdbReplace, public testing::WithParamInterface<GetCase> {};

TEST_P(EdbGetFault, ExistingDestinationIsReplacedOnlyByACompleteFile) {
  const GetCase& Case = GetParam();
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, "stored data");
  FMemory.WriteAll("/out.txt", std::vector<uint8_t>{'m', 'i', 'n', 'e'});
  if (Case.From) FFaults.FailFrom(Case.Kind, Case.At);
  else FFaults.FailAt(Case.Kind, Case.At);
  const RunResult Result = Run({"get", C, "f.txt", "/out.txt"});
  FFaults.Reset();
  if (*Case.Expected == 0) {
    EXPECT_EQ(Result.Status, 0) << Result.Err;
  } else {
    EXPECT_EQ(Result.Status, 1);
    EXPECT_TRUE(IsOneErrorLine(Result.Err)) << Result.Err;
    EXPECT_NE(Result.Err.find(Case.Expected), std::string::npos) << Result.Err;
  }
  auto Content = [this](const std::string& Path) {
    if (!FMemory.FileExists(Path)) return std::string();
    const std::vector<uint8_t> Data = FMemory.ReadAll(Path);
    return std::string(Data.begin(), Data.end());
  };
  EXPECT_EQ(Content("/out.txt"), Case.Dest);
  EXPECT_EQ(Content("/out.txt~edb-old"), Case.Old);
  EXPECT_EQ(Content("/out.txt~edb-new"), Case.New);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EdbGetFault,
    testing::Values(
        GetCase{"NoFault", FaultKind::DirSync, 1, false, "", "stored data", "", ""},
        GetCase{"DiskFull", FaultKind::Write, 1, true, "/out.txt~edb-new: cannot write: Injected write fault; /out.txt is unchanged", "mine", "", ""},
        GetCase{"Flush", FaultKind::Flush, 1, true, "cannot write: Injected flush fault; /out.txt is unchanged", "mine", "", ""},
        GetCase{"MovingAside", FaultKind::Rename, 1, false, "cannot replace /out.txt: it cannot move aside to /out.txt~edb-old (Injected rename fault); /out.txt is unchanged", "mine", "", ""},
        GetCase{"Renaming", FaultKind::Rename, 2, false, "the new data cannot take its name (Injected rename fault); /out.txt is unchanged", "mine", "", ""},
        GetCase{"RenamingAndRestoring", FaultKind::Rename, 2, true, "the old data is kept as /out.txt~edb-old, the new data as /out.txt~edb-new", "", "mine", "stored data"},
        GetCase{"DeletingTheOld", FaultKind::Delete, 1, false, "/out.txt now holds the new data, but the old data cannot be removed (Injected delete fault); it is kept as /out.txt~edb-old", "stored data", "mine", ""}),
    [](const testing::TestParamInfo<GetCase>& Info) { return std::string(Info.param.Name); });

TEST_F(EdbReplace, GetPicksFreeSideNamesBesideTheDestination) {
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, "stored");
  FMemory.WriteAll("/out.txt", std::vector<uint8_t>{'a'});
  FMemory.WriteAll("/out.txt~edb-new", std::vector<uint8_t>{'b'});
  FMemory.WriteAll("/out.txt~edb-old", std::vector<uint8_t>{'c'});
  Ok({"get", C, "f.txt", "/out.txt"});
  EXPECT_TRUE(FMemory.ReadAll("/out.txt") == std::vector<uint8_t>({'s', 't', 'o', 'r', 'e', 'd'}));
  EXPECT_TRUE(FMemory.ReadAll("/out.txt~edb-new") == std::vector<uint8_t>{'b'});
  EXPECT_TRUE(FMemory.ReadAll("/out.txt~edb-old") == std::vector<uint8_t>{'c'});
  EXPECT_FALSE(FMemory.FileExists("/out.txt~edb-new1"));
  EXPECT_FALSE(FMemory.FileExists("/out.txt~edb-old1"));
}

// ---- get to devices and pipes (POSIX)

#ifndef _WIN32

TEST_F(EdbToolTest, GetWritesDevicesAndPipes) {
  const std::string C = P("c.edb");
  const std::string Data = Pattern(5000, 3);
  Ok({"create", C});
  Ok({"put", C, "f.bin"}, Data);
  Ok({"put", C, "huge.bin"}, Pattern(300 * 4064, 4));

  EXPECT_EQ(Ok({"get", C, "f.bin", "/dev/null"}), "");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  // A pipe: the reading end is open before, so the data waits in the pipe.
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  const int Reader = open(P("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(Reader, 0);
  Ok({"get", C, "f.bin", P("fifo")});
  std::string Got(Data.size() + 1, '\0');
  EXPECT_EQ(read(Reader, Got.data(), Got.size()), static_cast<ssize_t>(Data.size()));
  Got.resize(Data.size());
  close(Reader);
  EXPECT_TRUE(Got == Data);

  // A damaged file writes nothing, and the device stays where it is.
  {
    TContainerFileSystem Container(C, container::kModeRead, false, {});
    const auto& Item = Container.Directory().ReadItem(Container.Directory().FindFile("huge.bin"));
    const int32_t LastPage = Container.PageMaps().GetMaps(Item).DataPages.back();
    const int64_t Offset = container::kPartHeaderSize + int64_t{LastPage} * 4096 + container::kPageHeaderSize + 10;
    std::fstream Stream(C, std::ios::in | std::ios::out | std::ios::binary);
    Stream.seekg(Offset);
    const char Byte = static_cast<char>(Stream.get() ^ 0x5A);
    Stream.seekp(Offset);
    Stream.put(Byte);
  }
  EXPECT_NE(Fails({"get", C, "huge.bin", "/dev/null"}).find("checksum mismatch"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

#endif

}  // namespace
}  // namespace tesvar::edb::test
