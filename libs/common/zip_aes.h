// The AES entries of zip archives (WinZip's AE-1 and AE-2): keys drawn from the password and a
// salt by PBKDF2-HMAC-SHA1, the data in AES counter mode, an HMAC-SHA1 of the encrypted data
// after it. An entry's data is salt, 2-byte password verifier, encrypted data, 10-byte code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"

namespace pvx {

inline constexpr size_t kAesVerifierSize = 2;
inline constexpr size_t kAesCodeSize = 10;
inline constexpr size_t kAesMaxSalt = 16;
// The bytes encryption adds to an entry's data at most (the 256-bit key's salt).
inline constexpr size_t kAesMaxOverhead = kAesMaxSalt + kAesVerifierSize + kAesCodeSize;
inline constexpr uint16_t kAesVendorAe1 = 1;
inline constexpr uint16_t kAesVendorAe2 = 2;
inline constexpr size_t kAesExtraSize = 7;  // the 0x9901 block's data

// The salt length of a strength code (1, 2, 3 for 128-, 192-, 256-bit keys); 0 for others.
size_t aes_salt_size(int strength);

// What the 0x9901 block of an entry says.
struct AesExtra {
  uint16_t vendor_version = 0;  // 1 or 2
  int strength = 0;             // 1..3
  uint16_t method = 0;          // the compression method under the encryption
};
// The block's data (without id and length); false when it is not a usable one.
bool parse_aes_extra(std::string_view data, AesExtra* out);
// The whole block, id and length included.
std::string aes_extra_block(const AesExtra& extra);

// One entry's encryption or decryption: derive the keys, then run the data through in order.
class AesStream {
 public:
  AesStream() = default;
  ~AesStream();
  AesStream(const AesStream&) = delete;
  AesStream& operator=(const AesStream&) = delete;

  // Derives the keys from the password and the salt of the strength's size; fills verifier.
  bool start(std::string_view password, int strength, const unsigned char* salt,
             unsigned char verifier[kAesVerifierSize]);
  // Starts the data over under the same keys: counter 1, authentication code empty.
  bool restart();
  // in to out (which may be the same), n bytes, the code taken over what comes out.
  bool encrypt(const unsigned char* in, unsigned char* out, size_t n);
  // In place. The code is not taken: a reader takes the same bytes into it first, through
  // authenticate(), and keeps what it decrypted until the code matched.
  bool decrypt(unsigned char* data, size_t n);
  // Takes n more encrypted bytes into the code.
  bool authenticate(const unsigned char* data, size_t n);
  // The authentication code of the data so far.
  bool finish(unsigned char code[kAesCodeSize]);

 private:
  bool crypt(const unsigned char* in, unsigned char* out, size_t n);

  crypto::AesBlocks aes_;
  crypto::HmacSha1 mac_;
  uint64_t counter_ = 0;               // of the next keystream block
  std::vector<unsigned char> stream_;  // keystream made ahead, many blocks a call
  size_t used_ = 0;                    // bytes of stream_ already used
  bool ready_ = false;
};

}  // namespace pvx
