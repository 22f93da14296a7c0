#include "codec/EdbCompress.h"

#include "codec/CompressedBufferFormat.h"
#include "codec/PpmdModel_internal.h"
#include "platform/Exception.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

namespace tesvar::codec {

namespace {

using namespace format;

struct TPpmdLevel {
  uint32_t Order;
  uint32_t MemoryMB;
  uint32_t ChunkSize;
  uint32_t HeaderWord;
};

bool ppmdLevel(uint8_t Level, TPpmdLevel& Params) {
  switch (Level) {
    case clDefault:
      Params = {kDefaultOrder, kDefaultMemoryMB, kDefaultChunkSize, kDefaultHeaderWord};
      return true;
    case clMax:
      Params = {kMaxOrder, kMaxMemoryMB, kMaxChunkSize, kMaxHeaderWord};
      return true;
    default:
      return false;
  }
}

// The model and its memory area are shared by the whole process and kept between calls; the lock
// keeps two threads from using them at once.
std::mutex& modelLock() {
  static std::mutex lock;
  return lock;
}

ppmd::TPpmdModel& sharedModel() {
  static ppmd::TPpmdModel model;
  return model;
}

uint32_t loadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void storeLE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Runs a zlib stream to its end: Step() calls deflate or inflate; whenever the output is full,
// Grow() adds room and points the stream at it (false when it cannot). Any other stop fails.
template <class TStep, class TGrow>
bool runToStreamEnd(z_stream& zs, TStep Step, TGrow Grow) {
  for (;;) {
    const int rc = Step();
    if (rc == Z_STREAM_END) return true;
    // More room helps only when the output is what ran out; a truncated stream stops here.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || zs.avail_out != 0) return false;
    if (!Grow()) return false;
  }
}

bool fitsInt32(size_t bytes) { return bytes <= size_t(std::numeric_limits<int32_t>::max()); }

// Deflates into a scratch buffer that is neither zeroed nor touched beyond what deflate writes,
// then copies the stream out: cheaper than zero-filling a vector of the full first capacity.
bool deflateBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                   int32_t& OutSize) {
  z_stream zs{};
  if (deflateInit2(&zs, kZlibLevel, Z_DEFLATED, kZlibWindowBits, kZlibMemLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  const int64_t wanted = int64_t(InSize) + InSize / 10 + kZlibInitialSlack;
  size_t capacity = size_t(wanted / kZlibGrowStep * kZlibGrowStep);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
  zs.next_in = const_cast<Bytef*>(InBuf);
  zs.avail_in = uInt(InSize);
  zs.next_out = buffer.get();
  zs.avail_out = uInt(capacity);
  const bool ok = runToStreamEnd(zs, [&] { return deflate(&zs, Z_FINISH); }, [&] {
    if (!fitsInt32(capacity + kZlibGrowStep)) return false;
    std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity + kZlibGrowStep]);
    std::memcpy(grown.get(), buffer.get(), capacity);
    buffer = std::move(grown);
    zs.next_out = buffer.get() + capacity;
    zs.avail_out = kZlibGrowStep;
    capacity += kZlibGrowStep;
    return true;
  });
  deflateEnd(&zs);
  if (!ok) return false;
  OutSize = int32_t(zs.total_out);
  OutBuf.assign(buffer.get(), buffer.get() + OutSize);
  return OutSize >= 1;
}

bool inflateBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                   int32_t StatedSize, int32_t& OutSize) {
  if (InSize < 1) return false;
  z_stream zs{};
  if (inflateInit2(&zs, kZlibWindowBits) != Z_OK) return false;
  const size_t step = (size_t(InSize) + kZlibGrowStep - 1) / kZlibGrowStep * kZlibGrowStep;
  OutBuf.resize(size_t(StatedSize));
  zs.next_in = const_cast<Bytef*>(InBuf);
  zs.avail_in = uInt(InSize);
  zs.next_out = OutBuf.data();
  zs.avail_out = uInt(OutBuf.size());
  const bool ok = runToStreamEnd(zs, [&] { return inflate(&zs, Z_NO_FLUSH); }, [&] {
    const size_t used = OutBuf.size();
    if (!fitsInt32(used + step)) return false;
    OutBuf.resize(used + step);
    zs.next_out = OutBuf.data() + used;
    zs.avail_out = uInt(step);
    return true;
  });
  inflateEnd(&zs);
  if (!ok) return false;
  OutSize = int32_t(zs.total_out);
  OutBuf.resize(size_t(OutSize));
  return OutSize >= 1;
}

bool compressRecords(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                     const TPpmdLevel& Params, int32_t& OutSize) {
  const size_t capacity = size_t(InSize / kRecordSlackDivisor) + size_t(InSize) + kRecordSlack;
  OutBuf.assign(capacity, 0);
  std::lock_guard<std::mutex> guard(modelLock());
  ppmd::TPpmdModel& model = sharedModel();
  if (!model.SetMemorySize(Params.MemoryMB)) return false;

  size_t pos = 0;
  for (size_t start = 0; start < size_t(InSize); start += Params.ChunkSize) {
    const size_t length = std::min<size_t>(Params.ChunkSize, size_t(InSize) - start);
    const size_t head = kRecordLengthSize + kHeaderWordSize;
    if (capacity - pos < head) return false;
    storeLE32(&OutBuf[pos + kRecordLengthSize], Params.HeaderWord);
    // Throws ppmd::EPpmdStop when the record would not fit.
    const size_t coded = model.Compress(InBuf + start, length, &OutBuf[pos + head],
                                        capacity - pos - head, int(Params.Order));
    storeLE32(&OutBuf[pos], uint32_t(kHeaderWordSize + coded));
    pos += head + coded;
  }
  OutSize = int32_t(pos);
  OutBuf.resize(pos);
  return OutSize >= 1;
}

// Decodes records until the input ends or a record proves damaged; a damaged record adds
// nothing, so damage always shows as fewer bytes than stated.
bool decompressRecords(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                       int32_t StatedSize, int32_t& OutSize) {
  OutBuf.resize(size_t(StatedSize));
  size_t produced = 0;
  {
    std::lock_guard<std::mutex> guard(modelLock());
    ppmd::TPpmdModel& model = sharedModel();
    const size_t head = kRecordLengthSize + kHeaderWordSize;
    size_t pos = 0;
    const size_t end = size_t(InSize);
    while (end - pos >= head) {
      const uint32_t length = loadLE32(InBuf + pos);
      if (length < kHeaderWordSize + kCoderFlushSize || length > end - pos - kRecordLengthSize)
        break;
      const uint32_t word = loadLE32(InBuf + pos + kRecordLengthSize);
      if (HeaderWordVariant(word) != uint32_t(kPpmdVariant)) break;
      if (!model.SetMemorySize(HeaderWordMemoryMB(word))) break;
      const auto result = model.Decompress(InBuf + pos + head, length - kHeaderWordSize,
                                           OutBuf.data() + produced, OutBuf.size() - produced,
                                           int(HeaderWordOrder(word)));
      if (!result.Complete) break;
      produced += result.Produced;
      pos += kRecordLengthSize + length;
    }
  }
  OutSize = int32_t(produced);
  OutBuf.resize(produced);
  return OutSize >= 1;
}

// Runs one direction at one level; a failure, reported or thrown, leaves OutSize 0 and OutBuf
// empty.
template <class TWork>
bool guarded(std::vector<uint8_t>& OutBuf, int32_t& OutSize, TWork Work) {
  bool ok = false;
  try {
    ok = Work();
  } catch (const ppmd::EPpmdStop&) {
    ok = false;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    OutSize = 0;
    OutBuf.clear();
  }
  return ok;
}

}  // namespace

bool edCompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                      uint8_t Level, int32_t& OutSize) {
  if (InBuf == nullptr) throw Exception("edCompressBuffer - inBuf = nil");
  OutSize = 0;
  return guarded(OutBuf, OutSize, [&] {
    TPpmdLevel params{};
    if (InSize < 0) return false;
    if (Level == clFastest) return deflateBuffer(InBuf, InSize, OutBuf, OutSize);
    if (ppmdLevel(Level, params)) return compressRecords(InBuf, InSize, OutBuf, params, OutSize);
    return false;
  });
}

bool edDecompressBuffer(const uint8_t* InBuf, int32_t InSize, std::vector<uint8_t>& OutBuf,
                        uint8_t Level, int32_t& OutSize) {
  const int32_t statedSize = OutSize;
  OutSize = 0;
  if (statedSize < 1) return false;
  return guarded(OutBuf, OutSize, [&] {
    TPpmdLevel params{};
    if (InBuf == nullptr || InSize < 0) return false;
    if (Level == clFastest) return inflateBuffer(InBuf, InSize, OutBuf, statedSize, OutSize);
    if (ppmdLevel(Level, params)) return decompressRecords(InBuf, InSize, OutBuf, statedSize, OutSize);
    return false;
  });
}

}  // namespace tesvar::codec
