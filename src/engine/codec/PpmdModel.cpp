#include "codec/PpmdModel_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <iterator>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace tesvar::codec::ppmd {

namespace {

constexpr int kIntBits = 7;
constexpr int kPeriodBits = 7;
constexpr unsigned kTotBits = kIntBits + kPeriodBits;  // total frequency bits of binary contexts
constexpr uint32_t kInterval = 1u << kIntBits;
constexpr uint32_t kBinScale = 1u << kTotBits;
constexpr uint32_t kMaxFreq = 124;

// Initial escape estimates of binary contexts, one per summary column.
constexpr uint16_t kInitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545,
                                      0x63D1, 0x5D9D, 0x64A1, 0x5ABC, 0x6632, 0x6051,
                                      0x68F6, 0x549B, 0x6BCA, 0x3AB0};

// Escape frequency of a new multi-symbol context, from the escape estimate of the binary
// context it grew from (exponential symbol distribution).
constexpr uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

// Row of the secondary escape table for a context with n + 1 unmasked symbols.
constexpr std::array<uint8_t, 256> kNS2Indx = [] {
  std::array<uint8_t, 256> t{};
  for (int n = 0; n < 256; ++n) {
    if (n < 4) t[n] = uint8_t(n);
    else if (n < 12) t[n] = uint8_t(4 + ((n - 4) >> 1));
    else if (n < 44) t[n] = uint8_t(8 + ((n - 12) >> 2));
    else t[n] = uint8_t(16 + ((n - 44) >> 3));
  }
  return t;
}();
static_assert(kNS2Indx[255] == 42);

// Column pair of the binary summaries for a suffix with n + 1 symbols.
constexpr std::array<uint8_t, 256> kNS2BSIndx = [] {
  std::array<uint8_t, 256> t{};
  for (int n = 0; n < 256; ++n) t[n] = uint8_t(n < 6 ? 2 * n : n < 50 ? 12 : 14);
  return t;
}();

// The state of Symbol among the Count states from First; none when no state holds it.
detail::State findState(detail::State First, uint32_t Count, uint8_t Symbol) {
  constexpr ptrdiff_t step = detail::kStateSize;
  uint8_t* s = First.P;
  uint8_t* const end = s + ptrdiff_t(Count) * step;
#if defined(__SSE2__) || defined(_M_X64)
  // Eight states (48 bytes) per round: one bit per byte equal to Symbol, kept where a state
  // starts.
  constexpr uint64_t kSymbolBytes = 0x041041041041ull;
  const __m128i wanted = _mm_set1_epi8(char(Symbol));
  for (; end - s >= 8 * step; s += 8 * step) {
    const auto equal = [&](int at) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + at));
      return uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted))));
    };
    const uint64_t hits = (equal(0) | equal(16) << 16 | equal(32) << 32) & kSymbolBytes;
    if (hits != 0) return detail::State{s + std::countr_zero(hits)};
  }
#endif
  for (; s != end; s += step)
    if (s[0] == Symbol) return detail::State{s};
  return detail::State{};
}

// Rounded mean of a binary summary over its period.
inline uint32_t binMean(uint32_t summ) { return (summ + (1u << (kPeriodBits - 2))) >> kPeriodBits; }

}  // namespace

namespace detail {

void See2Context::Init(uint32_t initVal) {
  Shift = kPeriodBits - 4;
  Summ = uint16_t(initVal << Shift);
  Count = 3;
}

uint32_t See2Context::Mean() {
  uint32_t value = Summ >> Shift;
  Summ = uint16_t(Summ - value);
  value &= 0x03FF;
  return value + (value == 0);
}

void See2Context::Update() {
  if (Shift < kPeriodBits && --Count == 0) {
    Summ = uint16_t(Summ + Summ);
    Count = uint8_t(3 << Shift++);
  }
}

}  // namespace detail

bool TPpmdModel::SetMemorySize(uint32_t MemoryMB) {
  const bool ok = MemoryMB >= 1 && FAlloc.Reserve(MemoryMB);
  FBase = FAlloc.Base();
  return ok;
}

TPpmdModel::TInitialSummaries::TInitialSummaries() {
  for (int i = 0; i < 128; ++i)
    for (int k = 0; k < 16; ++k) BinSumm[i][k] = uint16_t(kBinScale - kInitBinEsc[k] / (i + 2));
  for (int i = 0; i < 43; ++i)
    for (int k = 0; k < 8; ++k) See2Cont[i][k].Init(4 * i + 10);
}

void TPpmdModel::clearMask() { std::memset(FCharMask, kUnmasked, sizeof(FCharMask)); }

void TPpmdModel::startModel() {
  FAlloc.Init();

  // The order 0 context holds every byte once; the order -1 context is implied by its escape.
  Context root = contextAt(FAlloc.AllocContext());
  root.SetSuffixOffset(0);
  root.SetNumStats(256);
  root.SetSummFreq(256 + 1);
  root.SetStatsOffset(FAlloc.AllocUnits(256 / 2));
  const State first = statesOf(root);
  for (int i = 0; i < 256; ++i) {
    const State s = first + i;
    s.Symbol() = uint8_t(i);
    s.Freq() = 1;
    s.SetSuccessor(0);
  }

  // A chain of contexts of symbol 0 up to the model order, the last one a placeholder.
  FPrevSuccess = 0;
  FOrderFall = 1;
  FMaxContext = root;
  State link = first;
  for (int order = 1;; ++order) {
    const Context c = contextAt(FAlloc.AllocContext());
    c.SetNumStats(1);
    c.SetSuffixOffset(offsetOf(FMaxContext));
    link.SetSuccessor(offsetOf(c));
    FMaxContext = c;
    if (order == FMaxOrder) break;
    link = c.OneState();
    link.Symbol() = 0;
    link.Freq() = 1;
  }
  FMaxContext.SetNumStats(0);
  FMedContext = FMinContext = suffixOf(FMaxContext);

  // Every chunk starts from the same summaries: copied from tables built once.
  static const TInitialSummaries initial;
  std::memcpy(FBinSumm, initial.BinSumm, sizeof(FBinSumm));
  std::memcpy(FSee2Cont, initial.See2Cont, sizeof(FSee2Cont));
  FDummySee2 = See2Context{};
  FDummySee2.Shift = kPeriodBits;  // never adapts

  FInitEsc = 0;
  FNumMasked = 0;
  FFoundState = State{};
  clearMask();
}

// Halves the frequencies of a context whose found symbol passed kMaxFreq, keeps the states
// sorted by frequency, drops states that fell to 0 and leaves the found state first.
void TPpmdModel::rescale(const Context& c) {
  const uint32_t oldNumStats = c.NumStats();
  const State stats = statesOf(c);
  for (State p = FFoundState; !(p == stats); --p) p.SwapWith(p - 1);

  stats.Freq() += 4;
  c.SetSummFreq(c.SummFreq() + 4);
  int escFreq = int(c.SummFreq()) - stats.Freq();
  const int adder = FOrderFall != 0;
  stats.Freq() = uint8_t((stats.Freq() + adder) >> 1);
  uint32_t summFreq = stats.Freq();

  State p = stats;
  for (uint32_t i = oldNumStats - 1; i != 0; --i) {
    ++p;
    escFreq -= p.Freq();
    p.Freq() = uint8_t((p.Freq() + adder) >> 1);
    summFreq += p.Freq();
    if (p.Freq() > (p - 1).Freq()) {
      const StateValue moving = StateValue::Of(p);
      State hole = p;
      do {
        hole.CopyFrom(hole - 1);
        --hole;
      } while (!(hole == stats) && moving.Freq > (hole - 1).Freq());
      moving.StoreTo(hole);
    }
  }

  uint32_t numStats = oldNumStats;
  if (p.Freq() == 0) {
    uint32_t zeros = 0;
    do {
      ++zeros;
      --p;
    } while (p.Freq() == 0);
    escFreq += int(zeros);
    numStats -= zeros;
    c.SetNumStats(numStats);
    if (numStats == 1) {
      StateValue only = StateValue::Of(stats);
      do {
        only.Freq = uint8_t(only.Freq - (only.Freq >> 1));
        escFreq >>= 1;
      } while (escFreq > 1);
      FAlloc.FreeUnits(c.StatsOffset(), (oldNumStats + 1) >> 1);
      FFoundState = c.OneState();
      only.StoreTo(FFoundState);
      return;
    }
  }

  escFreq -= escFreq >> 1;
  c.SetSummFreq(summFreq + uint32_t(escFreq));
  const uint32_t oldUnits = (oldNumStats + 1) >> 1;
  const uint32_t newUnits = (numStats + 1) >> 1;
  if (oldUnits != newUnits) c.SetStatsOffset(FAlloc.ShrinkUnits(c.StatsOffset(), oldUnits, newUnits));
  FFoundState = statesOf(c);
}

// Builds the contexts still missing between the found state's placeholder successor and the
// shorter contexts (the successors of the found symbol's states in the suffix chain), giving the
// new one-state contexts an inherited frequency. Returns false when memory runs out.
bool TPpmdModel::makeRoot(unsigned SkipCount, State P1) {
  Context pc = FMinContext;
  const Context upBranch = successorOf(FFoundState);
  const uint32_t upOffset = offsetOf(upBranch);
  const uint8_t symbol = FFoundState.Symbol();

  // Left uninitialised: only the first count entries are ever read.
  uint8_t* pending[kMaxModelOrder + 2];
  int count = 0;
  auto push = [&](const State& s) {
    if (count == int(std::size(pending))) throw EPpmdStop();
    pending[count++] = s.P;
  };
  auto shorter = [&](const Context& c) {
    const Context s = suffixOf(c);
    if (!s) throw EPpmdStop();
    return s;
  };

  bool walk = true;
  if (SkipCount == 0) {
    push(FFoundState);
    if (pc.SuffixOffset() == 0) walk = false;
  } else if (SkipCount == 2) {
    pc = shorter(pc);
  }

  if (walk) {
    State p;
    bool haveState = false;
    if (P1) {
      p = P1;
      pc = shorter(pc);
      haveState = true;
    }
    for (;;) {
      if (!haveState) {
        pc = shorter(pc);
        const uint32_t n = pc.NumStats();
        if (n == 1) {
          p = pc.OneState();
        } else {
          if (n == 0) throw EPpmdStop();
          p = findState(statesOf(pc), n, symbol);
          if (!p) throw EPpmdStop();
        }
      }
      haveState = false;
      if (p.Successor() != upOffset) {
        pc = successorOf(p);
        if (!pc) throw EPpmdStop();
        break;
      }
      push(p);
      if (pc.SuffixOffset() == 0) break;
    }
  }

  const State upState = upBranch.OneState();
  const uint32_t n = pc.NumStats();
  if (n != 1) {
    if (n == 0) throw EPpmdStop();
    const State p = findState(statesOf(pc), n, upState.Symbol());
    if (!p) throw EPpmdStop();
    const uint32_t cf = p.Freq() - 1u;
    const uint32_t s0 = uint32_t(pc.SummFreq()) - n - cf;
    uint32_t freq;
    if (2 * cf <= s0) {
      freq = 1 + (5 * cf > s0);
    } else {
      if (s0 == 0) throw EPpmdStop();
      freq = 1 + (2 * cf + 3 * s0 - 1) / (2 * s0);
    }
    upState.Freq() = uint8_t(freq);
  } else {
    upState.Freq() = pc.OneState().Freq();
  }

  while (count > 0) {
    const State s{pending[--count]};
    const uint32_t offset = FAlloc.AllocContext();
    if (offset == 0) return false;
    const Context c = contextAt(offset);
    c.SetNumStats(1);
    c.SetSuffixOffset(offsetOf(pc));
    s.SetSuccessor(offset);
    c.OneState().CopyFrom(upState);
    pc = c;
  }
  if (FOrderFall == 0) {
    upBranch.SetNumStats(1);
    upBranch.SetSuffixOffset(offsetOf(pc));
  }
  return true;
}

void TPpmdModel::updateModel() {
  const StateValue fs = StateValue::Of(FFoundState);

  // Symbol statistics of the suffix follow the symbol found in the shorter context.
  State p1;
  if (fs.Freq < kMaxFreq / 4) {
    const Context pc = suffixOf(FMinContext);
    if (pc) {
      const uint32_t n = pc.NumStats();
      if (n != 1) {
        if (n == 0) throw EPpmdStop();
        State p = statesOf(pc);
        if (p.Symbol() != fs.Symbol) {
          p = findState(p + 1, n - 1, fs.Symbol);
          if (!p) throw EPpmdStop();
          if (p.Freq() >= (p - 1).Freq()) {
            p.SwapWith(p - 1);
            --p;
          }
        }
        if (p.Freq() < 7 * kMaxFreq / 8) {
          p.Freq() += 2;
          pc.SetSummFreq(pc.SummFreq() + 2);
        }
        p1 = p;
      } else {
        p1 = pc.OneState();
        p1.Freq() += (p1.Freq() < 32);
      }
    }
  }

  auto grow = [&]() -> bool {
    if (FOrderFall == 0) {
      if (!makeRoot(2, State{})) return false;
      FMinContext = FMedContext = contextAt(fs.Successor);
      return true;
    }
    unsigned skipCount = 0;
    Context successor;
    if (--FOrderFall == 0) {
      successor = contextAt(fs.Successor);
      skipCount = 1;
    } else {
      const uint32_t offset = FAlloc.AllocContext();
      if (offset == 0) return false;
      successor = contextAt(offset);
      std::memset(successor.P, 0, kUnitSize);  // a placeholder: NumStats 0
    }
    if (!FMaxContext) throw EPpmdStop();
    if (FMaxContext.NumStats() == 0) {
      FMaxContext.OneState().Symbol() = fs.Symbol;
      FMaxContext.OneState().SetSuccessor(offsetOf(successor));
    }

    // Every context that escaped learns the symbol.
    const uint32_t ns = FMinContext.NumStats();
    const uint32_t s0 = uint32_t(FMinContext.SummFreq()) - ns - (uint32_t(fs.Freq) - 1);
    for (Context pc = FMedContext; !(pc == FMinContext); pc = suffixOf(pc)) {
      if (!pc) throw EPpmdStop();
      const uint32_t ns1 = pc.NumStats();
      if (ns1 != 1) {
        if (ns1 == 0) throw EPpmdStop();
        if ((ns1 & 1) == 0) {
          const uint32_t moved = FAlloc.ExpandUnits(pc.StatsOffset(), ns1 >> 1);
          if (moved == 0) return false;
          pc.SetStatsOffset(moved);
        }
        const uint32_t summ = pc.SummFreq();
        pc.SetSummFreq(summ + (2 * ns1 < ns) + 2 * ((4 * ns1 <= ns) & (summ <= 8 * ns1)));
      } else {
        const uint32_t block = FAlloc.AllocUnits(1);
        if (block == 0) return false;
        const State p{FBase + block};
        p.CopyFrom(pc.OneState());
        pc.SetStatsOffset(block);
        if (p.Freq() < kMaxFreq / 4 - 1) p.Freq() = uint8_t(p.Freq() * 2);
        else p.Freq() = kMaxFreq - 4;
        pc.SetSummFreq(p.Freq() + FInitEsc + (ns > 3));
      }
      uint32_t cf = 2 * fs.Freq * (pc.SummFreq() + 6u);
      const uint32_t sf = s0 + pc.SummFreq();
      if (cf < 6 * sf) {
        cf = 1 + (cf > sf) + (cf >= 4 * sf);
        pc.SetSummFreq(pc.SummFreq() + 3);
      } else {
        cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
        pc.SetSummFreq(pc.SummFreq() + cf);
      }
      const State added = statesOf(pc) + ns1;
      added.SetSuccessor(offsetOf(successor));
      added.Symbol() = fs.Symbol;
      added.Freq() = uint8_t(cf);
      pc.SetNumStats(ns1 + 1);
    }

    if (fs.Successor != 0) {
      if (contextAt(fs.Successor).NumStats() == 0 && !makeRoot(skipCount, p1)) return false;
      FMinContext = successorOf(FFoundState);
    } else {
      FFoundState.SetSuccessor(offsetOf(successor));
      ++FOrderFall;
    }
    FMedContext = FMinContext;
    FMaxContext = successor;
    return true;
  };

  if (!grow()) startModel();
}

void TPpmdModel::update1(const Context& c, State p) {
  p.Freq() += 4;
  c.SetSummFreq(c.SummFreq() + 4);
  FFoundState = p;
  if (p.Freq() > (p - 1).Freq()) {
    p.SwapWith(p - 1);
    FFoundState = p - 1;
    if (FFoundState.Freq() > kMaxFreq) rescale(c);
  }
}

void TPpmdModel::update2(const Context& c, State p) {
  FFoundState = p;
  p.Freq() += 4;
  c.SetSummFreq(c.SummFreq() + 4);
  if (p.Freq() > kMaxFreq) rescale(c);
  clearMask();  // the symbol is found: the escapes that masked symbols are over
}

detail::See2Context* TPpmdModel::makeEscFreq2(const Context& c, int Diff, uint32_t& Scale) {
  const int numStats = c.NumStats();
  if (numStats != 256) {
    const Context suffix = suffixOf(c);
    if (!suffix) throw EPpmdStop();
    See2Context* see = &FSee2Cont[kNS2Indx[Diff - 1]][(Diff < int(suffix.NumStats()) - numStats) +
                                                      2 * (c.SummFreq() < 11 * numStats) +
                                                      4 * (FNumMasked > Diff)];
    Scale = see->Mean();
    return see;
  }
  Scale = 1;
  return &FDummySee2;
}

uint16_t& TPpmdModel::binSumm(const Context& c, const State& rs) {
  const Context suffix = suffixOf(c);
  if (!suffix) throw EPpmdStop();
  return FBinSumm[(rs.Freq() - 1) & 127][FPrevSuccess + kNS2BSIndx[(suffix.NumStats() - 1) & 255]];
}

// Moves to the next shorter context that still has unmasked symbols; false past the root.
bool TPpmdModel::escapeToShorterContext() {
  do {
    ++FOrderFall;
    FMinContext = suffixOf(FMinContext);
    if (!FMinContext) return false;
  } while (FMinContext.NumStats() == FNumMasked);
  if (FMinContext.NumStats() < FNumMasked) throw EPpmdStop();
  return true;
}

void TPpmdModel::afterSymbol() {
  if (FOrderFall == 0) {
    const Context next = successorOf(FFoundState);
    if (!next) throw EPpmdStop();
    if (next.NumStats() != 0) {
      FMinContext = FMedContext = next;
      return;
    }
  }
  updateModel();
}

// Binary contexts: the probability of their one symbol comes from the binary summary.
void TPpmdModel::binSymbolFound(const State& rs, uint16_t& bs) {
  FFoundState = rs;
  rs.Freq() += (rs.Freq() < 128);
  bs = uint16_t(bs + kInterval - binMean(bs));
  FPrevSuccess = 1;
}

void TPpmdModel::binSymbolEscaped(const State& rs, uint16_t& bs) {
  bs = uint16_t(bs - binMean(bs));
  FInitEsc = kExpEscape[(bs >> 10) & 15];
  FNumMasked = 1;
  FCharMask[rs.Symbol()] = kMasked;
  FPrevSuccess = 0;
  FFoundState = State{};
}

void TPpmdModel::encodeBinSymbol(TPpmdRangeEncoder& Coder, int Symbol) {
  const State rs = FMinContext.OneState();
  uint16_t& bs = binSumm(FMinContext, rs);
  if (rs.Symbol() == Symbol) {
    Coder.EncodeShift(0, bs, kTotBits);
    binSymbolFound(rs, bs);
  } else {
    Coder.EncodeShift(bs, kBinScale, kTotBits);
    binSymbolEscaped(rs, bs);
  }
}

void TPpmdModel::decodeBinSymbol(TPpmdRangeDecoder& Coder) {
  const State rs = FMinContext.OneState();
  uint16_t& bs = binSumm(FMinContext, rs);
  if (Coder.GetShiftCount(kTotBits) < bs) {
    Coder.Decode(0, bs);
    binSymbolFound(rs, bs);
  } else {
    Coder.Decode(bs, kBinScale);
    binSymbolEscaped(rs, bs);
  }
}

// Contexts with several symbols, none masked: frequencies are the counts.
void TPpmdModel::firstSymbolFound(const Context& c, const State& p, uint32_t Scale) {
  const uint32_t freq = p.Freq();
  FPrevSuccess = 2 * freq > Scale;
  FFoundState = p;
  p.Freq() = uint8_t(freq + 4);
  c.SetSummFreq(Scale + 4);
  if (freq + 4 > kMaxFreq) rescale(c);
}

void TPpmdModel::symbol1Escaped(const Context& c) {
  const State end = statesOf(c) + c.NumStats();
  for (State s = statesOf(c); !(s == end); ++s) FCharMask[s.Symbol()] = kMasked;
  FNumMasked = c.NumStats();
  FFoundState = State{};
}

void TPpmdModel::encodeSymbol1(TPpmdRangeEncoder& Coder, int Symbol) {
  const Context c = FMinContext;
  const uint32_t scale = c.SummFreq();
  State p = statesOf(c);
  if (p.Symbol() == Symbol) {
    Coder.Encode(0, p.Freq(), scale);
    firstSymbolFound(c, p, scale);
    return;
  }
  FPrevSuccess = 0;
  uint32_t low = p.Freq();
  for (uint32_t i = c.NumStats() - 1u;;) {
    ++p;
    if (p.Symbol() == Symbol) break;
    low += p.Freq();
    if (--i == 0) {
      Coder.Encode(low, scale, scale);
      symbol1Escaped(c);
      return;
    }
  }
  Coder.Encode(low, low + p.Freq(), scale);
  update1(c, p);
}

void TPpmdModel::decodeSymbol1(TPpmdRangeDecoder& Coder) {
  const Context c = FMinContext;
  const uint32_t scale = c.SummFreq();
  State p = statesOf(c);
  const uint32_t count = Coder.GetCount(scale);
  uint32_t high = p.Freq();
  if (count < high) {
    Coder.Decode(0, high);
    firstSymbolFound(c, p, scale);
    return;
  }
  FPrevSuccess = 0;
  for (uint32_t i = c.NumStats() - 1u;;) {
    ++p;
    high += p.Freq();
    if (high > count) break;
    if (--i == 0) {
      Coder.Decode(high, scale);
      symbol1Escaped(c);
      return;
    }
  }
  Coder.Decode(high - p.Freq(), high);
  update1(c, p);
}

// Contexts reached by an escape: only the symbols not seen in the longer contexts take part,
// and the escape frequency comes from the secondary escape estimate. The coder counts the first
// Diff unmasked states. Normally those are all the unmasked states of the context, and one pass
// over every state, without branching on the mask, gives their frequency sum; when a context
// holds some other number (its suffix lost a symbol in a rescale), scanFirstUnmasked() walks
// exactly the first Diff of them.

// Adds the unmasked frequencies of the states in [S, End) to Total and their number to Count.
void TPpmdModel::sumUnmasked(const uint8_t* S, const uint8_t* End, uint32_t& Total,
                             uint32_t& Count) const {
  constexpr ptrdiff_t step = detail::kStateSize;
  uint32_t total = Total;
  uint32_t count = Count;
  if ((End - S) / step % 2 != 0) {
    const uint32_t mask = FCharMask[S[0]];
    total += S[1] & mask;
    count += mask & 1;
    S += step;
  }
  for (; S != End; S += 2 * step) {
    const uint32_t mask0 = FCharMask[S[0]];
    const uint32_t mask1 = FCharMask[S[step]];
    total += (S[1] & mask0) + (S[step + 1] & mask1);
    count += (mask0 & 1) + (mask1 & 1);
  }
  Total = total;
  Count = count;
}

// The exact walk: Visit(state, unmasked, sum so far) for each state up to the Diff-th unmasked
// one, which it returns. Throws EPpmdStop when the context holds fewer.
template <class TVisit>
uint8_t* TPpmdModel::scanFirstUnmasked(const Context& c, int Diff, uint32_t& Total, TVisit Visit) {
  uint8_t* s = statesOf(c).P;
  uint8_t* const end = s + c.NumStats() * detail::kStateSize;
  uint32_t total = 0;
  int seen = 0;
  for (;; s += detail::kStateSize) {
    if (s == end) throw EPpmdStop();
    const uint32_t unmasked = FCharMask[s[0]] & 1;
    Visit(s, unmasked, total);
    total += s[1] & (0u - unmasked);
    seen += int(unmasked);
    if (seen == Diff) break;
  }
  Total = total;
  return s;
}

void TPpmdModel::symbol2Escaped(const Context& c, See2Context* See, uint32_t Scale, uint8_t* Last) {
  for (uint8_t* t = statesOf(c).P; t <= Last; t += detail::kStateSize) FCharMask[t[0]] = kMasked;
  See->Summ = uint16_t(See->Summ + Scale);
  FNumMasked = c.NumStats();
}

void TPpmdModel::encodeSymbol2(TPpmdRangeEncoder& Coder, int Symbol) {
  const Context c = FMinContext;
  const int diff = c.NumStats() - FNumMasked;
  uint32_t scale;
  See2Context* see = makeEscFreq2(c, diff, scale);

  uint8_t* found = nullptr;
  uint32_t foundLow = 0;
  uint32_t total = 0;
  uint32_t count = 0;
  uint8_t* const first = statesOf(c).P;
  uint8_t* const end = first + c.NumStats() * detail::kStateSize;
  uint8_t* last = end - detail::kStateSize;
  // The symbol to code is never masked: it would have been found in a longer context.
  uint8_t* s = first;
  for (; s != end; s += detail::kStateSize) {
    if (s[0] == Symbol) {
      found = s;
      foundLow = total;
      break;
    }
    const uint32_t mask = FCharMask[s[0]];
    total += s[1] & mask;
    count += mask & 1;
  }
  sumUnmasked(s, end, total, count);
  if (count != uint32_t(diff)) {
    found = nullptr;
    last = scanFirstUnmasked(c, diff, total, [&](uint8_t* state, uint32_t unmasked, uint32_t sum) {
      if (state[0] == Symbol && unmasked) {
        found = state;
        foundLow = sum;
      }
    });
  }
  scale += total;
  if (found == nullptr) {
    Coder.Encode(total, scale, scale);
    symbol2Escaped(c, see, scale, last);
    return;
  }
  Coder.Encode(foundLow, foundLow + found[1], scale);
  see->Update();
  update2(c, State{found});
}

void TPpmdModel::decodeSymbol2(TPpmdRangeDecoder& Coder) {
  const Context c = FMinContext;
  const int diff = c.NumStats() - FNumMasked;
  uint32_t scale;
  See2Context* see = makeEscFreq2(c, diff, scale);

  const uint32_t numStats = c.NumStats();
  if (numStats > 256) throw EPpmdStop();
  uint8_t* const first = statesOf(c).P;
  uint8_t* const end = first + numStats * detail::kStateSize;
  uint8_t* last = end - detail::kStateSize;
  // high[i]: the unmasked frequencies of states 0..i summed, so that the decoded count finds its
  // state by a binary search instead of a second walk over the states.
  uint32_t high[256];
  uint32_t total = 0;
  uint32_t unmasked = 0;
  {
    uint32_t i = 0;
    for (const uint8_t* s = first; s != end; s += detail::kStateSize, ++i) {
      const uint32_t mask = FCharMask[s[0]];
      total += s[1] & mask;
      unmasked += mask & 1;
      high[i] = total;
    }
  }
  if (unmasked != uint32_t(diff))
    last = scanFirstUnmasked(c, diff, total, [](uint8_t*, uint32_t, uint32_t) {});
  scale += total;
  const uint32_t count = Coder.GetCount(scale);
  if (count >= total) {
    Coder.Decode(total, scale);
    symbol2Escaped(c, see, scale, last);
    return;
  }
  // The first state whose sum passes count; it lies within the first diff unmasked states, whose
  // sum is total.
  const uint32_t index = uint32_t(std::upper_bound(high, high + numStats, count) - high);
  uint8_t* const s = first + index * detail::kStateSize;
  Coder.Decode(high[index] - s[1], high[index]);
  see->Update();
  update2(c, State{s});
}

size_t TPpmdModel::Compress(const uint8_t* In, size_t InSize, uint8_t* Out, size_t OutCapacity,
                            int MaxOrder) {
  if (!FBase || MaxOrder < 1 || MaxOrder > kMaxModelOrder) throw EPpmdStop();
  FMaxOrder = MaxOrder;
  startModel();
  TPpmdRangeEncoder coder(Out, OutCapacity);
  for (size_t pos = 0;; ++pos) {
    const int symbol = pos < InSize ? In[pos] : -1;  // -1: the end marker, found nowhere
    const uint32_t numStats = FMinContext.NumStats();
    if (numStats == 1) {
      encodeBinSymbol(coder, symbol);
    } else {
      if (numStats == 0) throw EPpmdStop();
      encodeSymbol1(coder, symbol);
    }
    while (!FFoundState) {
      coder.Normalize();
      if (!escapeToShorterContext()) {
        if (symbol >= 0) throw EPpmdStop();
        coder.Flush();
        return coder.Written();
      }
      encodeSymbol2(coder, symbol);
    }
    afterSymbol();
    coder.Normalize();
  }
}

TPpmdModel::TDecodeResult TPpmdModel::Decompress(const uint8_t* In, size_t InSize, uint8_t* Out,
                                                 size_t OutCapacity, int MaxOrder) {
  TDecodeResult result;
  if (!FBase || MaxOrder < 1 || MaxOrder > kMaxModelOrder) return result;
  try {
    FMaxOrder = MaxOrder;
    startModel();
    TPpmdRangeDecoder coder(In, InSize);
    for (;;) {
      const uint32_t numStats = FMinContext.NumStats();
      if (numStats == 1) {
        decodeBinSymbol(coder);
      } else {
        if (numStats == 0) throw EPpmdStop();
        decodeSymbol1(coder);
      }
      while (!FFoundState) {
        coder.Normalize();
        if (!escapeToShorterContext()) {
          result.Complete = coder.ConsumedExactly();
          return result;
        }
        decodeSymbol2(coder);
      }
      if (result.Produced == OutCapacity) return result;
      Out[result.Produced++] = FFoundState.Symbol();
      afterSymbol();
      coder.Normalize();
    }
  } catch (const EPpmdStop&) {
    return result;
  }
}

}  // namespace tesvar::codec::ppmd
