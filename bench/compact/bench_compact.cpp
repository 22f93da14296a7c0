// Container compaction (RepairFile) beside a plain file copy of the same container with cp.
//
// Builds a container of ~230 MB on disk in a temporary folder: 400 files of 4 KB .. 1 MB,
// written in interleaved 64 KB steps (as tables grow side by side), then deletes every second
// file. Each round restores that container, times `cp` of it, then times RepairFile on it; the
// best round of each counts. Both run warm: nothing is dropped from the cache in between.
//
// RepairFile does more than copy: it makes the copy durable (fdatasync, the device writing as the
// copy is made) before the names are swapped, and removes the old container's name afterwards
// (the host frees its blocks in the background). So besides the plain cp the output gives cp
// followed by `sync -d` of the copy, and a plain deletion of that synced copy, as the host's cost
// of those two steps, and it gives RepairFile's copy phase (first to last item) apart.
//
// Output: name<TAB>value<TAB>unit lines, the references first, then compaction and the ratios
// (goal: repair_file / cp_container <= 3). Argument "encrypted" measures an encrypted container.

#include "container/TContainerFileSystem.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::container;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 400;
constexpr int32_t kMinSize = 4 * 1024;
constexpr int32_t kMaxSize = 1024 * 1024;
constexpr int32_t kStep = 64 * 1024;
constexpr int kGroup = 8;  // files growing side by side
constexpr int kRounds = 3;

void print(const char* name, double value, const char* unit) { std::printf("%s\t%.3f\t%s\n", name, value, unit); }

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Single quotes for the shell.
std::string shellQuoted(const std::string& path) {
  std::string out = "'";
  for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

void build(const std::string& path, const std::string& password, int64_t& liveBytes) {
  TContainerFileSystem cfs(path, kModeCreate, false, password);
  std::mt19937 random(42);
  std::uniform_int_distribution<int32_t> size(kMinSize, kMaxSize);
  std::vector<uint8_t> chunk(kStep);
  for (auto& b : chunk) b = static_cast<uint8_t>(random());
  liveBytes = 0;
  for (int first = 0; first < kFiles; first += kGroup) {
    std::vector<int32_t> handles, left;
    for (int i = first; i < first + kGroup && i < kFiles; ++i) {
      handles.push_back(cfs.FileOpen("\\t" + std::to_string(i) + ".dat", kModeCreate));
      left.push_back(size(random));
      if (i % 2 == 0) liveBytes += left.back();
    }
    for (bool more = true; more;) {
      more = false;
      for (size_t k = 0; k < handles.size(); ++k) {
        const int32_t n = std::min(left[k], kStep);
        if (n == 0) continue;
        if (cfs.FileWrite(handles[k], chunk.data(), n) != n) throw std::runtime_error("write failed");
        left[k] -= n;
        more = more || left[k] > 0;
      }
    }
    for (int32_t h : handles)
      if (!cfs.FileClose(h)) throw std::runtime_error("close failed");
  }
  for (int i = 1; i < kFiles; i += 2) {
    if (!cfs.DeleteFile("\\t" + std::to_string(i) + ".dat")) throw std::runtime_error("delete failed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool encrypted = argc > 1 && std::string(argv[1]) == "encrypted";
  const std::string password = encrypted ? "bench password" : "";
  std::random_device rd;
  const std::string dir = (std::filesystem::temp_directory_path() / ("tesvar_compact_" + std::to_string(rd()))).string();
  platform::IFileSystem& fs = platform::FileSystem();
  if (!fs.CreateDirectory(dir)) {
    std::fprintf(stderr, "cannot create %s\n", dir.c_str());
    return 1;
  }
  const std::string original = platform::JoinPath(dir, "original.edb");
  const std::string work = platform::JoinPath(dir, "bench.edb");
  const std::string copy = platform::JoinPath(dir, "copy.edb");

  int exitCode = 0;
  try {
    int64_t liveBytes = 0;
    build(original, password, liveBytes);
    double bestCp = 1e30, bestCpSync = 1e30, bestRm = 1e30, bestRepair = 1e30, bestCopyPhase = 1e30;
    int64_t sizeBefore = 0, sizeAfter = 0;
    for (int round = 0; round < kRounds; ++round) {
      if (!run("cp " + shellQuoted(original) + " " + shellQuoted(work))) throw std::runtime_error("cp failed");
      auto start = Clock::now();
      if (!run("cp " + shellQuoted(work) + " " + shellQuoted(copy))) throw std::runtime_error("cp failed");
      bestCp = std::min(bestCp, seconds(start));
      fs.DeleteFile(copy);
      start = Clock::now();
      if (!run("cp " + shellQuoted(work) + " " + shellQuoted(copy) + " && sync -d " + shellQuoted(copy)))
        throw std::runtime_error("cp failed");
      bestCpSync = std::min(bestCpSync, seconds(start));
      start = Clock::now();
      fs.DeleteFile(copy);
      bestRm = std::min(bestRm, seconds(start));

      TContainerFileSystem cfs(work, kModeReadWrite, false, password);
      sizeBefore = cfs.GetSize();
      // The reports before the first and before the last item bound the copy of the items.
      double firstItem = 0, lastItem = 0;
      cfs.OnProgress = [&](TContainerFileSystem&, bool&, double percent) {
        if (percent == 0) firstItem = seconds(start);
        if (percent < 100) lastItem = seconds(start);
      };
      std::string log;
      start = Clock::now();
      if (!cfs.RepairFile(log)) throw std::runtime_error("RepairFile failed: " + log);
      bestRepair = std::min(bestRepair, seconds(start));
      bestCopyPhase = std::min(bestCopyPhase, lastItem - firstItem);
      sizeAfter = cfs.GetSize();
    }
    print("cp_container", bestCp, "s");
    print("cp_container_and_sync", bestCpSync, "s");
    print("delete_synced_container", bestRm, "s");
    print("container_size", static_cast<double>(sizeBefore) / 1e6, "MB");
    print("live_data", static_cast<double>(liveBytes) / 1e6, "MB");
    print("repair_file", bestRepair, "s");
    print("repair_file_copy_phase", bestCopyPhase, "s");
    print("compacted_size", static_cast<double>(sizeAfter) / 1e6, "MB");
    print("ratio_repair_to_cp", bestRepair / bestCp, "x");
    print("ratio_repair_to_cp_sync_delete", bestRepair / (bestCpSync + bestRm), "x");
    print("ratio_copy_phase_to_cp", bestCopyPhase / bestCp, "x");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    exitCode = 1;
  }
  for (const std::string& path : {original, work, copy}) fs.DeleteFile(path);
  fs.RemoveDirectory(dir);
  return exitCode;
}
