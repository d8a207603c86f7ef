// Traditional PKWARE encryption (APPNOTE 6.1): the key schedule and the decryption of a stream.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pvx::unzip {

inline constexpr size_t kCryptHeaderSize = 12;

class PkDecryptor {
 public:
  explicit PkDecryptor(std::string_view password) {
    for (const char c : password) update(static_cast<unsigned char>(c));
  }

  void decrypt(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t t = (keys_[2] | 2) & 0xFFFF;
      p[i] = static_cast<unsigned char>(p[i] ^ ((t * (t ^ 1)) >> 8));
      update(p[i]);
    }
  }

  // Decrypts the 12-byte header in front of the data and returns its last byte, which a right
  // password turns into the entry's check byte.
  unsigned char header_check(const unsigned char* header) {
    unsigned char h[kCryptHeaderSize];
    for (size_t i = 0; i < kCryptHeaderSize; ++i) h[i] = header[i];
    decrypt(h, kCryptHeaderSize);
    return h[kCryptHeaderSize - 1];
  }

 private:
  static uint32_t crc_step(uint32_t crc, unsigned char b) {
    return (crc >> 8) ^ static_cast<uint32_t>(get_crc_table()[(crc ^ b) & 0xFF]);
  }
  void update(unsigned char c) {
    keys_[0] = crc_step(keys_[0], c);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = crc_step(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
  }

  uint32_t keys_[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

}  // namespace pvx::unzip
