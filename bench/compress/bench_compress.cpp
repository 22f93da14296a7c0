// Buffer compression figures on a corpus file; run.sh drives it and sets them beside 7-Zip's.
//
// Usage:
//   bench_compress CORPUS level1 [REPEATS]  zlib's compress2 at level 1 (reference) against our
//                                           level 1, best of REPEATS (default 5), and the time
//                                           ratio (goal: ours / zlib <= 1.1)
//   bench_compress CORPUS level2|level3     one compression and decompression at that level
//   bench_compress CORPUS single2|single3   the size of the level's model over the whole corpus
//                                           as one chunk (7-Zip codes its input as one stream)
//
// Output: name<TAB>value<TAB>unit lines, reference figures first. Times are process CPU seconds
// (the machine may be shared), with wall-clock seconds beside them.

#include "codec/CompressedBufferFormat.h"
#include "codec/EdbCompress.h"
#include "codec/PpmdModel_internal.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Timing {
  double cpu = 1e30;
  double wall = 1e30;
};

// Runs Work Repeats times and keeps the best CPU and wall times.
Timing measure(int Repeats, const std::function<void()>& Work) {
  Timing best;
  for (int i = 0; i < Repeats; ++i) {
    const std::clock_t cpuStart = std::clock();
    const auto wallStart = std::chrono::steady_clock::now();
    Work();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    best.cpu = std::min(best.cpu, cpu);
    best.wall = std::min(best.wall, wall);
  }
  return best;
}

void print(const std::string& name, double value, const char* unit) {
  std::printf("%s\t%.3f\t%s\n", name.c_str(), value, unit);
}

double megabytes(size_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "bench_compress: %s\n", message.c_str());
  std::exit(1);
}

void printTiming(const std::string& name, const Timing& t, size_t original) {
  print(name + "_cpu", t.cpu, "s");
  print(name + "_wall", t.wall, "s");
  print(name + "_throughput", megabytes(original) / t.cpu, "MB/s");
}

// Compresses and decompresses at Level Repeats times; prints the best times and the size.
Timing runLevel(const Bytes& corpus, uint8_t Level, int Repeats, const std::string& name) {
  using namespace tesvar::codec;
  Bytes packed;
  int32_t packedSize = 0;
  const Timing compress = measure(Repeats, [&] {
    Bytes fresh;  // callers hand in a new vector; its allocation is part of the cost
    if (!edCompressBuffer(corpus.data(), int32_t(corpus.size()), fresh, Level, packedSize))
      fail("edCompressBuffer failed at level " + std::to_string(Level));
    packed.swap(fresh);
  });
  Bytes unpacked;
  const Timing decompress = measure(Repeats, [&] {
    Bytes fresh;
    int32_t size = int32_t(corpus.size());
    if (!edDecompressBuffer(packed.data(), packedSize, fresh, Level, size))
      fail("edDecompressBuffer failed at level " + std::to_string(Level));
    unpacked.swap(fresh);
  });
  if (unpacked != corpus) fail("round trip differs at level " + std::to_string(Level));
  printTiming(name + "_compress", compress, corpus.size());
  printTiming(name + "_decompress", decompress, corpus.size());
  print(name + "_size", double(packedSize), "bytes");
  print(name + "_ratio", double(packedSize) / double(corpus.size()), "out/in");
  return compress;
}

void runLevel1(const Bytes& corpus, int repeats) {
  // compress2 writes into a buffer its caller allocates; ours allocates its own, so both are
  // timed with their allocation.
  uLongf zSize = 0;
  const Timing zlib = measure(repeats, [&] {
    Bytes out(compressBound(uLong(corpus.size())));
    zSize = out.size();
    if (compress2(out.data(), &zSize, corpus.data(), uLong(corpus.size()), 1) != Z_OK)
      fail("compress2 failed");
  });
  printTiming("zlib_compress2_l1", zlib, corpus.size());
  print("zlib_compress2_l1_size", double(zSize), "bytes");
  const Timing ours = runLevel(corpus, tesvar::codec::clFastest, repeats, "ours_l1");
  print("ratio_l1_compress_time_ours_vs_zlib", ours.cpu / zlib.cpu, "x (goal <= 1.1)");
}

void runSingleChunk(const Bytes& corpus, int order, uint32_t memoryMB, const std::string& name) {
  tesvar::codec::ppmd::TPpmdModel model;
  if (!model.SetMemorySize(memoryMB)) fail("cannot allocate the model memory");
  Bytes out(corpus.size() + corpus.size() / 10 + 1024);
  const size_t size = model.Compress(corpus.data(), corpus.size(), out.data(), out.size(), order);
  print(name + "_single_chunk_size", double(size), "bytes");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tesvar::codec;
  if (argc < 3) fail("usage: bench_compress CORPUS level1|level2|level3|single2|single3 [REPEATS]");
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) fail(std::string("cannot read ") + argv[1]);
  const Bytes corpus((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (corpus.empty() || corpus.size() > 0x7FFFFFFF) fail("corpus must hold 1 byte .. 2 GB");
  const std::string mode = argv[2];

  if (mode == "level1") {
    runLevel1(corpus, argc > 3 ? std::max(1, std::atoi(argv[3])) : 5);
  } else if (mode == "level2") {
    runLevel(corpus, clDefault, 1, "ours_l2");
  } else if (mode == "level3") {
    runLevel(corpus, clMax, 1, "ours_l3");
  } else if (mode == "single2") {
    runSingleChunk(corpus, format::kDefaultOrder, format::kDefaultMemoryMB, "ours_l2");
  } else if (mode == "single3") {
    runSingleChunk(corpus, format::kMaxOrder, format::kMaxMemoryMB, "ours_l3");
  } else {
    fail("unknown mode " + mode);
  }
  return 0;
}
