#include "container/PageRunIO_internal.h"

#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"

#include <algorithm>
#include <cstring>

namespace tesvar::container {

TPageRunIO::TPageRunIO(TPageFileManager& PageFile, int32_t MaxPages)
    : FPageFile(PageFile),
      FMaxPages(static_cast<int32_t>(std::clamp<int64_t>(
          MaxPages, 1, std::max<int64_t>(1, kMaxRunBytes / std::max(PageFile.Header().PageSize, 1))))),
      FAheadPages(static_cast<int32_t>(
          std::clamp<int64_t>(kReadAheadBytes / std::max(PageFile.Header().PageSize, 1), 1, FMaxPages))),
      FSources(static_cast<size_t>(FMaxPages)),
      FDests(static_cast<size_t>(FMaxPages)) {}

void TPageRunIO::ProvideBuffer(int32_t Pages) {
  if (Pages <= FBufferPages) return;
  // Grown in powers of two, so that runs of growing length reallocate rarely.
  int32_t Room = std::max(FBufferPages, 1);
  while (Room < Pages) Room *= 2;
  Room = std::min(Room, FMaxPages);
  FHeldPages = 0;
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

TPageRunIO::~TPageRunIO() {
  if (FNextPages != 0) (void)FPageFile.FinishReadImages(FNextBuffer);
}

int32_t TPageRunIO::WriteRun(int32_t FirstPage, int32_t Count, const uint8_t* const* Sources, uint8_t EncryptionType,
                             const std::string& Key) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  ProvideBuffer(Count);
  FHeldPages = 0;
  FPageFile.SetLastError(ceOk);
  TPageHeader Header;
  Header.PageType = ptUserData;
  Header.EncryptionType = EncryptionType;
  for (int32_t I = 0; I < Count; ++I) {
    if (!FPageFile.EncodePage(FBuffer + I * PageSize, Header, Sources[I], Key, FPageFile.PageDataSize())) return 0;
  }
  // Every page size leaves no gap after the data (PageSize = 32 + D), so the run is contiguous.
  const int64_t Written = FPageFile.WriteImages(FirstPage, FBuffer, Count * PageSize);
  const int32_t Whole = static_cast<int32_t>(Written / PageSize);
  if (Whole < Count) FPageFile.SetLastError(TPageFileManager::ShortWriteError(Written - Whole * PageSize));
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

int32_t TPageRunIO::HeldPages(int32_t PageNo, int32_t Count) const {
  if (FHeldPages == 0 || FPageFile.HostFile().ChangeCount() != FHeldChange) return 0;
  if (PageNo < FHeldFirst || PageNo - FHeldFirst >= FHeldPages) return 0;
  return std::min(Count, FHeldFirst + FHeldPages - PageNo);
}

int64_t TPageRunIO::ReadAhead(int32_t PageNo, int32_t Count) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  ProvideBuffer(Count);
  FHeldPages = 0;
  const int64_t Got = FPageFile.ReadImages(PageNo, FBuffer, Count * PageSize);
  FHeldFirst = PageNo;
  FHeldPages = static_cast<int32_t>(std::min<int64_t>(Got / PageSize, Count));
  FHeldChange = FPageFile.HostFile().ChangeCount();
  return Got;
}

int32_t TPageRunIO::ReadRun(int32_t FirstPage, int32_t Count, uint8_t* const* Dests, const std::string& Key,
                            int32_t AheadPages) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  const int32_t D = FPageFile.PageDataSize();
  Count = std::clamp<int32_t>(Count, 0, FMaxPages);
  FPageFile.SetLastError(ceOk);
  TPageHeader Header;
  int32_t Done = 0;
  while (Done < Count) {
    int32_t Held = HeldPages(FirstPage + Done, Count - Done);
    // Bytes of the run's page at which a read-ahead transfer stopped short (-1: it did not).
    int64_t StoppedAt = -1;
    if (Held == 0) {
      // A run as long as a read-ahead transfer gains nothing from one (ReadDirect reads it in
      // long transfers).
      if (AheadPages <= 0 || Count - Done >= FAheadPages) break;
      const int64_t Wanted = std::min<int64_t>(int64_t{Count - Done} + AheadPages, FAheadPages);
      // The background transfer may have brought the pages; it stands for the transfer the run
      // would make now, failures included.
      bool Complete = false;
      int64_t Got = TakeNext(FirstPage + Done, Complete);
      if (Got < 0) Got = ReadAhead(FirstPage + Done, static_cast<int32_t>(Wanted));
      Held = HeldPages(FirstPage + Done, Count - Done);
      // The run fails where the transfer stopped, as a direct read does (no second try); a run
      // beyond a complete background transfer goes on with the next.
      if (Held < Count - Done && !Complete) StoppedAt = Got - int64_t{Held} * PageSize;
      // The reader's pages after the held ones (as far as the caller knows them) come while
      // these are decoded, when all that was asked for came.
      const int32_t Next = FHeldFirst + FHeldPages;
      const int32_t Known = FirstPage + Count + AheadPages - Next;
      if (StoppedAt < 0 && Known > 0 && (Complete || FHeldPages >= Wanted)) {
        StartNext(Next, std::min(Known, FAheadPages));
      }
    }
    // Decoding leaves the images as they are: Dests never lie in the staging buffer.
    uint8_t* Images = FBuffer + static_cast<int64_t>(FirstPage + Done - FHeldFirst) * PageSize;
    for (int32_t I = 0; I < Held; ++I) {
      if (Dests[Done + I] == nullptr) continue;
      if (!FPageFile.DecodePage(Images + I * PageSize, Header, Dests[Done + I], false, Key, D)) return Done + I;
    }
    Done += Held;
    if (StoppedAt >= 0) {
      FPageFile.SetLastError(TPageFileManager::ShortReadError(StoppedAt));
      return Done;
    }
  }
  if (Done == Count) return Count;
  return Done + ReadDirect(FirstPage + Done, Count - Done, Dests + Done, Key);
}

void TPageRunIO::StartNext(int32_t PageNo, int32_t Count) {
  if (FNextPages != 0) {
    (void)FPageFile.FinishReadImages(FNextBuffer);
    FNextPages = 0;
  }
  if (FNextBufferPages < FAheadPages) {
    FNextStorage = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(FAheadPages) *
                                                                 static_cast<size_t>(FPageFile.Header().PageSize) +
                                                             kCacheLine);
    FNextBuffer = FNextStorage.get() + LineLead(FNextStorage.get(), 0);
    FNextBufferPages = FAheadPages;
  }
  FNextFirst = PageNo;
  FNextPages = Count;
  FPageFile.StartReadImages(PageNo, FNextBuffer, int64_t{Count} * FPageFile.Header().PageSize);
}

int64_t TPageRunIO::TakeNext(int32_t PageNo, bool& Complete) {
  Complete = false;
  if (FNextPages == 0 || PageNo < FNextFirst || PageNo - FNextFirst >= FNextPages) return -1;
  const int64_t PageSize = FPageFile.Header().PageSize;
  const int32_t Asked = FNextPages;
  FNextPages = 0;
  const int64_t Got = FPageFile.FinishReadImages(FNextBuffer);
  if (Got < 0) return -1;
  std::swap(FStorage, FNextStorage);
  std::swap(FBuffer, FNextBuffer);
  std::swap(FBufferPages, FNextBufferPages);
  FHeldFirst = FNextFirst;
  FHeldPages = static_cast<int32_t>(std::min<int64_t>(Got / PageSize, Asked));
  FHeldChange = FPageFile.HostFile().ChangeCount();
  Complete = FHeldPages == Asked;
  // A transfer that stopped before PageNo stopped at its start, as far as PageNo's run is concerned.
  return std::max<int64_t>(Got - int64_t{PageNo - FNextFirst} * PageSize, 0);
}

int32_t TPageRunIO::ReadDirect(int32_t FirstPage, int32_t Count, uint8_t* const* Dests, const std::string& Key) {
  const int64_t PageSize = FPageFile.Header().PageSize;
  const int32_t D = FPageFile.PageDataSize();
  ProvideBuffer(std::min(Count, kReadBatchPages));  // the staging buffer's batches
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
      FHeldPages = 0;
    }
    const int64_t Got = FPageFile.ReadImages(FirstPage + First, Images, Batch * PageSize);
    for (int32_t I = 0; I < Batch; ++I) {
      const int64_t Start = I * PageSize;
      if (Got < Start + kPageHeaderSize + D) {
        FPageFile.SetLastError(TPageFileManager::ShortReadError(Got - Start));
        return First + I;
      }
      if (Dests[First + I] == nullptr) continue;
      if (!FPageFile.DecodePage(Images + Start, Header, Dests[First + I], false, Key, D)) return First + I;
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
