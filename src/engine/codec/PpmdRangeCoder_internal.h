#pragma once
// The carryless range coder used by the PPMd model (Subbotin's scheme as PPMd variant G uses it):
// 32-bit low and range, bytes leave from the top of low. Normalisation shifts out a byte while the
// top byte of low is still undecided ((low xor (low + range)) < 2^24) or while range < 2^15, in
// which case range is first cut to the distance from low to the next multiple of 2^15.
//
// Coding a symbol and normalising are separate steps because the model normalises once per coded
// step at fixed points; the encoder and the decoder must do it at the same points.

#include <cstddef>
#include <cstdint>
#include <exception>

namespace tesvar::codec::ppmd {

inline constexpr uint32_t kCoderTop = 1u << 24;
inline constexpr uint32_t kCoderBottom = 1u << 15;

// Raised inside the model and the coders when a chunk cannot be coded: the output is full, the
// coder interval collapsed, or the model's structure is inconsistent. Never leaves the codec.
class EPpmdStop : public std::exception {
public:
  const char* what() const noexcept override { return "PPMd chunk stopped"; }
};

// Low and range with the shared normalisation; ShiftByte(top byte of low) moves one byte out
// (encoder) or in (decoder) as low and range shift left by 8.
class TPpmdCoderState {
protected:
  // Narrows the interval to [LowCount, HighCount) in units of the current FRange.
  void narrow(uint32_t LowCount, uint32_t HighCount) {
    FLow += LowCount * FRange;
    FRange *= HighCount - LowCount;
    if (FRange == 0) throw EPpmdStop();
  }

  template <class TShiftByte>
  void normalizeWith(TShiftByte ShiftByte) {
    for (;;) {
      if ((FLow ^ (FLow + FRange)) >= kCoderTop) {
        if (FRange >= kCoderBottom) return;
        FRange = (0u - FLow) & (kCoderBottom - 1);
      }
      ShiftByte(uint8_t(FLow >> 24));
      FRange <<= 8;
      FLow <<= 8;
    }
  }

  uint32_t FLow = 0;
  uint32_t FRange = 0xFFFFFFFF;
};

class TPpmdRangeEncoder : public TPpmdCoderState {
public:
  // Writes into Out[0..Capacity); the caller owns the buffer.
  TPpmdRangeEncoder(uint8_t* Out, size_t Capacity) : FStart(Out), FPos(Out), FEnd(Out + Capacity) {}

  // Codes the interval [LowCount, HighCount) of Scale. Requires LowCount < HighCount <= Scale.
  void Encode(uint32_t LowCount, uint32_t HighCount, uint32_t Scale) {
    FRange /= Scale;
    narrow(LowCount, HighCount);
  }

  // Codes [LowCount, HighCount) of 2^Shift.
  void EncodeShift(uint32_t LowCount, uint32_t HighCount, unsigned Shift) {
    FRange >>= Shift;
    narrow(LowCount, HighCount);
  }

  void Normalize() {
    normalizeWith([this](uint8_t Top) { put(Top); });
  }

  // Writes the four bytes of low, most significant first.
  void Flush() {
    for (int i = 0; i < 4; ++i) {
      put(uint8_t(FLow >> 24));
      FLow <<= 8;
    }
  }

  size_t Written() const { return size_t(FPos - FStart); }

private:
  void put(uint8_t Byte) {
    if (FPos == FEnd) throw EPpmdStop();
    *FPos++ = Byte;
  }

  uint8_t* FStart;
  uint8_t* FPos;
  uint8_t* FEnd;
};

class TPpmdRangeDecoder : public TPpmdCoderState {
public:
  // Reads In[0..Size); reading past the end yields -1, which sets the code value to all ones.
  TPpmdRangeDecoder(const uint8_t* In, size_t Size) : FPos(In), FEnd(In + Size) {
    for (int i = 0; i < 4; ++i) FCode = (FCode << 8) | next();
  }

  // The count of the next symbol within Scale; a damaged stream can give any value, including
  // values >= Scale, which the model reads as an escape.
  uint32_t GetCount(uint32_t Scale) {
    FRange /= Scale;
    if (FRange == 0) throw EPpmdStop();
    return (FCode - FLow) / FRange;
  }

  uint32_t GetShiftCount(unsigned Shift) {
    FRange >>= Shift;
    return (FCode - FLow) / FRange;  // range >= 2^15 before the shift, so never 0 here
  }

  // Removes [LowCount, HighCount) after GetCount / GetShiftCount.
  void Decode(uint32_t LowCount, uint32_t HighCount) { narrow(LowCount, HighCount); }

  void Normalize() {
    normalizeWith([this](uint8_t) { FCode = (FCode << 8) | next(); });
  }

  // True when every byte was read and none beyond: what a whole, undamaged stream leaves.
  bool ConsumedExactly() const { return FPos == FEnd && !FReadPastEnd; }

private:
  uint32_t next() {
    if (FPos != FEnd) return *FPos++;
    FReadPastEnd = true;
    return 0xFFFFFFFF;
  }

  const uint8_t* FPos;
  const uint8_t* FEnd;
  uint32_t FCode = 0;
  bool FReadPastEnd = false;
};

}  // namespace tesvar::codec::ppmd
