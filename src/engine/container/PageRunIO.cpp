#include "container/PageRunIO_internal.h"

#include "codec/Checksums.h"
#include "codec/TCipher_Rijndael.h"
#include "container/CFSBytes_internal.h"
#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"

#include <algorithm>
#include <cstring>

namespace tesvar::container {

TPageRunIO::TPageRunIO(TPageFileManager& PageFile, int32_t MaxPages)
    : FPageFile(PageFile),
      FMaxPages(static_cast<int32_t>(std::clamp<int64_t>(
          MaxPages, 1, std::max<int64_t>(1, kMaxRunBytes / std::max(PageFile.Header().PageSize, 1))))),
      FSources(static_cast<size_t>(FMaxPages)),
      FDests(static_cast<size_t>(FMaxPages)) {}

void TPageRunIO::ProvideBuffer(int32_t Pages) {
  if (Pages <= FBufferPages) return;
  // Grown in powers of two, so that runs of growing length reallocate rarely.
  int32_t Room = std::max(FBufferPages, 1);
  while (Room < Pages) Room *= 2;
  Room = std::min(Room, FMaxPages);
  FStorage = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(Room) *
                                                           static_cast<size_t>(FPageFile.Header().PageSize) +
                                                       kCacheLine);
  FBuffer = FStorage.get() + LineLead(FStorage.get(), 0);
  FBufferPages = Room;
}

// Page images sit at the same offset within a cache line as their place in the host's first part
// file, so the system copies between them and its file cache line by line (about 15% faster here
// than between lines at different offsets).
size_t TPageRunIO::LineLead(const uint8_t* Memory, int32_t PageNo) const {
  const int64_t Place = FPageFile.HostFile().StartOffset() + kPartHeaderSize + int64_t{PageNo} * FPageFile.Header().PageSize;
  const auto Want = static_cast<uintptr_t>(Place) % kCacheLine;
  const auto Have = reinterpret_cast<uintptr_t>(Memory) % kCacheLine;
  return (Want + kCacheLine - Have) % kCacheLine;
}

TPageRunIO::~TPageRunIO() = default;

bool TPageRunIO::EncodePage(uint8_t* Page, const TPageHeader& Header, const uint8_t* Data, int32_t Size,
                            const std::string& Key) {
  uint8_t* PageData = Page + kPageHeaderSize;
  if (!Data) {
    std::memset(PageData, 0, static_cast<size_t>(Size));
  } else if (Header.EncryptionType == etPageCipher) {
    codec::TCipher_Rijndael* Cipher = FPageFile.Cipher(Key);
    if (!Cipher) {
      FPageFile.SetLastError(cePageEncrypt);
      return false;
    }
    Cipher->EncodeBuffer(Data, PageData, static_cast<size_t>(Size));
  } else if (Header.EncryptionType != etNone) {
    throw Exception("TPageFileManager.EncodeBuffer - Unknown encryption type");
  }
  uint32_t Sum = 0;
  if (Data && Header.EncryptionType == etNone && Header.ChecksumKind == codec::kChecksumXorDwords) {
    Sum = codec::CopyXorDwords(Data, PageData, static_cast<size_t>(Size));
  } else {
    if (Data && Header.EncryptionType == etNone) std::memcpy(PageData, Data, static_cast<size_t>(Size));
    Sum = codec::CalcChecksum(PageData, static_cast<size_t>(Size), Header.ChecksumKind);
  }
  TPageHeader Stored = Header;
  Stored.Checksum = Sum;
  if (!Data) Stored.EncryptionType = etNone;
  TPageFileManager::EncodePageHeader(Stored, Page);
  return true;
}

bool TPageRunIO::DecodePage(uint8_t* Page, TPageHeader& Header, uint8_t* Data, int32_t Size, const std::string& Key) {
  TPageFileManager::DecodePageHeader(Page, Header);
  uint8_t* PageData = Page + kPageHeaderSize;
  if (Header.EncryptionType == etNone && Header.ChecksumKind == codec::kChecksumXorDwords) {
    // Plain pages: copied and verified in one pass (the copy is undefined when it fails).
    if (codec::CopyXorDwords(PageData, Data, static_cast<size_t>(Size)) == Header.Checksum) return true;
    FPageFile.SetLastError(cePageChecksum);
    return false;
  }
  if ((Header.ChecksumKind == codec::kChecksumXorDwords || Header.ChecksumKind == codec::kChecksumCrc16) &&
      codec::CalcChecksum(PageData, static_cast<size_t>(Size), Header.ChecksumKind) != Header.Checksum) {
    FPageFile.SetLastError(cePageChecksum);
    return false;
  }
  if (Header.EncryptionType == etNone) {
    std::memmove(Data, PageData, static_cast<size_t>(Size));
    return true;
  }
  codec::TCipher_Rijndael* Cipher = Header.EncryptionType == etPageCipher ? FPageFile.Cipher(Key) : nullptr;
  if (!Cipher) {
    FPageFile.SetLastError(cePageDecrypt);
    return false;
  }
  // The cipher takes the same buffer or two apart: an image that overlaps its destination is
  // decrypted where it lies and then moved down.
  const auto To = reinterpret_cast<uintptr_t>(Data);
  const auto From = reinterpret_cast<uintptr_t>(PageData);
  if (To + static_cast<uintptr_t>(Size) <= From || From + static_cast<uintptr_t>(Size) <= To || To == From) {
    Cipher->DecodeBuffer(PageData, Data, static_cast<size_t>(Size));
  } else {
    Cipher->DecodeBuffer(PageData, PageData, static_cast<size_t>(Size));
    std::memmove(Data, PageData, static_cast<size_t>(Size));
  }
  return true;
}

int64_t TPageRunIO::Put(int32_t PageNo, int64_t Bytes) {
  if (FPageFile.ReadOnly() || PageNo < 0) return 0;
  TCFSHugeFile& Host = FPageFile.HostFile();
  Host.Seek(PageNo * static_cast<int64_t>(FPageFile.Header().PageSize), 0);
  return std::max<int64_t>(Host.Write(FBuffer, Bytes), 0);
}

int64_t TPageRunIO::Get(int32_t PageNo, uint8_t* Images, int64_t Bytes) {
  TCFSHugeFile& Host = FPageFile.HostFile();
  const int64_t Offset = PageNo * static_cast<int64_t>(FPageFile.Header().PageSize);
  if (PageNo < 0 || Offset > Host.GetSize()) return 0;
  Host.Seek(Offset, 0);
  return std::max<int64_t>(Host.Read(Images, Bytes), 0);
}

bool TPageRunIO::WritePage(TPageHeader& Header, int32_t PageNo, int32_t Size, const std::string& Key) {
  ProvideBuffer(1);
  const int32_t D = FPageFile.PageDataSize();
  Size = Size < 0 ? D : std::min(Size, D);
  FPageFile.SetLastError(ceOk);
  if (!EncodePage(FBuffer, Header, Header.Data, Size, Key)) return false;
  Header.Checksum = getLE32(FBuffer + kPageChecksumOffset);
  const int64_t Written = Put(PageNo, kPageHeaderSize + Size);
  if (Written < kPageHeaderSize + Size) {
    FPageFile.SetLastError(Written < kPageHeaderSize ? cePageHeaderWrite : cePageDataWrite);
    return false;
  }
  return true;
}

bool TPageRunIO::ReadPage(TPageHeader& Header, int32_t PageNo, int32_t Size, const std::string& Key) {
  ProvideBuffer(1);
  const int32_t D = FPageFile.PageDataSize();
  Size = Size < 0 ? D : std::min(Size, D);
  FPageFile.SetLastError(ceOk);
  const int64_t Got = Get(PageNo, FBuffer, kPageHeaderSize + Size);
  if (Got < kPageHeaderSize + Size) {
    FPageFile.SetLastError(Got < kPageHeaderSize ? cePageHeaderRead : cePageDataRead);
    return false;
  }
  if (!Header.Data) throw Exception("TPageFileManager.ReadPage - pData is nil.");
  return DecodePage(FBuffer, Header, Header.Data, Size, Key);
}

int32_t TPageRunIO::WriteRun(int32_t FirstPage, int32_t Count, const uint8_t* const* Sources, uint8_t EncryptionType,
                             const std::string& Key) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  ProvideBuffer(Count);
  FPageFile.SetLastError(ceOk);
  TPageHeader Header;
  Header.PageType = ptUserData;
  Header.EncryptionType = EncryptionType;
  for (int32_t I = 0; I < Count; ++I) {
    if (!EncodePage(FBuffer + I * PageSize, Header, Sources[I], FPageFile.PageDataSize(), Key)) return 0;
  }
  // Every page size leaves no gap after the data (PageSize = 32 + D), so the run is contiguous.
  const int64_t Written = Put(FirstPage, Count * PageSize);
  const int32_t Whole = static_cast<int32_t>(Written / PageSize);
  if (Whole < Count) {
    FPageFile.SetLastError(Written - Whole * PageSize < kPageHeaderSize ? cePageHeaderWrite : cePageDataWrite);
  }
  return Whole;
}

int32_t TPageRunIO::WriteRun(int32_t FirstPage, int32_t Count, const uint8_t* Data, uint8_t EncryptionType,
                             const std::string& Key) {
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  const int64_t D = FPageFile.PageDataSize();
  for (int32_t I = 0; I < Count; ++I) FSources[I] = Data + I * D;
  return WriteRun(FirstPage, Count, FSources.data(), EncryptionType, Key);
}

int32_t TPageRunIO::WriteZeroRun(int32_t FirstPage, int32_t Count) {
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  std::fill_n(FSources.begin(), Count, nullptr);
  return WriteRun(FirstPage, Count, FSources.data(), etNone, {});
}

int32_t TPageRunIO::InPlaceBatch(int32_t PageNo, uint8_t* const* Dests, int32_t Count, size_t& Lead) const {
  const int64_t PageSize = FPageFile.Header().PageSize;
  const int64_t D = FPageFile.PageDataSize();
  Lead = LineLead(Dests[0], PageNo);
  // Destinations that follow one another, as far as a batch's images could reach.
  const int32_t Limit = std::min(Count, 2 * kStraightReadPages);
  // (Compared as addresses: the destinations may lie in separate objects.)
  const auto First = reinterpret_cast<uintptr_t>(Dests[0]);
  int32_t Joined = 1;
  while (Joined < Limit && reinterpret_cast<uintptr_t>(Dests[Joined]) == First + static_cast<uintptr_t>(Joined * D)) ++Joined;
  const int32_t Full = std::min(Joined, kStraightReadPages);
  const auto Fit = static_cast<int32_t>(std::min<int64_t>(Full, (Joined * D - static_cast<int64_t>(Lead)) / PageSize));
  return Fit == Full || Fit >= kMinInPlacePages ? Fit : 0;
}

int32_t TPageRunIO::ReadRun(int32_t FirstPage, int32_t Count, uint8_t* const* Dests, const std::string& Key) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  const int32_t D = FPageFile.PageDataSize();
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  ProvideBuffer(std::min(Count, kReadBatchPages));  // the staging buffer's batches
  FPageFile.SetLastError(ceOk);
  TPageHeader Header;
  // Where the destinations follow one another and hold the images, the host reads a batch of
  // them straight into the caller's memory (up to a cache line above the first destination, see
  // LineLead) and each page's data moves down to its place (the images cover destinations of later
  // pages, which their own batch overwrites). Otherwise the images come into the staging buffer,
  // in batches small enough to be still in the processor's cache when they are verified and
  // copied out.
  for (int32_t First = 0; First < Count;) {
    size_t Lead = 0;
    int32_t Batch = InPlaceBatch(FirstPage + First, Dests + First, Count - First, Lead);
    uint8_t* Images = Dests[First] + Lead;
    if (Batch == 0) {
      // Through the staging buffer, as far as the next page a batch could read straight.
      const int32_t Most = std::min(kReadBatchPages, Count - First);
      Batch = 1;
      while (Batch < Most && InPlaceBatch(FirstPage + First + Batch, Dests + First + Batch, Count - First - Batch, Lead) == 0) {
        ++Batch;
      }
      Images = FBuffer;
    }
    const int64_t Got = Get(FirstPage + First, Images, Batch * PageSize);
    for (int32_t I = 0; I < Batch; ++I) {
      const int64_t Start = I * PageSize;
      if (Got < Start + kPageHeaderSize + D) {
        FPageFile.SetLastError(Got < Start + kPageHeaderSize ? cePageHeaderRead : cePageDataRead);
        return First + I;
      }
      if (!DecodePage(Images + Start, Header, Dests[First + I], D, Key)) return First + I;
    }
    First += Batch;
  }
  return Count;
}

int32_t TPageRunIO::ReadRun(int32_t FirstPage, int32_t Count, uint8_t* Data, const std::string& Key) {
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  const int64_t D = FPageFile.PageDataSize();
  for (int32_t I = 0; I < Count; ++I) FDests[I] = Data + I * D;
  return ReadRun(FirstPage, Count, FDests.data(), Key);
}

}  // namespace tesvar::container
