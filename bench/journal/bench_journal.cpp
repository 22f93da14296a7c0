// What the rollback journal costs the container, on disk: each measurement runs with and without
// container transactions (TCFSTransaction::ScopedEnabled), back to back in every round.
//
// - append_1m, append_64k: a new user file of the given size written in 1 MB / 64 KB chunks into
//   a new container, then flushed (one commit at the end). Goal: journal at most 1.10x the time.
// - rewrite_64k: 64 KB pieces written at random offsets of an existing file of the given size,
//   the container flushed after every 8 MB (a commit each time). Goal: at most 2x the time.
// Every figure is the best of the rounds (the machine is shared); each ratio is the ratio of
// bests and, as ..._paired, the median of the rounds' own ratios. BENCH_VERBOSE=1 prints every
// round on stderr.
//
// Usage: bench_journal [megabytes (default 256)] [rewritten megabytes (default 64)]
// Output: name<TAB>value<TAB>unit lines, the reference (without journal) first.

#include "container/TCFSTransaction.h"
#include "container/TContainerFileSystem.h"
#include "platform/IFileSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::container;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 6;
constexpr int64_t kFlushEvery = int64_t{8} << 20;

double seconds(const std::function<void()>& Run) {
  const auto Start = Clock::now();
  Run();
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

void print(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.3f\t%s\n", Name.c_str(), Value, Unit);
}

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_journal: %s\n", What.c_str());
  std::exit(1);
}

std::vector<uint8_t> pattern(size_t Size, uint8_t Salt) {
  std::vector<uint8_t> Data(Size);
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<uint8_t>(I * 31 + (I >> 9) + Salt);
  return Data;
}

// Seconds to write Bytes in Chunk pieces into a new file of a new container and flush it.
double append(const std::string& Path, int64_t Bytes, int32_t Chunk) {
  const std::vector<uint8_t> Data = pattern(static_cast<size_t>(Chunk), 1);
  TContainerFileSystem Cfs(Path, kModeCreate, false, "");
  const int32_t H = Cfs.FileOpen("\\big.dat", kModeCreate);
  if (H < 0) fail("cannot create the user file");
  const double S = seconds([&] {
    for (int64_t Done = 0; Done < Bytes; Done += Chunk)
      if (Cfs.FileWrite(H, Data.data(), Chunk) != Chunk) fail("append, error " + std::to_string(Cfs.LastError()));
    if (!Cfs.FileFlush(H)) fail("flush after append");
  });
  if (!Cfs.FileClose(H)) fail("close");
  return S;
}

// Makes the container Path holding a committed file of Bytes bytes.
void prepare(const std::string& Path, int64_t Bytes) {
  const std::vector<uint8_t> Data = pattern(size_t{1} << 20, 2);
  TContainerFileSystem Cfs(Path, kModeCreate, false, "");
  const int32_t H = Cfs.FileOpen("\\big.dat", kModeCreate);
  if (H < 0) fail("cannot create the user file");
  for (int64_t Done = 0; Done < Bytes; Done += int64_t(Data.size()))
    if (Cfs.FileWrite(H, Data.data(), int64_t(Data.size())) != int64_t(Data.size())) fail("prepare");
  if (!Cfs.FileClose(H)) fail("close");
}

// Seconds to write Rewritten bytes in 64 KB pieces at random offsets of the file, flushing
// every 8 MB.
double rewrite(const std::string& Path, int64_t Bytes, int64_t Rewritten, uint64_t Seed) {
  constexpr int32_t kPiece = 64 * 1024;
  const std::vector<uint8_t> Data = pattern(kPiece, 3);
  std::mt19937_64 Rng(Seed);
  TContainerFileSystem Cfs(Path, kModeReadWrite, false, "");
  const int32_t H = Cfs.FileOpen("\\big.dat", kModeReadWrite);
  if (H < 0) fail("cannot open the user file");
  const double S = seconds([&] {
    int64_t SinceFlush = 0;
    for (int64_t Done = 0; Done < Rewritten; Done += kPiece) {
      if (Cfs.FileSeek(H, 0, static_cast<int64_t>(Rng() % uint64_t(Bytes - kPiece))) < 0) fail("seek");
      if (Cfs.FileWrite(H, Data.data(), kPiece) != kPiece) fail("rewrite, error " + std::to_string(Cfs.LastError()));
      if ((SinceFlush += kPiece) >= kFlushEvery) {
        if (!Cfs.FileFlush(H)) fail("flush after rewrite");
        SinceFlush = 0;
      }
    }
    if (!Cfs.FileFlush(H)) fail("flush after rewrite");
  });
  if (!Cfs.FileClose(H)) fail("close");
  return S;
}

struct Measure {
  std::string Name;
  std::function<double()> Run;  // seconds
  std::vector<double> Without, With;
};

double bestOf(const std::vector<double>& Runs) { return *std::min_element(Runs.begin(), Runs.end()); }

double paired(const Measure& M) {
  std::vector<double> Ratios;
  for (size_t R = 0; R < M.With.size(); ++R) Ratios.push_back(M.With[R] / M.Without[R]);
  std::sort(Ratios.begin(), Ratios.end());
  return Ratios[Ratios.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t Bytes = std::max<int64_t>(1, argc > 1 ? std::atoll(argv[1]) : 256) << 20;
  const int64_t Rewritten = std::max<int64_t>(1, argc > 2 ? std::atoll(argv[2]) : 64) << 20;
  std::random_device Rd;
  const std::string Dir =
      (std::filesystem::temp_directory_path() / ("tesvar_bench_journal_" + std::to_string(Rd()))).string();
  platform::IFileSystem& Fs = platform::OsFileSystem();
  if (!Fs.CreateDirectory(Dir)) fail("cannot create " + Dir);
  platform::ScopedFileSystem Guard(Fs);
  const std::string Path = Dir + "/bench.edb";
  const std::string Existing = Dir + "/existing.edb";
  prepare(Existing, Bytes);

  uint64_t Seed = 1;
  Measure Measures[] = {
      {"append_1m", [&] { return append(Path, Bytes, 1 << 20); }, {}, {}},
      {"append_64k", [&] { return append(Path, Bytes, 64 << 10); }, {}, {}},
      {"rewrite_64k", [&] { return rewrite(Existing, Bytes, Rewritten, Seed); }, {}, {}},
  };
  for (int R = 0; R < kRounds; ++R) {
    for (Measure& M : Measures) {
      ++Seed;
      // Alternate which goes first, so that neither always meets the other's after-effects (the
      // device still writing, memory just freed).
      static const bool kOrders[2][2] = {{false, true}, {true, false}};
      for (bool Journal : kOrders[R % 2]) {
        TCFSTransaction::ScopedEnabled Mode(Journal);
        const double S = M.Run();
        (Journal ? M.With : M.Without).push_back(S);
        if (std::getenv("BENCH_VERBOSE"))
          std::fprintf(stderr, "round %d %s %s: %.3f s\n", R, M.Name.c_str(), Journal ? "journal" : "plain", S);
      }
    }
  }
  for (const Measure& M : Measures) {
    const double Mb = (M.Name == "rewrite_64k" ? Rewritten : Bytes) / 1048576.0;
    print(M.Name + "_without_journal", Mb / bestOf(M.Without), "MB/s");
    print(M.Name + "_with_journal", Mb / bestOf(M.With), "MB/s");
  }
  for (const Measure& M : Measures) {
    print("time_ratio_" + M.Name, bestOf(M.With) / bestOf(M.Without), "x");
    print("time_ratio_" + M.Name + "_paired", paired(M), "x");
  }
  Fs.DeleteFile(Path);
  Fs.DeleteFile(Existing);
  Fs.RemoveDirectory(Dir);
  return 0;
}
