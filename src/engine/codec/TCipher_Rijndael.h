#pragma once
// The page and BLOB cipher: AES-256 keyed by the RIPEMD-256 digest of a key string, in the
// engine's feedback mode (any length, no padding, output length = input length).
//
// Every EncodeBuffer / DecodeBuffer call starts from the initial feedback F0, exactly as if a
// fresh cipher object were created for each buffer; one object can therefore serve any number of
// buffers under the same key. Source and dest may be the same buffer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tesvar::codec {

class TCipher_Rijndael {
public:
  // key: the key string's bytes (all of them, no terminator; may contain zero bytes).
  explicit TCipher_Rijndael(const std::string& key);
  ~TCipher_Rijndael();
  TCipher_Rijndael(const TCipher_Rijndael&) = delete;
  TCipher_Rijndael& operator=(const TCipher_Rijndael&) = delete;

  void EncodeBuffer(const uint8_t* source, uint8_t* dest, size_t size);
  void DecodeBuffer(const uint8_t* source, uint8_t* dest, size_t size);

  // The initial feedback F0 = AES_K(16 x 0xFF).
  const uint8_t* InitialFeedback() const;

private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace tesvar::codec
