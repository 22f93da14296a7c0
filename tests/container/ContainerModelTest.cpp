// Randomized model test: many files in a few directories are created, written (at random offsets,
// past the end too), grown, cut, renamed and deleted, and after every step each byte of each
// file is compared with a simple in-memory model and the container is checked for consistency.
// The container is reopened every few steps. A failure prints the seed; TESVAR_SEED=<n> reruns it.

#include "ContainerTestSupport.h"

#include "platform/AnsiCase.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int64_t D = 4064;

class ContainerModelTest : public testing::TestWithParam<ContainerVariant> {
protected:
  struct ModelFile {
    std::string Path;
    std::vector<uint8_t> Data;
  };

  std::string Key(const std::string& Path) { return platform::AnsiLowerCase(Path); }

  std::string RandomCase(std::string Text) {
    for (char& C : Text) {
      if (Random() % 2) C = static_cast<char>(platform::AnsiUpperChar(static_cast<uint8_t>(C)));
    }
    return Text;
  }
  std::string RandomPath() {
    static const char* const Dirs[] = {"\\", "\\d0\\", "\\d1\\", "\\d1\\sub\\"};
    return RandomCase(std::string(Dirs[Random() % 4]) + "f" + std::to_string(Random() % 8) + ".dat");
  }
  std::vector<uint8_t> RandomBytes(size_t Size) {
    std::vector<uint8_t> Data(Size);
    for (auto& B : Data) B = static_cast<uint8_t>(Random());
    return Data;
  }
  int64_t RandomLength() {
    switch (Random() % 4) {
      case 0: return 1 + Random() % 16;
      case 1: return 1 + Random() % D;
      case 2: return D * (1 + Random() % 3);  // whole pages
      default: return 1 + Random() % (4 * D);
    }
  }
  ModelFile* PickFile() {
    if (Files.empty()) return nullptr;
    auto It = Files.begin();
    std::advance(It, Random() % Files.size());
    return &It->second;
  }

  void CreateStep() {
    const std::string Path = RandomPath();
    const std::vector<uint8_t> Data = RandomBytes(static_cast<size_t>(Random() % 3 ? RandomLength() : 0));
    ASSERT_TRUE(WriteWholeFile(*Cfs, Path, Data)) << "create " << Path;
    auto It = Files.find(Key(Path));
    if (It == Files.end()) It = Files.emplace(Key(Path), ModelFile{Path, {}}).first;
    It->second.Data = Data;
  }
  void WriteStep() {
    ModelFile* File = PickFile();
    if (!File) return;
    const int64_t Offset = static_cast<int64_t>(Random() % (File->Data.size() + 2 * D + 1));
    const std::vector<uint8_t> Data = RandomBytes(static_cast<size_t>(RandomLength()));
    const int32_t H = Cfs->FileOpen(File->Path, kModeReadWrite);
    ASSERT_GE(H, 0) << File->Path;
    ASSERT_EQ(Cfs->FileSeek(H, 0, Offset), Offset);
    ASSERT_EQ(Cfs->FileWrite(H, Data.data(), static_cast<int32_t>(Data.size())), static_cast<int32_t>(Data.size()))
        << "write " << File->Path << " at " << Offset;
    EXPECT_TRUE(Cfs->FileClose(H));
    if (File->Data.size() < Offset + Data.size()) File->Data.resize(Offset + Data.size(), 0);
    std::copy(Data.begin(), Data.end(), File->Data.begin() + Offset);
  }
  void SetSizeStep() {
    ModelFile* File = PickFile();
    if (!File) return;
    const int64_t Size = Random() % 5 == 0 ? 0 : static_cast<int64_t>(Random() % (File->Data.size() + 3 * D + 1));
    const int32_t H = Cfs->FileOpen(File->Path, kModeReadWrite);
    ASSERT_GE(H, 0);
    ASSERT_EQ(Cfs->FileSetSize(H, Size), Size) << "set size of " << File->Path;
    EXPECT_TRUE(Cfs->FileClose(H));
    File->Data.resize(static_cast<size_t>(Size), 0);
  }
  void RenameStep() {
    ModelFile* File = PickFile();
    if (!File) return;
    const std::string NewPath = RandomPath();
    const bool Free = Files.count(Key(NewPath)) == 0 || Key(NewPath) == Key(File->Path);
    ASSERT_EQ(Cfs->RenameFile(File->Path, NewPath), Free) << "rename " << File->Path << " to " << NewPath;
    if (!Free) return;
    ModelFile Moved{NewPath, std::move(File->Data)};
    Files.erase(Key(File->Path));
    Files[Key(NewPath)] = std::move(Moved);
  }
  void DeleteStep() {
    ModelFile* File = PickFile();
    if (!File) return;
    ASSERT_TRUE(Cfs->DeleteFile(File->Path)) << "delete " << File->Path;
    Files.erase(Key(File->Path));
  }

  void Verify(const std::string& When) {
    for (const auto& [K, File] : Files) {
      ASSERT_EQ(ReadWholeFile(*Cfs, File.Path), File.Data) << When << ": " << File.Path;
    }
    // Names not in the model do not exist.
    for (int I = 0; I < 8; ++I) {
      const std::string Path = "\\d0\\f" + std::to_string(I) + ".dat";
      ASSERT_EQ(Cfs->FileExists(Path), Files.count(Key(Path)) == 1) << When << ": " << Path;
    }
    const std::vector<std::string> Problems = CheckContainer(*Cfs);
    ASSERT_TRUE(Problems.empty()) << When << ":\n" << testing::PrintToString(Problems);
  }

  void Run(uint32_t Seed, int Steps) {
    Random.seed(Seed);
    SCOPED_TRACE("seed " + std::to_string(Seed) + " (rerun with TESVAR_SEED=" + std::to_string(Seed) + ")");
    Cfs = CreateContainer("/model.edb", GetParam().Password);
    ASSERT_TRUE(Cfs->ForceDirectories("\\d0"));
    ASSERT_TRUE(Cfs->ForceDirectories("\\d1\\sub"));
    for (int Step = 0; Step < Steps; ++Step) {
      const uint32_t Kind = Random() % 100;
      if (Kind < 25) CreateStep();
      else if (Kind < 60) WriteStep();
      else if (Kind < 75) SetSizeStep();
      else if (Kind < 88) RenameStep();
      else DeleteStep();
      if (HasFatalFailure()) return;
      Verify("step " + std::to_string(Step));
      if (HasFatalFailure()) return;
      if (Step % 25 == 24) {
        Cfs.reset();
        Cfs = OpenContainer("/model.edb", GetParam().Password);
        Verify("reopen after step " + std::to_string(Step));
        if (HasFatalFailure()) return;
      }
    }
  }

  ContainerEnvironment Env;
  std::unique_ptr<TContainerFileSystem> Cfs;
  std::mt19937 Random;
  std::map<std::string, ModelFile> Files;
};

TEST_P(ContainerModelTest, RandomOperationsMatchTheModel) {
  if (const char* Seed = std::getenv("TESVAR_SEED")) {
    Run(static_cast<uint32_t>(std::strtoul(Seed, nullptr, 10)), 400);
    return;
  }
  Run(20240101u, 250);
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerModelTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
