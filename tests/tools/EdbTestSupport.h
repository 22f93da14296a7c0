#pragma once
// Shared pieces of the edb tests: a temporary folder on the host's file system, host file
// helpers, and the fixture that runs edb in-process.

#include "edb/EdbTool.h"
#include "platform/IClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tesvar::edb::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
  TempFolder() {
    const auto Stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto* Info = testing::UnitTest::GetInstance()->current_test_info();
    std::string Name = std::string("tesvar-edb-") + (Info ? Info->name() : "x") + "-" + std::to_string(Stamp);
    for (char& C : Name) {
      if (C == '/' || C == '\\') C = '_';
    }
    FRoot = std::filesystem::temp_directory_path() / Name;
    std::filesystem::create_directories(FRoot);
  }
  ~TempFolder() {
    std::error_code Ignored;
    std::filesystem::remove_all(FRoot, Ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Host path of Name inside the folder.
  std::string Path(const std::string& Name) const { return (FRoot / Name).string(); }

private:
  std::filesystem::path FRoot;
};

inline std::string ReadHostFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

inline void WriteHostFile(const std::string& Path, const std::string& Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

// Deterministic bytes, different for every seed.
inline std::string Pattern(size_t Size, uint32_t Seed) {
  std::string Data(Size, '\0');
  uint32_t X = Seed * 2654435761u + 1;
  for (char& B : Data) {
    X = X * 1103515245u + 12345u;
    B = static_cast<char>(X >> 16);
  }
  return Data;
}

inline bool IsOneErrorLine(const std::string& Err) {
  return Err.starts_with("edb: ") && Err.find('\n') == Err.size() - 1;
}

// 2024-01-01 00:00:00 UTC as a FILETIME.
inline constexpr int64_t kNow = 133'485'408'000'000'000;

struct RunResult {
  int Status = -1;
  std::string Out;
  std::string Err;
};

// Runs edb in-process. The settable clock moves its tick counter on every read, so password
// checks finish at once, and fixes the time stamps the container gives its items.
class EdbToolTest : public testing::Test {
protected:
  EdbToolTest() : FClockGuard(FClock) {
    FClock.SetAutoAdvance(64);
    FClock.SetNowUtc(kNow);
  }

  RunResult Run(const std::vector<std::string>& Args, const std::string& Input = {}) {
    std::istringstream In(Input);
    std::ostringstream Out, Err;
    TEdbContext Context{In, Out, Err};
    Context.EnvPassword = EnvPassword;
    Context.EnvCodePage = EnvCodePage;
    Context.ErrIsTerminal = ErrIsTerminal;
    if (LoadProgressFromBytes) Context.LoadProgressFromBytes = *LoadProgressFromBytes;
    Context.BeforePutStep = BeforePutStep;
    RunResult Result;
    Result.Status = RunEdb(Args, Context);
    Result.Out = Out.str();
    Result.Err = Err.str();
    return Result;
  }

  // Runs a command that must succeed silently on the error stream; returns its output.
  std::string Ok(const std::vector<std::string>& Args, const std::string& Input = {}) {
    const RunResult Result = Run(Args, Input);
    EXPECT_EQ(Result.Status, 0) << Result.Err;
    EXPECT_EQ(Result.Err, "");
    return Result.Out;
  }

  // Runs a command that must fail with one error line and no output; returns the error line.
  std::string Fails(const std::vector<std::string>& Args, const std::string& Input = {}) {
    const RunResult Result = Run(Args, Input);
    EXPECT_EQ(Result.Status, 1);
    EXPECT_EQ(Result.Out, "");
    EXPECT_TRUE(IsOneErrorLine(Result.Err)) << Result.Err;
    return Result.Err;
  }

  std::string P(const std::string& Name) const { return Temp.Path(Name); }

  TempFolder Temp;
  platform::SettableClock FClock;
  platform::ScopedClock FClockGuard;
  std::optional<std::string> EnvPassword;
  std::optional<std::string> EnvCodePage;
  bool ErrIsTerminal = false;
  std::optional<int64_t> LoadProgressFromBytes;
  std::function<void(container::TContainerFileSystem&, TPutStep)> BeforePutStep;
};

}  // namespace tesvar::edb::test
