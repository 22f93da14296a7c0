#pragma once
// Shared pieces of the container tests: an in-memory file system with a settable clock, the
// plain and encrypted variants, and small file helpers over TContainerFileSystem.

#include "container/TContainerChecker.h"
#include "container/TCFSHugeFile.h"
#include "container/TContainerFileSystem.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/FaultFileSystem.h"
#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tesvar::container::test {

// 2024-01-01 00:00:00 UTC as a FILETIME.
inline constexpr int64_t kTestNow = 133'485'408'000'000'000;

// Installs an in-memory file system and a settable clock for its lifetime. The tick counter
// moves on every read, so password checks finish without waiting.
class ContainerEnvironment {
public:
  ContainerEnvironment() : FFsGuard(Fs), FClockGuard(Clock) {
    Clock.SetAutoAdvance(64);
    Clock.SetNowUtc(kTestNow);
  }
  platform::MemoryFileSystem Fs;
  platform::SettableClock Clock;

private:
  platform::ScopedFileSystem FFsGuard;
  platform::ScopedClock FClockGuard;
};

struct ContainerVariant {
  const char* Name;
  const char* Password;  // empty: not encrypted
};

inline const ContainerVariant kContainerVariants[] = {{"Plain", ""}, {"Encrypted", "secret"}};

inline void PrintTo(const ContainerVariant& Variant, std::ostream* Os) { *Os << Variant.Name; }

inline std::string VariantName(const testing::TestParamInfo<ContainerVariant>& Info) { return Info.param.Name; }

inline std::unique_ptr<TContainerFileSystem> CreateContainer(const std::string& Path, const std::string& Password) {
  return std::make_unique<TContainerFileSystem>(Path, kModeCreate, false, Password);
}

inline std::unique_ptr<TContainerFileSystem> OpenContainer(const std::string& Path, const std::string& Password,
                                                          uint16_t Mode = kModeReadWrite) {
  return std::make_unique<TContainerFileSystem>(Path, Mode, false, Password);
}

// Deterministic bytes: a different sequence for every seed.
inline std::vector<uint8_t> Pattern(size_t Size, uint32_t Seed) {
  std::vector<uint8_t> Data(Size);
  uint32_t X = Seed * 2654435761u + 1;
  for (auto& B : Data) {
    X = X * 1103515245u + 12345u;
    B = static_cast<uint8_t>(X >> 16);
  }
  return Data;
}

// Creates (or replaces) a file with the given content; false when any step fails.
inline bool WriteWholeFile(TContainerFileSystem& Cfs, const std::string& Path, const std::vector<uint8_t>& Data) {
  const int32_t H = Cfs.FileOpen(Path, kModeCreate);
  if (H < 0) return false;
  const int32_t Written = Cfs.FileWrite(H, Data.data(), static_cast<int32_t>(Data.size()));
  const bool Closed = Cfs.FileClose(H);
  return Closed && Written == static_cast<int32_t>(Data.size());
}

// The whole content of a file; empty when it cannot be opened.
inline std::vector<uint8_t> ReadWholeFile(TContainerFileSystem& Cfs, const std::string& Path) {
  const int32_t H = Cfs.FileOpen(Path, kModeReadWrite);
  if (H < 0) return {};
  const int64_t Size = Cfs.FileSeek(H, 2, 0);
  if (Size < 0 || Cfs.FileSeek(H, 0, 0) != 0) {
    static_cast<void>(Cfs.FileClose(H));  // reading only: nothing to commit
    return {};
  }
  std::vector<uint8_t> Data(static_cast<size_t>(Size));
  const int32_t Read = Cfs.FileRead(H, Data.data(), static_cast<int32_t>(Size));
  static_cast<void>(Cfs.FileClose(H));  // reading only: nothing to commit
  Data.resize(static_cast<size_t>(std::max(Read, 0)));
  return Data;
}

// Problems the checker finds, leaked pages included.
inline std::vector<std::string> CheckContainer(TContainerFileSystem& Cfs) {
  return TContainerChecker(Cfs).Check(true);
}

// Host file offset of byte Offset of File.
inline int64_t HostOffsetOf(TContainerFileSystem& Cfs, const std::string& File, int64_t Offset) {
  const int64_t D = Cfs.PageFile().PageDataSize();
  const std::vector<int32_t>& Pages = Cfs.PageMaps().GetMaps(Cfs.Directory().ReadItem(Cfs.Directory().FindFile(File))).DataPages;
  return int64_t{Pages[static_cast<size_t>(Offset / D)]} * Cfs.PageFile().Header().PageSize + kPageHeaderSize + Offset % D;
}

// Changes one bit of the host file's byte At through the host file, as damage would.
inline void FlipHostByte(TContainerFileSystem& Cfs, int64_t At) {
  TCFSHugeFile& Host = Cfs.PageFile().HostFile();
  uint8_t Byte = 0;
  Host.Seek(At, 0);
  ASSERT_EQ(Host.Read(&Byte, 1), 1);
  Byte ^= 0x20;
  Host.Seek(At, 0);
  ASSERT_EQ(Host.Write(&Byte, 1), 1);
}

// A container at Path with one file File holding Data, written in SetUp and reopened by Open
// through a fault wrapper over the in-memory file system, for both variants.
class FaultyFileFixture : public testing::TestWithParam<ContainerVariant> {
public:  // change cases reach the fixture from outside
  FaultyFileFixture(const char* Path, const char* File, std::vector<uint8_t> Bytes)
      : Data(std::move(Bytes)), FPath(Path), FFile(File) {}
  void SetUp() override {
    auto Created = CreateContainer(FPath, GetParam().Password);
    ASSERT_TRUE(WriteWholeFile(*Created, FFile, Data));
  }
  // Opens the container through the fault wrapper and File in Handle.
  void Open() {
    Cfs = OpenContainer(FPath, GetParam().Password);
    Handle = Cfs->FileOpen(FFile, kModeReadWrite);
    ASSERT_GE(Handle, 0);
  }
  int64_t HostOffset(int64_t Offset) { return HostOffsetOf(*Cfs, FFile, Offset); }
  void FlipHostByte(int64_t At) { test::FlipHostByte(*Cfs, At); }

  ContainerEnvironment Env;
  platform::FaultFileSystem Faulty{Env.Fs};
  platform::ScopedFileSystem Guard{Faulty};
  const std::vector<uint8_t> Data;
  std::unique_ptr<TContainerFileSystem> Cfs;
  int32_t Handle = -1;

private:
  std::string FPath;
  std::string FFile;
};

}  // namespace tesvar::container::test
