#pragma once
// The page and BLOB cipher: AES-256 keyed by the RIPEMD-256 digest of a key string, in the
// engine's feedback mode (any length, no padding, output length = input length).
//
// Every EncodeBuffer / DecodeBuffer call starts from the initial feedback F0, exactly as if a
// fresh cipher object were created for each buffer; one object can therefore serve any number of
// buffers under the same key. Source and dest may be the same buffer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tesvar::codec {

// The cipher's 32-byte AES key: the RIPEMD-256 digest of every byte of key (no terminator).
std::array<uint8_t, 32> Ripemd256(const std::string& key);

class TCipher_Rijndael {
public:
  // key: the key string's bytes (all of them, no terminator; may contain zero bytes).
  explicit TCipher_Rijndael(const std::string& key);
  ~TCipher_Rijndael();
  TCipher_Rijndael(const TCipher_Rijndael&) = delete;
  TCipher_Rijndael& operator=(const TCipher_Rijndael&) = delete;

  // Encrypt / decrypt size bytes from source into dest (size may be 0 or any length; dest gets
  // exactly size bytes). source and dest must be the same buffer or not overlap at all. The object
  // keeps no state between calls, so DecodeBuffer restores what EncodeBuffer produced under the
  // same key string whatever other buffers were processed in between.
  void EncodeBuffer(const uint8_t* source, uint8_t* dest, size_t size);
  void DecodeBuffer(const uint8_t* source, uint8_t* dest, size_t size);

  // The initial feedback F0 = AES_K(16 x 0xFF).
  const uint8_t* InitialFeedback() const;

private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace tesvar::codec
