// Fault loops: a fixed sequence of container operations runs over a fault-injecting file system
// whose k-th write (or size change) fails, for every k the sequence reaches. Each operation may
// report the failure (or raise); the sequence goes on. Afterwards the container must reopen
// without faults, the checker must find no page used twice or used while free, and files the
// sequence did not touch must read back unchanged.

#include "ContainerTestSupport.h"

#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;
const std::string kPath = "/fault.edb";

struct Untouched {
  const char* Path;
  int32_t Size;
  uint32_t Seed;
};
const Untouched kUntouched[] = {{"\\keep\\one.dat", 3 * D + 5, 1}, {"\\two.dat", 100, 2}};

void WriteAt(TContainerFileSystem& Cfs, const std::string& Path, int64_t Offset, const std::vector<uint8_t>& Data) {
  const int32_t H = Cfs.FileOpen(Path, kModeReadWrite);
  if (H < 0) return;
  if (Cfs.FileSeek(H, 0, Offset) == Offset) static_cast<void>(Cfs.FileWrite(H, Data.data(), static_cast<int32_t>(Data.size())));
  static_cast<void>(Cfs.FileClose(H));  // may fail: the faults are injected
}

void SetSize(TContainerFileSystem& Cfs, const std::string& Path, int64_t Size) {
  const int32_t H = Cfs.FileOpen(Path, kModeReadWrite);
  if (H < 0) return;
  static_cast<void>(Cfs.FileSetSize(H, Size));
  static_cast<void>(Cfs.FileClose(H));  // may fail: the faults are injected
}

// The sequence under test. Every step runs even when an earlier one failed; a step's result is
// not looked at (with the fault injected it may fail), only what the container holds afterwards.
void RunSequence(TContainerFileSystem& Cfs) {
  const std::vector<void (*)(TContainerFileSystem&)> Steps = {
      [](TContainerFileSystem& C) { WriteWholeFile(C, "\\a.dat", Pattern(5 * D, 10)); },
      [](TContainerFileSystem& C) { WriteAt(C, "\\b.dat", 2 * D - 7, Pattern(2 * D, 11)); },
      [](TContainerFileSystem& C) { static_cast<void>(C.ForceDirectories("\\d\\e")); },
      [](TContainerFileSystem& C) { WriteWholeFile(C, "\\d\\e\\f.dat", Pattern(2 * D + 1, 12)); },
      [](TContainerFileSystem& C) { SetSize(C, "\\b.dat", 6 * D); },
      [](TContainerFileSystem& C) { SetSize(C, "\\a.dat", D / 2); },
      [](TContainerFileSystem& C) { static_cast<void>(C.RenameFile("\\a.dat", "\\d\\a.dat")); },
      [](TContainerFileSystem& C) { static_cast<void>(C.DeleteFile("\\b.dat")); },
      [](TContainerFileSystem& C) {
        for (int I = 0; I < 8; ++I) WriteWholeFile(C, "\\g" + std::to_string(I), Pattern(10 + I, 20 + I));
      },
      [](TContainerFileSystem& C) { WriteAt(C, "\\d\\e\\f.dat", D - 3, Pattern(7, 13)); },
      [](TContainerFileSystem& C) { SetSize(C, "\\d\\e\\f.dat", 0); },
      [](TContainerFileSystem& C) { static_cast<void>(C.DeleteFile("\\g3")); },
  };
  for (auto Step : Steps) {
    try {
      Step(Cfs);
    } catch (const Exception&) {
      // Reported by raising; the next step runs.
    }
  }
}

struct FaultPlan {
  const char* Name;
  platform::FaultKind Kind;
};

bool StartsWith(const std::string& Text, const char* Prefix) { return Text.rfind(Prefix, 0) == 0; }

class ContainerFaultTest : public testing::TestWithParam<ContainerVariant> {
protected:
  // A container holding the untouched files and a first version of \b.dat.
  void BuildBaseline() {
    auto Cfs = CreateContainer(kPath, GetParam().Password);
    ASSERT_TRUE(Cfs->ForceDirectories("\\keep"));
    for (const Untouched& U : kUntouched) ASSERT_TRUE(WriteWholeFile(*Cfs, U.Path, Pattern(U.Size, U.Seed)));
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\b.dat", Pattern(3 * D, 3)));
  }

  // Runs the sequence with the plan's fault at operation K (0: none); returns how many
  // operations of the kind the sequence performed. Checks the live object against what it stored.
  uint64_t RunWithFault(const FaultPlan& Plan, uint64_t K) {
    platform::FaultFileSystem Faulty(Env.Fs);
    platform::ScopedFileSystem Guard(Faulty);
    try {
      auto Cfs = OpenContainer(kPath, GetParam().Password);
      if (K > 0) Faulty.FailAt(Plan.Kind, K);
      const uint64_t Start = Faulty.Count(Plan.Kind);
      RunSequence(*Cfs);
      const uint64_t Done = Faulty.Count(Plan.Kind) - Start;
      // Unused pages and bitmap bits whose page write failed (stored again with the free-space
      // manager's next change) are allowed; nothing else may differ.
      std::vector<std::string> Problems = TContainerChecker(*Cfs).Check(false);
      std::erase_if(Problems, [&](const std::string& P) {
        return StartsWith(P, "stored PFS bit") || StartsWith(P, "stored GAM bit") || StartsWith(P, "stored SGAM bit");
      });
      EXPECT_TRUE(Problems.empty()) << Plan.Name << " failing at " << K << ", live container:\n"
                                    << testing::PrintToString(Problems);
      return Done;
    } catch (const Exception& E) {
      ADD_FAILURE() << "raised out of the sequence: " << E.Message();
      return 0;
    }
  }

  // The container reopens; no page is used twice or used while free; untouched files are intact.
  // GAM/SGAM disagreements (a bitmap page stored, the next one not) waste space but endanger no
  // data, and pages of the files being written may be lost; neither counts here.
  void ExpectSoundAfterReopen(const std::string& When) {
    std::unique_ptr<TContainerFileSystem> Cfs;
    try {
      Cfs = OpenContainer(kPath, GetParam().Password);
    } catch (const Exception& E) {
      FAIL() << When << ": does not reopen: " << E.Message();
    }
    std::vector<std::string> Problems = TContainerChecker(*Cfs).Check(false);
    std::erase_if(Problems, [](const std::string& P) {
      return StartsWith(P, "extent ") || P.find("extent count") != std::string::npos ||
             ((StartsWith(P, "data page ") || StartsWith(P, "page-map page ")) &&
              P.find("cannot be read") != std::string::npos);
    });
    EXPECT_TRUE(Problems.empty()) << When << ":\n" << testing::PrintToString(Problems);
    for (const Untouched& U : kUntouched) {
      EXPECT_EQ(ReadWholeFile(*Cfs, U.Path), Pattern(U.Size, U.Seed)) << When << ": " << U.Path;
    }
  }

  ContainerEnvironment Env;
};

TEST_P(ContainerFaultTest, EveryFailedWriteOrSizeChangeLeavesAConsistentContainer) {
  const FaultPlan Plans[] = {{"write", platform::FaultKind::Write}, {"size change", platform::FaultKind::SizeChange}};
  for (const FaultPlan& Plan : Plans) {
    BuildBaseline();
    const uint64_t Total = RunWithFault(Plan, 0);
    ASSERT_GT(Total, 0u) << Plan.Name;
    ExpectSoundAfterReopen(std::string(Plan.Name) + " without fault");
    for (uint64_t K = 1; K <= Total; ++K) {
      BuildBaseline();
      RunWithFault(Plan, K);
      ExpectSoundAfterReopen(std::string(Plan.Name) + " failing at " + std::to_string(K) + " of " + std::to_string(Total));
      if (HasFailure()) return;
    }
  }
}

// A host read that fails or comes back short in the middle of a long file read (the pages go
// straight into the caller's buffer) stops the read at the last whole page: what it returns is
// the file's bytes, LastError tells why, and reading on from there gives the rest.
TEST_P(ContainerFaultTest, AFailedHostReadStopsAFileReadAtTheLastWholePage) {
  constexpr int32_t kPages = 300;
  const std::vector<uint8_t> Data = Pattern(kPages * D, 40);
  {
    auto Cfs = CreateContainer(kPath, GetParam().Password);
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\big.dat", Data));
  }
  for (const platform::FaultMode Mode : {platform::FaultMode::Short, platform::FaultMode::Fail}) {
    SCOPED_TRACE(Mode == platform::FaultMode::Short ? "short read" : "failed read");
    platform::FaultFileSystem Faulty(Env.Fs);
    platform::ScopedFileSystem Guard(Faulty);
    auto Cfs = OpenContainer(kPath, GetParam().Password);
    const int32_t H = Cfs->FileOpen("\\big.dat", kModeReadWrite);
    ASSERT_GE(H, 0);
    // A first small read loads the page map; the long read then starts on a page boundary.
    uint8_t First[10];
    ASSERT_EQ(Cfs->FileRead(H, First, 10), 10);
    ASSERT_EQ(Cfs->FileSeek(H, 0, D), D);
    Faulty.FailAt(platform::FaultKind::Read, 1, Mode);  // the next host read

    const int32_t Wanted = (kPages - 1) * D;
    std::vector<uint8_t> Back(static_cast<size_t>(Wanted));
    const int32_t Got = Cfs->FileRead(H, Back.data(), Wanted);
    ASSERT_GE(Got, 0);
    EXPECT_LT(Got, Wanted);
    EXPECT_EQ(Got % D, 0);
    if (Mode == platform::FaultMode::Short) {
      EXPECT_GT(Got, 0);
    }
    EXPECT_NE(Cfs->LastError(), ceOk);
    EXPECT_TRUE(std::equal(Back.begin(), Back.begin() + Got, Data.begin() + D));

    std::vector<uint8_t> Rest(static_cast<size_t>(Wanted - Got));
    ASSERT_EQ(Cfs->FileRead(H, Rest.data(), Wanted - Got), Wanted - Got);
    EXPECT_TRUE(std::equal(Rest.begin(), Rest.end(), Data.begin() + D + Got));
    EXPECT_TRUE(Cfs->FileClose(H));
  }
}

// A host flush that fails is FileFlush's failure, not a success: false with ceFlushFailed, and
// the next flush that gets through clears it. A read-only container has nothing to write through
// and does not ask the host.
TEST_P(ContainerFaultTest, AFailedHostFlushFailsFileFlush) {
  {
    auto Cfs = CreateContainer(kPath, GetParam().Password);
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f.dat", Pattern(2 * D, 1)));
  }
  platform::FaultFileSystem Faulty(Env.Fs);
  platform::ScopedFileSystem Guard(Faulty);
  {
    auto Cfs = OpenContainer(kPath, GetParam().Password);
    const int32_t H = Cfs->FileOpen("\\f.dat", kModeReadWrite);
    ASSERT_GE(H, 0);
    Faulty.FailAt(platform::FaultKind::Flush, 1);
    EXPECT_FALSE(Cfs->FileFlush(H));
    EXPECT_EQ(Cfs->LastError(), ceFlushFailed);
    EXPECT_EQ(Faulty.Injected(), 1u);
    EXPECT_TRUE(Cfs->FileFlush(H));
    EXPECT_EQ(Cfs->LastError(), ceOk);
    EXPECT_TRUE(Cfs->FileClose(H));
  }
  auto ReadOnly = OpenContainer(kPath, GetParam().Password, kModeRead);
  const int32_t H = ReadOnly->FileOpen("\\f.dat", kModeRead);
  ASSERT_GE(H, 0);
  Faulty.Reset();
  Faulty.FailFrom(platform::FaultKind::Flush, 1);
  EXPECT_TRUE(ReadOnly->FileFlush(H));
  EXPECT_EQ(Faulty.Count(platform::FaultKind::Flush), 0u);
  EXPECT_TRUE(ReadOnly->FileClose(H));
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerFaultTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
