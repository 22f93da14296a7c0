#pragma once
// PPMd variant G: Dmitry Shkarin's PPMII model (prediction by partial matching with information
// inheritance, binary contexts with adaptive binary summaries, secondary escape estimation for
// contexts with masked symbols) driving the carryless range coder.
//
// A chunk is coded with a freshly initialised model of a given order and memory size and ends
// with an end marker: an escape through every context down past the order -1 context. When the
// memory area is exhausted the model restarts from scratch. The bytes produced match the standard
// variant G coder of the same order and memory.
//
// Model records live in the memory area (PpmdSubAllocator_internal.h) and link to each other by
// 32-bit offsets, so the model takes the same room on every platform:
//
//   State (6 bytes)     0 Symbol, 1 Freq, 2..5 Successor (context offset, 0 = none)
//   Context (12 bytes)  0..1 NumStats, 2..3 SummFreq, 4..7 Stats (offset of the state array),
//                       8..11 Suffix (offset of the next shorter context, 0 for the root)
//
// A context with one state keeps that state in place of SummFreq and Stats (bytes 2..7); a context
// with NumStats = 0 is a placeholder whose statistics are still to be built.

#include "codec/PpmdRangeCoder_internal.h"
#include "codec/PpmdSubAllocator_internal.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tesvar::codec::ppmd {

inline constexpr int kMaxModelOrder = 16;

namespace detail {

inline uint16_t load16(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  } else {
    return uint16_t(p[0] | (p[1] << 8));
  }
}
inline void store16(uint8_t* p, uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 2);
  } else {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  }
}
inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

inline constexpr ptrdiff_t kStateSize = 6;

// A state in the memory area (or in a one-state context); P == nullptr means none.
struct State {
  uint8_t* P = nullptr;

  explicit operator bool() const { return P != nullptr; }
  bool operator==(const State& other) const { return P == other.P; }
  uint8_t& Symbol() const { return P[0]; }
  uint8_t& Freq() const { return P[1]; }
  uint32_t Successor() const { return load32(P + 2); }
  void SetSuccessor(uint32_t offset) const { store32(P + 2, offset); }
  State operator+(ptrdiff_t n) const { return State{P + n * kStateSize}; }
  State operator-(ptrdiff_t n) const { return State{P - n * kStateSize}; }
  ptrdiff_t operator-(const State& other) const { return (P - other.P) / kStateSize; }
  State& operator++() { P += kStateSize; return *this; }
  State& operator--() { P -= kStateSize; return *this; }
  void CopyFrom(const State& other) const { std::memcpy(P, other.P, kStateSize); }
  void SwapWith(const State& other) const {
    uint8_t tmp[kStateSize];
    std::memcpy(tmp, P, kStateSize);
    std::memcpy(P, other.P, kStateSize);
    std::memcpy(other.P, tmp, kStateSize);
  }
};

// A copy of a state outside the memory area.
struct StateValue {
  uint8_t Symbol = 0;
  uint8_t Freq = 0;
  uint32_t Successor = 0;

  static StateValue Of(const State& s) { return {s.Symbol(), s.Freq(), s.Successor()}; }
  void StoreTo(const State& s) const {
    s.Symbol() = Symbol;
    s.Freq() = Freq;
    s.SetSuccessor(Successor);
  }
};

// A context in the memory area; P == nullptr means none.
struct Context {
  uint8_t* P = nullptr;

  explicit operator bool() const { return P != nullptr; }
  bool operator==(const Context& other) const { return P == other.P; }
  uint16_t NumStats() const { return load16(P); }
  void SetNumStats(uint32_t n) const { store16(P, uint16_t(n)); }
  uint16_t SummFreq() const { return load16(P + 2); }
  void SetSummFreq(uint32_t n) const { store16(P + 2, uint16_t(n)); }
  uint32_t StatsOffset() const { return load32(P + 4); }
  void SetStatsOffset(uint32_t offset) const { store32(P + 4, offset); }
  uint32_t SuffixOffset() const { return load32(P + 8); }
  void SetSuffixOffset(uint32_t offset) const { store32(P + 8, offset); }
  State OneState() const { return State{P + 2}; }
};

// Secondary escape estimation for contexts with masked symbols.
struct See2Context {
  uint16_t Summ = 0;
  uint8_t Shift = 0;
  uint8_t Count = 0;

  void Init(uint32_t initVal);
  uint32_t Mean();
  void Update();
};

}  // namespace detail

class TPpmdModel {
public:
  // Holds a memory area of MemoryMB MB (1..256), reallocating only when the size changes.
  // Returns false when the area cannot be allocated.
  bool SetMemorySize(uint32_t MemoryMB);
  uint32_t MemorySize() const { return FAlloc.SizeMB(); }

  // Codes In[0..InSize) plus the end marker with a fresh model of MaxOrder (1..16) into
  // Out[0..OutCapacity) and returns the number of bytes written, the coder's flush included.
  // Requires SetMemorySize to have succeeded. Throws EPpmdStop when Out is too small.
  size_t Compress(const uint8_t* In, size_t InSize, uint8_t* Out, size_t OutCapacity, int MaxOrder);

  struct TDecodeResult {
    size_t Produced = 0;    // bytes written to Out
    bool Complete = false;  // the end marker was decoded and the input consumed exactly
  };
  // Decodes In[0..InSize) with a fresh model of MaxOrder into Out[0..OutCapacity). Stops at the
  // end marker, when Out is full and another symbol follows, or when the stream proves damaged;
  // never writes beyond OutCapacity and never throws.
  TDecodeResult Decompress(const uint8_t* In, size_t InSize, uint8_t* Out, size_t OutCapacity,
                           int MaxOrder);

private:
  using Context = detail::Context;
  using State = detail::State;
  using StateValue = detail::StateValue;
  using See2Context = detail::See2Context;

  Context contextAt(uint32_t offset) const { return Context{offset ? FBase + offset : nullptr}; }
  State statesOf(const Context& c) const { return State{FBase + c.StatsOffset()}; }
  Context suffixOf(const Context& c) const { return contextAt(c.SuffixOffset()); }
  Context successorOf(const State& s) const { return contextAt(s.Successor()); }
  uint32_t offsetOf(const Context& c) const { return c.P ? uint32_t(c.P - FBase) : 0; }
  uint32_t offsetOf(const State& s) const { return uint32_t(s.P - FBase); }

  void startModel();
  void clearMask();
  void rescale(const Context& c);
  bool makeRoot(unsigned SkipCount, State P1);
  void updateModel();
  void update1(const Context& c, State p);
  void update2(const Context& c, State p);
  See2Context* makeEscFreq2(const Context& c, int Diff, uint32_t& Scale);
  uint16_t& binSumm(const Context& c, const State& rs);
  void afterSymbol();

  void binSymbolFound(const State& rs, uint16_t& bs);
  void binSymbolEscaped(const State& rs, uint16_t& bs);
  void firstSymbolFound(const Context& c, const State& p, uint32_t Scale);
  void symbol1Escaped(const Context& c);
  void sumUnmasked(const uint8_t* S, const uint8_t* End, uint32_t& Total, uint32_t& Count) const;
  template <class TVisit>
  uint8_t* scanFirstUnmasked(const Context& c, int Diff, uint32_t& Total, TVisit Visit);
  void symbol2Escaped(const Context& c, See2Context* See, uint32_t Scale, uint8_t* Last);

  void encodeBinSymbol(TPpmdRangeEncoder& Coder, int Symbol);
  void encodeSymbol1(TPpmdRangeEncoder& Coder, int Symbol);
  void encodeSymbol2(TPpmdRangeEncoder& Coder, int Symbol);
  void decodeBinSymbol(TPpmdRangeDecoder& Coder);
  void decodeSymbol1(TPpmdRangeDecoder& Coder);
  void decodeSymbol2(TPpmdRangeDecoder& Coder);
  bool escapeToShorterContext();

  TPpmdSubAllocator FAlloc;
  uint8_t* FBase = nullptr;

  Context FMinContext, FMedContext, FMaxContext;
  State FFoundState;
  int FNumMasked = 0;
  int FInitEsc = 0;
  int FOrderFall = 0;
  int FMaxOrder = 0;
  uint8_t FPrevSuccess = 0;
  // Symbols masked by the escapes of the symbol being coded: kMasked, else kUnmasked (all bits
  // set, so that "freq & mask" keeps the frequency of unmasked symbols only).
  static constexpr uint8_t kMasked = 0x00;
  static constexpr uint8_t kUnmasked = 0xFF;
  uint8_t FCharMask[256] = {};
  uint16_t FBinSumm[128][16] = {};
  See2Context FSee2Cont[43][8] = {};
  // The binary summaries and secondary escape estimates of a freshly started model.
  struct TInitialSummaries {
    TInitialSummaries();
    uint16_t BinSumm[128][16];
    See2Context See2Cont[43][8];
  };
  See2Context FDummySee2;
};

}  // namespace tesvar::codec::ppmd
