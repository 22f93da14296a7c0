// Table storage throughput: records of 600 bytes appended through edInsertRecord into a table of
// a single-file database, the table closed, opened again and every record read through the page
// pool; beside it the same bytes written and read as one plain file (reference, in 1 MB
// chunks, flushed at the end like the table's close). Sizes 100,000 and 1,000,000 records; each
// size runs several rounds with reference and table back to back, and the best round counts (the
// machine is shared). Also the table insert with the periodic commit switched off (the commit
// rule's cost) and the peak resident memory after each size.
//
// On a shared machine the wall time of a phase also holds the time other processes took the
// processor from it: each timed phase starts after the same short pause (so that none starts
// with the processor time the one before used up), and the processor time of the process during
// each phase is printed too (figures ending in "_cpu"), reference and table alike.
//
// Usage: bench_storage [rounds (default 3)] [folder (default: the current one)]
// Output: name<TAB>value<TAB>unit lines, reference first, then the table, then ratios.

#include "BenchSupport.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "toolkit/IEdbDataset.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;

constexpr int32_t kRecordSize = 600;
constexpr int32_t kChunk = 1 << 20;

// Wall and processor seconds of one timed phase.
struct Span {
  double Wall = 1e30;
  double Cpu = 1e30;
  void Keep(const Span& Other) {
    Wall = std::min(Wall, Other.Wall);
    Cpu = std::min(Cpu, Other.Cpu);
  }
};

Span measure(const std::function<void()>& Run) {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::clock_t CpuStart = std::clock();
  const auto Start = Clock::now();
  Run();
  Span s;
  s.Wall = std::chrono::duration<double>(Clock::now() - Start).count();
  s.Cpu = static_cast<double>(std::clock() - CpuStart) / CLOCKS_PER_SEC;
  return s;
}

void print(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.3f\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_storage: %s\n", What.c_str());
  std::exit(1);
}

double peakMegabytes() { return bench::PeakResidentMegabytes(); }

using BenchDataset = bench::TBenchDataset;

// One 1 MB chunk of record-like bytes.
std::vector<uint8_t> chunkData() {
  std::vector<uint8_t> data(kChunk);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>('a' + (i * 7 + (i >> 10)) % 26);
  return data;
}

struct Times {
  Span Write;
  Span Read;
};

Times referenceRound(const std::string& Path, int64_t Bytes, const std::vector<uint8_t>& Chunk) {
  Times t;
  platform::IFileSystem& fs = platform::OsFileSystem();
  fs.DeleteFile(Path);
  t.Write = measure([&] {
    auto file = fs.Open(Path, {platform::FileAccess::ReadWrite, platform::FileShare::None,
                               platform::FileCreation::CreateAlways, false, true});
    if (!file) fail("cannot create " + Path);
    for (int64_t done = 0; done < Bytes; done += kChunk) {
      const int64_t n = std::min<int64_t>(kChunk, Bytes - done);
      if (file->Write(Chunk.data(), n) != n) fail("reference write failed");
    }
    if (!file->Flush()) fail("reference flush failed");
  });
  std::vector<uint8_t> buffer(kChunk);
  uint64_t sum = 0;
  t.Read = measure([&] {
    auto file = fs.Open(Path, {platform::FileAccess::Read, platform::FileShare::ReadWrite,
                               platform::FileCreation::OpenExisting, false, true});
    if (!file) fail("cannot open " + Path);
    for (int64_t done = 0; done < Bytes; done += kChunk) {
      const int64_t n = std::min<int64_t>(kChunk, Bytes - done);
      if (file->Read(buffer.data(), n) != n) fail("reference read failed");
      sum += buffer[static_cast<size_t>(n - 1)];
    }
  });
  if (sum == 0) fail("reference read nothing");
  fs.DeleteFile(Path);
  return t;
}

struct TableTimes {
  Span Insert;  // inserts and the close
  Span Open;
  Span Read;
};

TableTimes tableRound(const std::string& Path, int32_t Records, uint32_t CommitInterval) {
  TableTimes t;
  platform::OsFileSystem().DeleteFile(Path);
  {
  ScopedStorageEngine engine;
  {
    TEdbDatabase creator;
    creator.CreateDatabase(Path);
  }
  BenchDataset dataset(Path);
  TEdbDatabaseManager& database = edGetDatabaseManager(Path, &dataset);
  // One string field of 567 characters: 568 bytes of data and the 32-byte trailer.
  edGetDataManager("Catalog", &database).CreateTable({{"Data", toolkit::ftString, 567, false}}, {}, 1000, false, &dataset);
  TEdbDataManager* table = &edGetDataManager("Catalog", &database);
  if (table->ConnectDataset(dataset) != otrOk) fail("cannot open the table");
  if (table->RecordSize() != kRecordSize) fail("record size " + std::to_string(table->RecordSize()));
  table->SetCommitInterval(CommitInterval);
  std::vector<uint8_t> record = table->NewRecordBuffer();
  for (int32_t i = 0; i < 567; ++i) record[static_cast<size_t>(i)] = static_cast<uint8_t>('a' + i % 26);
  record[table->DataSize() + 4] = 0;
  t.Insert = measure([&] {
    for (int32_t i = 0; i < Records; ++i) {
      std::memcpy(record.data(), &i, sizeof i);
      table->edInsertRecord(record.data(), 0);
    }
    table->DisconnectDataset(dataset);
  });
  t.Open = measure([&] {
    table = &edGetDataManager("Catalog", &database);
    if (table->ConnectDataset(dataset) != otrOk) fail("cannot open the table again");
  });
  if (table->RecordCount() != Records) fail("record count " + std::to_string(table->RecordCount()));
  int64_t check = 0;
  t.Read = measure([&] {
    for (int32_t i = 0; i < Records; ++i) {
      int32_t v;
      std::memcpy(&v, table->GetRecord(i), sizeof v);
      check += v;
    }
  });
  if (check != static_cast<int64_t>(Records) * (Records - 1) / 2) fail("records read back differ");
  table->DisconnectDataset(dataset);
  }
  platform::OsFileSystem().DeleteFile(Path);
  return t;
}

double mbPerSecond(int64_t Bytes, double Seconds) { return static_cast<double>(Bytes) / (1 << 20) / Seconds; }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string folder = argc > 2 ? argv[2] : ".";
  const std::string plainPath = platform::JoinPath(folder, "bench_storage_plain.bin");
  const std::string dbPath = platform::JoinPath(folder, "bench_storage.edb");
  const std::vector<uint8_t> chunk = chunkData();
  Span insertAt[2];
  Span readAt[2];
  for (int s = 0; s < 2; ++s) {
    const int32_t records = s == 0 ? 100000 : 1000000;
    const std::string tag = s == 0 ? "100k" : "1m";
    const int64_t bytes = static_cast<int64_t>(records) * kRecordSize;
    Times bestRef;
    TableTimes best;
    Span bestNoCommit;
    for (int r = 0; r < rounds; ++r) {
      const Times ref = referenceRound(plainPath, bytes, chunk);
      const TableTimes table = tableRound(dbPath, records, TEdbDataManager::kDefaultCommitIntervalMs);
      const TableTimes noCommit = tableRound(dbPath, records, UINT32_MAX);
      if (std::getenv("BENCH_VERBOSE") != nullptr)
        std::fprintf(stderr, "%s round %d: ref %.3f/%.3f table %.3f/%.3f/%.3f nocommit %.3f (cpu: ref %.3f/%.3f table %.3f/%.3f)\n",
                     tag.c_str(), r, ref.Write.Wall, ref.Read.Wall, table.Insert.Wall, table.Open.Wall, table.Read.Wall,
                     noCommit.Insert.Wall, ref.Write.Cpu, ref.Read.Cpu, table.Insert.Cpu, table.Read.Cpu);
      bestRef.Write.Keep(ref.Write);
      bestRef.Read.Keep(ref.Read);
      best.Insert.Keep(table.Insert);
      best.Open.Keep(table.Open);
      best.Read.Keep(table.Read);
      bestNoCommit.Keep(noCommit.Insert);
    }
    insertAt[s] = best.Insert;
    readAt[s] = best.Read;
    print("ref_plain_write_" + tag, mbPerSecond(bytes, bestRef.Write.Wall), "MB/s");
    print("ref_plain_read_" + tag, mbPerSecond(bytes, bestRef.Read.Wall), "MB/s");
    print("table_insert_close_" + tag, mbPerSecond(bytes, best.Insert.Wall), "MB/s");
    print("table_insert_close_" + tag + "_s", best.Insert.Wall, "s");
    print("table_insert_close_nocommit_" + tag + "_s", bestNoCommit.Wall, "s");
    print("table_open_" + tag, best.Open.Wall * 1000, "ms");
    print("table_read_pool_" + tag, mbPerSecond(bytes, best.Read.Wall), "MB/s");
    print("ratio_insert_vs_plain_write_" + tag, bestRef.Write.Wall / best.Insert.Wall, "x");
    print("ratio_read_vs_plain_read_" + tag, bestRef.Read.Wall / best.Read.Wall, "x");
    print("ref_plain_write_" + tag + "_cpu", bestRef.Write.Cpu, "s");
    print("ref_plain_read_" + tag + "_cpu", bestRef.Read.Cpu, "s");
    print("table_insert_close_" + tag + "_cpu", best.Insert.Cpu, "s");
    print("table_read_pool_" + tag + "_cpu", best.Read.Cpu, "s");
    print("ratio_read_vs_plain_read_" + tag + "_cpu", bestRef.Read.Cpu / best.Read.Cpu, "x");
    print("commit_rule_cost_" + tag, (best.Insert.Wall - bestNoCommit.Wall) / bestNoCommit.Wall * 100, "%");
    print("peak_rss_after_" + tag, peakMegabytes(), "MB");
    print("table_data_" + tag, static_cast<double>(bytes) / (1 << 20), "MB");
  }
  print("ratio_insert_time_1m_vs_100k", insertAt[1].Wall / insertAt[0].Wall, "x");
  print("ratio_read_time_1m_vs_100k", readAt[1].Wall / readAt[0].Wall, "x");
  print("ratio_read_time_1m_vs_100k_cpu", readAt[1].Cpu / readAt[0].Cpu, "x");
  return 0;
}
