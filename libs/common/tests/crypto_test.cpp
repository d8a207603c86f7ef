// The cryptography back-end against published answers: a round trip alone would not notice a
// fault that encryption and decryption share.
#include <gtest/gtest.h>

#include <string>

#include "crypto.h"
#include "zip_aes.h"

namespace pvx::crypto {
namespace {

std::string hex(const unsigned char* p, size_t n) {
  const char* d = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += {d[p[i] >> 4], d[p[i] & 15]};
  return out;
}
const unsigned char* u(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(Crypto, PrimitivesGiveThePublishedAnswers) {
  // PBKDF2-HMAC-SHA1 (RFC 6070); then a key longer than SHA-1's block, which is hashed first,
  // giving the 66 bytes of an AES-256 entry's keys (expected from Python's hashlib).
  const struct {
    std::string password, salt;
    int iterations;
    const char* keys;
  } derived[] = {
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string(100, 'x'), "0123456789abcdef", 1000,
       "d2a8db952a91dbbbf5f40c72ba4d3b24ded4ee22ec5e4c2c6ac5a426cc12b4e7fb253bd6c41beecf91de"
       "6b19fa60c967294a1081c95e0f18476be99f984cf0bdce03"}};
  unsigned char out[66];
  for (const auto& d : derived) {
    const size_t n = std::string_view(d.keys).size() / 2;
    ASSERT_TRUE(pbkdf2_sha1(d.password, u(d.salt), d.salt.size(), d.iterations, out, n));
    EXPECT_EQ(hex(out, n), d.keys);
  }
  // HMAC-SHA1 (RFC 2202 case 2), in two pieces and again after a restart; AES (FIPS-197 C).
  HmacSha1 mac;
  const std::string text = "what do ya want for nothing?";
  ASSERT_TRUE(mac.set_key(u("Jefe"), 4));
  ASSERT_TRUE(mac.update(u(text), 5) && mac.update(u(text) + 5, text.size() - 5));
  ASSERT_TRUE(mac.finish(out));
  EXPECT_EQ(hex(out, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  ASSERT_TRUE(mac.restart() && mac.update(u(text), text.size()) && mac.finish(out));
  EXPECT_EQ(hex(out, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  std::string plain;
  for (int i = 0; i < 16; ++i) plain += static_cast<char>(i * 0x11);
  const struct {
    size_t key_len;
    const char* cipher;
  } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
               {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
               {32, "8ea2b7ca516745bfeafc49904b496089"}};
  for (const auto& c : cases) {
    std::string key;
    for (size_t i = 0; i < c.key_len; ++i) key += static_cast<char>(i);
    AesBlocks aes;
    const std::string two = plain + plain;
    unsigned char enc[32];
    ASSERT_TRUE(aes.set_key(u(key), key.size()) && aes.encrypt(u(two), enc, 2));
    EXPECT_EQ(hex(enc, 16), c.cipher) << c.key_len;
    EXPECT_EQ(hex(enc + 16, 16), c.cipher) << "each block on its own";
  }
}

// One AES-256 entry's keys, verifier, data and code, from the UTF-8 password "café" and the
// salt 00..0f (computed with Python's hashlib and cryptography): the counter's byte order, the
// split of the derived bytes and the code's length all show here without 7-Zip.
TEST(Crypto, AnAesEntryMatchesAnswersComputedElsewhere) {
  std::string data = "The quick brown fox jumps over the lazy dog";
  unsigned char salt[16], verifier[2], code[10];
  for (unsigned char i = 0; i < 16; ++i) salt[i] = i;
  auto* p = reinterpret_cast<unsigned char*>(data.data());
  AesStream aes;
  ASSERT_TRUE(aes.start("caf\xC3\xA9", 3, salt, verifier));
  EXPECT_EQ(hex(verifier, 2), "0f01");
  ASSERT_TRUE(aes.encrypt(p, p, 20) && aes.encrypt(p + 20, p + 20, data.size() - 20));
  ASSERT_TRUE(aes.finish(code));
  EXPECT_EQ(
      hex(p, data.size()),
      "6b10ae25427d4354e63ce96202c29e99d997bb506e08dca049163815b362c49b21ef5b9b5fdeb789c91087");
  EXPECT_EQ(hex(code, 10), "b7c451b5bc152f1870ea");
}

}  // namespace
}  // namespace pvx::crypto
