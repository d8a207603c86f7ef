// The few primitives the AES entries need, from the system's own library: CNG (bcrypt) on
// Windows, OpenSSL's libcrypto elsewhere. Nothing here implements a cipher or a hash itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "wipe.h"

namespace pvx::crypto {

inline constexpr size_t kAesBlock = 16;
inline constexpr size_t kSha1Size = 20;

// n bytes from the system's cryptographic random source.
bool random_bytes(unsigned char* out, size_t n);
// Only where the build has no system source (the mbed TLS backend): random_bytes hands out
// these bytes in order, and fails once they are used up.
void supply_random_bytes(const unsigned char* bytes, size_t n);

// PBKDF2 with HMAC-SHA1, out_len bytes.
bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len);

// AES encryption of whole blocks with one key (16, 24 or 32 bytes), each block on its own.
class AesBlocks {
 public:
  AesBlocks();
  ~AesBlocks();
  AesBlocks(const AesBlocks&) = delete;
  AesBlocks& operator=(const AesBlocks&) = delete;
  bool set_key(const unsigned char* key, size_t len);
  // blocks * 16 bytes from in to out; in and out may be the same buffer.
  bool encrypt(const unsigned char* in, unsigned char* out, size_t blocks);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// HMAC-SHA1 under one key, restartable for each message.
class HmacSha1 {
 public:
  HmacSha1();
  ~HmacSha1();
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;
  // Keeps the key and starts a message.
  bool set_key(const unsigned char* key, size_t len);
  // Starts a new message under the same key.
  bool restart();
  bool update(const unsigned char* data, size_t n);
  bool finish(unsigned char out[kSha1Size]);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pvx::crypto
