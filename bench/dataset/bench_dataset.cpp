// The dataset's view after a change made elsewhere: a table of N records (Name, Num; an index on
// Name) in a single-file database, two datasets on it. For each of 50 rounds one record is
// updated through the table manager, and the other dataset, standing in the middle of the Name
// order, makes its view current and finds its record again (RecordCount, RecNo). Beside it, first
// (reference), the rebuild of a view kept as a plain array: the index's N record numbers copied
// into an int32 array (one pass, no filter). Then a walk over every record reading its fields as
// text, beside the same walk over the index and the page pool alone (reference), and 100,000 moves
// to random record numbers.
//
// Usage: bench_dataset [-d FOLDER] [N ...]   (default: -d . 100000 1000000)
// Output: name<TAB>value<TAB>unit lines per size: the array copy, the view's median and worst
// rebuild, their ratio; the walks and their ratio; the time of a move to a record number.

#include "BenchSupport.h"
#include "dataset/TEdbDataset.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

void put(const char* Name, int32_t N, double Value, const char* Unit) {
  std::printf("%s_%d\t%.4f\t%s\n", Name, N, Value, Unit);
}

std::vector<uint8_t> record(TEdbDataManager& M, uint32_t Key, int32_t Num) {
  std::vector<uint8_t> r = M.NewRecordBuffer();
  char name[21];
  std::snprintf(name, sizeof name, "n%010u", Key);
  std::memcpy(r.data() + M.FieldOffset(0), name, std::strlen(name));
  std::memcpy(r.data() + M.FieldOffset(1), &Num, 4);
  r[static_cast<size_t>(M.DataSize() + 4)] &= 0xFC;
  return r;
}

void run(const std::string& Folder, int32_t N) {
  const std::string file = (std::filesystem::path(Folder) / ("bench_dataset_" + std::to_string(N) + ".edb")).string();
  std::filesystem::remove(file);
  ScopedStorageEngine engine;
  {
    TEdbDatabase creator;
    creator.CreateDatabase(file);
  }
  bench::TBenchDataset writer(file);
  TEdbDatabaseManager& database = edGetDatabaseManager(file, &writer);
  edGetDataManager("T", &database)
      .CreateTable({{"Name", toolkit::ftString, 20, false}, {"Num", toolkit::ftInteger, 0, false}},
                   {{"ByName", "Name", "", "", {}}}, 1000, false, &writer);
  TEdbDataManager& m = edGetDataManager("T", &database);
  if (m.ConnectDataset(writer) != otrOk) std::exit(1);
  std::mt19937 random(42);
  m.DisableAutoFlush();
  for (int32_t i = 0; i < N; ++i) {
    std::vector<uint8_t> r = record(m, random(), i);
    m.edInsertRecord(r.data(), 0);
  }
  m.EnableAutoFlush(true);

  dataset::TEdbDataset ds;
  ds.SetDatabaseFileName(file);
  ds.SetTableName("T");
  ds.SetIndexName("ByName");
  ds.Open();
  ds.SetRecNo(N / 2);
  const int32_t indexNo = m.InternalGetIndexNo("ByName");

  std::vector<double> copies, rebuilds;
  std::vector<int32_t> array(static_cast<size_t>(N));
  for (int32_t round = 0; round < 50; ++round) {
    const int32_t recNo = static_cast<int32_t>(random() % static_cast<uint32_t>(m.RecordCount()));
    std::vector<uint8_t> r = record(m, random(), round);
    std::memcpy(r.data() + m.DataSize(), m.GetRecord(recNo) + m.DataSize(), 4);
    m.edUpdateRecord(r.data(), 0, recNo);

    Clock::time_point start = Clock::now();
    m.Index(indexNo).CopyTo(array.data());
    copies.push_back(msSince(start));

    start = Clock::now();
    const int32_t count = ds.RecordCount();
    const int32_t recNoNow = ds.RecNo();
    rebuilds.push_back(msSince(start));
    if (count != N || recNoNow < 1) std::exit(2);
  }
  std::sort(copies.begin(), copies.end());
  std::sort(rebuilds.begin(), rebuilds.end());
  const double copy = copies[copies.size() / 2];
  const double rebuild = rebuilds[rebuilds.size() / 2];
  put("array_view_rebuild_median", N, copy, "ms");
  put("dataset_view_rebuild_median", N, rebuild, "ms");
  put("dataset_view_rebuild_worst", N, rebuilds.back(), "ms");
  put("dataset_view_rebuild_ratio", N, rebuild / copy, "x");

  // A walk over every record in Name order reading both fields as text, beside the same walk
  // over the index and the page pool without a dataset (reference).
  {
    Clock::time_point start = Clock::now();
    size_t bytes = 0;
    const TEdbIndex& index = m.Index(indexNo);
    for (int32_t p = 0; p < index.Count(); ++p) {
      const uint8_t* rec = m.GetRecord(index.At(p));
      bytes += std::strlen(reinterpret_cast<const char*>(rec + m.FieldOffset(0)));
      int32_t num;
      std::memcpy(&num, rec + m.FieldOffset(1), 4);
      bytes += std::to_string(num).size();
    }
    const double plain = msSince(start);
    start = Clock::now();
    size_t walked = 0;
    toolkit::TField& name = ds.FieldByName("Name");
    toolkit::TField& num = ds.FieldByName("Num");
    for (ds.First(); !ds.Eof(); ds.Next()) walked += name.AsString().size() + num.AsString().size();
    const double walk = msSince(start);
    if (walked != bytes) std::exit(3);
    put("index_walk", N, plain, "ms");
    put("dataset_walk", N, walk, "ms");
    put("dataset_walk_ratio", N, walk / plain, "x");
  }

  const int32_t moves = 100000;
  Clock::time_point start = Clock::now();
  int64_t sum = 0;
  for (int32_t i = 0; i < moves; ++i) {
    ds.SetRecNo(1 + static_cast<int32_t>(random() % static_cast<uint32_t>(N)));
    sum += ds.FieldByName("Num").AsInteger();
  }
  put("dataset_recno_move", N, msSince(start) * 1000.0 / moves, "us");
  std::fprintf(stderr, "check %lld\n", static_cast<long long>(sum));
  ds.Close();
  m.DisconnectDataset(writer);
  std::filesystem::remove(file);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = ".";
  std::vector<int32_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-d") == 0 && i + 1 < argc)
      folder = argv[++i];
    else
      sizes.push_back(std::atoi(argv[i]));
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  for (int32_t n : sizes) run(folder, n);
  return 0;
}
