// Page file and free-space throughput on the in-memory file system.
//
// Reference: the unavoidable work of a plain page, done directly: the same bytes written and
// read through the file system's own file object in 32-byte header + page data pieces at the same
// offsets, with the data checksum computed. Then page writes and reads through TPageFileManager,
// plain and encrypted, single-page GetPages/FreePages through TFreeSpaceManager, and the time
// ratios page file / reference for plain pages (the page file's own overhead; goal: <= 1.3).
//
// Output: name<TAB>value<TAB>unit lines, reference first.

#include "codec/Checksums.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void fail(const char* What) {
  std::fprintf(stderr, "bench_pages: %s\n", What);
  std::exit(1);
}

using namespace tesvar;
using namespace tesvar::container;
using Clock = std::chrono::steady_clock;

constexpr int32_t kPages = 4096;  // 16 MB of pages
constexpr int kRepeats = 5;       // best of

double bestOf(const std::function<void()>& run) {
  double best = 1e30;
  for (int r = 0; r < kRepeats; ++r) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void print(const char* name, double value, const char* unit) { std::printf("%s\t%.3f\t%s\n", name, value, unit); }

double megabytes(double seconds) { return double(kPages) * 4096 / (1 << 20) / seconds; }

}  // namespace

int main() {
  platform::MemoryFileSystem fs;
  platform::ScopedFileSystem guard(fs);
  platform::SettableClock clock;
  clock.SetAutoAdvance(300);  // no quarter-second password checks in the figures
  platform::ScopedClock clockGuard(clock);

  std::vector<uint8_t> page(4064);
  for (size_t i = 0; i < page.size(); ++i) page[i] = uint8_t(i * 7 + 3);
  uint8_t header[32] = {};

  // Reference: raw file writes and reads of the same pieces.
  auto raw = fs.Open("/raw.bin", {platform::FileAccess::ReadWrite, platform::FileShare::None,
                                  platform::FileCreation::CreateAlways, false, true});
  raw->SetSize(int64_t(kPages + 1) * 4096 + 280);
  const double rawWrite = bestOf([&] {
    for (int32_t p = 1; p <= kPages; ++p) {
      raw->Seek(280 + int64_t(p) * 4096, platform::SeekOrigin::Begin);
      const uint32_t sum = codec::XorDwords(page.data(), page.size());
      std::memcpy(header + 4, &sum, 4);
      raw->Write(header, 32);
      raw->Write(page.data(), 4064);
    }
  });
  std::vector<uint8_t> back(4064);
  volatile uint8_t sink = 0;
  const double rawRead = bestOf([&] {
    for (int32_t p = 1; p <= kPages; ++p) {
      raw->Seek(280 + int64_t(p) * 4096, platform::SeekOrigin::Begin);
      raw->Read(header, 32);
      raw->Read(back.data(), 4064);
      if (codec::XorDwords(back.data(), back.size()) == 0xFFFFFFFF) sink = header[4];
    }
  });
  print("reference_raw_write", megabytes(rawWrite), "MB/s");
  print("reference_raw_read", megabytes(rawRead), "MB/s");

  double plainWrite = 0, plainRead = 0;
  for (const bool encrypted : {false, true}) {
    TPageFileManager file("/c.edb", kModeCreate, encrypted ? "password" : "", "", "", false, 4, 16);
    if (!file.AddPages(kPages)) fail("the container cannot grow");
    std::vector<uint8_t> data = page;
    const double write = bestOf([&] {
      for (int32_t p = 1; p <= kPages; ++p) {
        if (encrypted) data = page;  // encrypted in place
        TPageHeader h;
        h.PageType = ptUserData;
        h.EncryptionType = encrypted ? etPageCipher : etNone;
        h.Data = data.data();
        if (!file.WritePage(h, p)) fail("page write failed");
      }
    });
    const double read = bestOf([&] {
      for (int32_t p = 1; p <= kPages; ++p) {
        TPageHeader h;
        h.Data = data.data();
        if (!file.ReadPage(h, p)) fail("page read failed");
      }
    });
    print(encrypted ? "page_write_encrypted" : "page_write_plain", megabytes(write), "MB/s");
    print(encrypted ? "page_read_encrypted" : "page_read_plain", megabytes(read), "MB/s");
    if (!encrypted) {
      plainWrite = write;
      plainRead = read;
    }
  }

  {
    // Allocation inside space the container already has (growing a memory file costs a copy of
    // the whole file per step, which would hide the bitmap work).
    TPageFileManager file("/f.edb", kModeCreate, "", "", "", false, 4, 16);
    TFreeSpaceManager space(file);
    std::vector<int32_t> pages, taken;
    if (!space.GetPages(kPages, 0, pages, false)) return 1;
    space.FreePages(pages);
    double get = 1e30, release = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
      taken.clear();
      auto start = Clock::now();
      for (int32_t i = 0; i < kPages - 16; ++i) {
        if (!space.GetPages(1, taken.empty() ? 0 : taken.back() + 1, pages, false)) return 1;
        taken.push_back(pages.front());
      }
      get = std::min(get, std::chrono::duration<double>(Clock::now() - start).count());
      start = Clock::now();
      for (int32_t p : taken) space.FreePages({p});
      release = std::min(release, std::chrono::duration<double>(Clock::now() - start).count());
    }
    print("getpages_single", (kPages - 16) / get, "calls/s");
    print("freepages_single", (kPages - 16) / release, "calls/s");
  }

  print("ratio_page_write_plain", plainWrite / rawWrite, "x");
  print("ratio_page_read_plain", plainRead / rawRead, "x");
  return 0;
}
