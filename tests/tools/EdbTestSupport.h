#pragma once
// Shared pieces of the edb tests: a temporary folder on the host's file system and host file
// helpers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace tesvar::edb::test
