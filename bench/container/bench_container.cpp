// Container user-file throughput and directory reopen time, on disk.
//
// Reference: the same bytes written and read in the same chunks through the platform's own file
// object (platform::OsFileSystem). Then a user file of the same size written and read through
// TContainerFileSystem, plain and encrypted, and the ratios container / reference (goal for the
// plain container: >= 0.6), in chunks of 1 MB and of 64 KB; beside them the container's page
// layout written and read without the container (layout_only), the part of the gap the format
// itself costs. Five rounds each measure all of them back to back, each after an untimed write of
// the same size (see warmUp); every throughput is the best round's (the machine is shared), each
// ratio the ratio of bests and, as ..._paired, the median of the rounds' own ratios.
// The writes are timed alone (_write) and with the flush that makes them durable (_durable_write:
// the reference's Flush, the container's commit when the file is closed). BENCH_VERBOSE=1 prints
// every round on stderr. Last, 20,000 small files created in one container, each committed at its
// close and, beside that, without transactions, and the time to open the container again (goal:
// < 100 ms).
//
// Usage: bench_container [megabytes (default 256)] [small files (default 20000)]
// Output: name<TAB>value<TAB>unit lines, reference first.

#include "container/TCFSTransaction.h"
#include "container/TContainerFileSystem.h"
#include "platform/IFileSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::container;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 5;   // throughput rounds
constexpr int kRepeats = 3;  // reopen timings
int32_t kChunk = 1024 * 1024;

double seconds(const std::function<void()>& Run) {
  const auto Start = Clock::now();
  Run();
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

void print(const char* Name, double Value, const char* Unit) { std::printf("%s\t%.3f\t%s\n", Name, Value, Unit); }

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_container: %s\n", What.c_str());
  std::exit(1);
}

std::vector<uint8_t> chunkData() {
  std::vector<uint8_t> Data(kChunk);
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<uint8_t>(I * 31 + (I >> 9));
  return Data;
}

struct Throughput {
  double Write = 0;    // MB/s, the writes alone
  double Read = 0;
  double Durable = 0;  // MB/s, the writes and the flush (commit) that makes them durable
};

double best(const std::vector<Throughput>& Runs, double Throughput::*Field) {
  double Best = 0;
  for (const Throughput& T : Runs) Best = std::max(Best, T.*Field);
  return Best;
}

// The median over the rounds of the ratio within each round, where both sides ran back to back:
// one round in which either side met unusual conditions moves it less than the ratio of bests.
double pairedRatio(const std::vector<Throughput>& Runs, const std::vector<Throughput>& Reference, double Throughput::*Field) {
  std::vector<double> Ratios;
  for (size_t R = 0; R < Runs.size() && R < Reference.size(); ++R) Ratios.push_back(Runs[R].*Field / Reference[R].*Field);
  std::sort(Ratios.begin(), Ratios.end());
  return Ratios.empty() ? 0 : Ratios[Ratios.size() / 2];
}

// Writes Bytes of Data in chunks to a new plain file at Path; the seconds the writes took, and
// in FlushSeconds (when given) the seconds its flush took after them.
double writePlainFile(const std::string& Path, int64_t Bytes, const std::vector<uint8_t>& Data,
                      double* FlushSeconds = nullptr) {
  auto File = platform::OsFileSystem().Open(Path, {platform::FileAccess::ReadWrite, platform::FileShare::None,
                                                   platform::FileCreation::CreateAlways, false, true});
  if (!File) fail("cannot create " + Path);
  const double S = seconds([&] {
    for (int64_t Done = 0; Done < Bytes; Done += kChunk) {
      if (File->Write(Data.data(), kChunk) != kChunk) fail("plain file write");
    }
  });
  if (FlushSeconds) *FlushSeconds = seconds([&] {
    if (!File->Flush()) fail("plain file flush");
  });
  return S;
}

Throughput referenceFile(const std::string& Path, int64_t Bytes, const std::vector<uint8_t>& Data) {
  platform::IFileSystem& Fs = platform::OsFileSystem();
  Throughput Result;
  double Flush = 0;
  const double Write = writePlainFile(Path, Bytes, Data, &Flush);
  Result.Write = Bytes / 1048576.0 / Write;
  Result.Durable = Bytes / 1048576.0 / (Write + Flush);
  {
    auto File = Fs.Open(Path, {platform::FileAccess::Read, platform::FileShare::ReadWrite,
                               platform::FileCreation::OpenExisting, false, true});
    if (!File) fail("cannot open " + Path);
    std::vector<uint8_t> Back(kChunk);
    const double S = seconds([&] {
      for (int64_t Done = 0; Done < Bytes; Done += kChunk) {
        if (File->Read(Back.data(), kChunk) != kChunk || std::memcmp(Back.data(), Data.data(), kChunk) != 0) {
          fail("reference read");
        }
      }
    });
    Result.Read = Bytes / 1048576.0 / S;
  }
  Fs.DeleteFile(Path);
  return Result;
}

// Writes and deletes a file of the measured size, untimed, so that the memory the next
// measurement's file cache takes has been in use a moment ago. A virtual machine that hands free
// memory back to its host (free page reporting) otherwise makes the first touch of long-free
// memory cost a host fault, which lands on whichever kind happens to meet such memory.
void warmUp(const std::string& Path, int64_t Bytes, const std::vector<uint8_t>& Data) {
  writePlainFile(Path, Bytes, Data);
  platform::OsFileSystem().DeleteFile(Path);
}

// The container's layout without the container: the same bytes as pages of a 32-byte (zero)
// header and 4064 data bytes, after a 280-byte part header, 64 pages per transfer, copied into
// and out of page images, with no checksum, page maps, bitmaps or directory. What any
// implementation of the format pays through the platform's file for the layout alone.
Throughput layoutOnly(const std::string& Path, int64_t Bytes, const std::vector<uint8_t>& Data) {
  constexpr int64_t kPage = 4096, kData = 4064, kHeader = 32, kRun = 64, kStart = 280;
  platform::IFileSystem& Fs = platform::OsFileSystem();
  std::vector<uint8_t> Images(kRun * kPage, 0);
  const int64_t Runs = (Bytes + kRun * kData - 1) / (kRun * kData);
  auto Source = [&](int64_t Offset) { return Data.data() + Offset % (static_cast<int64_t>(Data.size()) - kData); };
  Throughput Result;
  {
    auto File = Fs.Open(Path, {platform::FileAccess::ReadWrite, platform::FileShare::None,
                               platform::FileCreation::CreateAlways, false, true});
    if (!File) fail("cannot create " + Path);
    const double S = seconds([&] {
      for (int64_t R = 0; R < Runs; ++R) {
        for (int64_t I = 0; I < kRun; ++I) std::memcpy(&Images[I * kPage + kHeader], Source((R * kRun + I) * kData), kData);
        File->Seek(kStart + R * kRun * kPage, platform::SeekOrigin::Begin);
        if (File->Write(Images.data(), kRun * kPage) != kRun * kPage) fail("layout write");
      }
    });
    Result.Write = Bytes / 1048576.0 / S;
  }
  {
    auto File = Fs.Open(Path, {platform::FileAccess::Read, platform::FileShare::ReadWrite,
                               platform::FileCreation::OpenExisting, false, true});
    if (!File) fail("cannot open " + Path);
    std::vector<uint8_t> Back(kRun * kData);
    const double S = seconds([&] {
      for (int64_t R = 0; R < Runs; ++R) {
        File->Seek(kStart + R * kRun * kPage, platform::SeekOrigin::Begin);
        if (File->Read(Images.data(), kRun * kPage) != kRun * kPage) fail("layout read");
        for (int64_t I = 0; I < kRun; ++I) std::memcpy(&Back[I * kData], &Images[I * kPage + kHeader], kData);
      }
    });
    Result.Read = Bytes / 1048576.0 / S;
  }
  Fs.DeleteFile(Path);
  return Result;
}

Throughput containerFile(const std::string& Path, const std::string& Password, int64_t Bytes,
                         const std::vector<uint8_t>& Data) {
  Throughput Result;
  {
    TContainerFileSystem Cfs(Path, kModeCreate, false, Password);
    const int32_t H = Cfs.FileOpen("\\big.dat", kModeCreate);
    if (H < 0) fail("cannot create the user file");
    const double S = seconds([&] {
      for (int64_t Done = 0; Done < Bytes; Done += kChunk) {
        if (Cfs.FileWrite(H, Data.data(), kChunk) != kChunk) fail("container write, error " + std::to_string(Cfs.LastError()));
      }
    });
    // Closing the file commits: its writes become durable, as the reference's flush makes its own.
    const double Commit = seconds([&] {
      if (!Cfs.FileClose(H)) fail("close");
    });
    Result.Write = Bytes / 1048576.0 / S;
    Result.Durable = Bytes / 1048576.0 / (S + Commit);
  }
  {
    TContainerFileSystem Cfs(Path, kModeReadWrite, false, Password);
    const int32_t H = Cfs.FileOpen("\\big.dat", kModeReadWrite);
    if (H < 0) fail("cannot open the user file");
    std::vector<uint8_t> Back(kChunk);
    const double S = seconds([&] {
      for (int64_t Done = 0; Done < Bytes; Done += kChunk) {
        if (Cfs.FileRead(H, Back.data(), kChunk) != kChunk || std::memcmp(Back.data(), Data.data(), kChunk) != 0) {
          fail("container read, error " + std::to_string(Cfs.LastError()));
        }
      }
      if (!Cfs.FileClose(H)) fail("close");
    });
    Result.Read = Bytes / 1048576.0 / S;
  }
  platform::OsFileSystem().DeleteFile(Path);
  return Result;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t Megabytes = argc > 1 ? std::atoll(argv[1]) : 256;
  const int32_t SmallFiles = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int64_t Bytes = std::max<int64_t>(1, Megabytes) * 1048576;

  std::random_device Rd;
  const std::string Dir =
      (std::filesystem::temp_directory_path() / ("tesvar_bench_container_" + std::to_string(Rd()))).string();
  platform::IFileSystem& Fs = platform::OsFileSystem();
  if (!Fs.CreateDirectory(Dir)) fail("cannot create " + Dir);
  platform::ScopedFileSystem Guard(Fs);

  for (const int32_t Chunk : {1024 * 1024, 64 * 1024}) {
    kChunk = Chunk;
    const std::string Suffix = Chunk >= 1024 * 1024 ? "_1m" : "_64k";
    const std::vector<uint8_t> Data = chunkData();
    // Each round measures the reference and both containers back to back, so that all three
    // meet the same range of conditions on the shared machine (load, the device still writing
    // back an earlier round); each is then taken at its best round.
    struct Kind {
      const char* Name;       // of the throughput lines
      const char* RatioName;  // of the ratio lines (none for the reference)
      std::function<Throughput()> Measure;
      std::vector<Throughput> Runs;
    };
    Kind Kinds[] = {
        {"reference_file", nullptr, [&] { return referenceFile(Dir + "/reference.bin", Bytes, Data); }, {}},
        {"layout_only", "layout_only", [&] { return layoutOnly(Dir + "/layout.bin", Bytes, Data); }, {}},
        {"container_plain", "plain", [&] { return containerFile(Dir + "/plain.edb", "", Bytes, Data); }, {}},
        {"container_encrypted", "encrypted", [&] { return containerFile(Dir + "/encrypted.edb", "benchmark", Bytes, Data); }, {}},
    };
    for (int R = 0; R < kRounds; ++R) {
      for (Kind& K : Kinds) {
        warmUp(Dir + "/warm.bin", Bytes, Data);
        K.Runs.push_back(K.Measure());
        if (std::getenv("BENCH_VERBOSE")) {
          std::fprintf(stderr, "%s chunks, round %d: %s %.0f MB/s write, %.0f MB/s read\n", Suffix.c_str() + 1, R, K.Name,
                       K.Runs.back().Write, K.Runs.back().Read);
        }
      }
    }
    const Kind& Reference = Kinds[0];
    for (const Kind& K : Kinds) {
      print((K.Name + std::string("_write") + Suffix).c_str(), best(K.Runs, &Throughput::Write), "MB/s");
      print((K.Name + std::string("_read") + Suffix).c_str(), best(K.Runs, &Throughput::Read), "MB/s");
      if (K.Runs.front().Durable > 0)
        print((K.Name + std::string("_durable_write") + Suffix).c_str(), best(K.Runs, &Throughput::Durable), "MB/s");
    }
    for (const Kind& K : Kinds) {
      if (!K.RatioName) continue;
      for (const auto& [Field, Direction] : {std::pair{&Throughput::Write, "_write"}, std::pair{&Throughput::Read, "_read"},
                                             std::pair{&Throughput::Durable, "_durable_write"}}) {
        if (K.Runs.front().*Field <= 0) continue;
        const std::string Name = std::string("ratio_") + K.RatioName + Direction + Suffix;
        print(Name.c_str(), best(K.Runs, Field) / best(Reference.Runs, Field), "x");
        print((Name + "_paired").c_str(), pairedRatio(K.Runs, Reference.Runs, Field), "x");
      }
    }
  }

  const std::string Small = Dir + "/small.edb";
  // Each close commits, so each file is durable when it is closed; beside it the same without
  // transactions, where nothing is durable before the container is flushed.
  for (const bool Transactions : {true, false}) {
    TCFSTransaction::ScopedEnabled Mode(Transactions);
    const std::string Path = Transactions ? Small : Dir + "/small_write_through.edb";
    TContainerFileSystem Cfs(Path, kModeCreate, false, "");
    const std::vector<uint8_t> Tiny(100, 7);
    const double S = seconds([&] {
      for (int32_t I = 0; I < SmallFiles; ++I) {
        const int32_t H = Cfs.FileOpen("\\file" + std::to_string(I) + ".dat", kModeCreate);
        if (H < 0 || Cfs.FileWrite(H, Tiny.data(), 100) != 100) fail("small file " + std::to_string(I));
        if (!Cfs.FileClose(H)) fail("close");
      }
    });
    print(Transactions ? "small_files_create_each_committed" : "small_files_create_write_through", SmallFiles / S,
          "files/s");
    if (!Transactions) Fs.DeleteFile(Path);
  }
  double Reopen = 1e30;
  for (int R = 0; R < kRepeats; ++R) {
    std::unique_ptr<TContainerFileSystem> Reopened;
    Reopen = std::min(Reopen, seconds([&] { Reopened = std::make_unique<TContainerFileSystem>(Small, kModeReadWrite, false, ""); }));
    if (!Reopened->FileExists("\\file" + std::to_string(SmallFiles - 1) + ".dat")) fail("small files missing after reopen");
  }
  print("small_files_reopen", Reopen * 1000, "ms");

  Fs.DeleteFile(Small);
  Fs.RemoveDirectory(Dir);
  return 0;
}
