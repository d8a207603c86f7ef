// The cryptography backend against published answers, and the AES entry stream's own rules:
// how the data is cut into calls never changes the bytes, and decryption undoes encryption.
#include <gtest/gtest.h>

#include <string>

#include "crypto.h"
#include "zip_aes.h"
#include "zip_format.h"

namespace pvx::crypto {
namespace {

std::string hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}
std::string bytes(const std::string& hex_text) {
  std::string out;
  for (size_t i = 0; i + 1 < hex_text.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex_text.substr(i, 2), nullptr, 16));
  }
  return out;
}
const unsigned char* u(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(Crypto, PrimitivesGiveThePublishedAnswers) {
  unsigned char out[32];
  // PBKDF2-HMAC-SHA1 (RFC 6070), HMAC-SHA1 (RFC 2202 case 2), AES (FIPS-197 appendix C).
  ASSERT_TRUE(pbkdf2_sha1("password", u("salt"), 4, 2, out, 20));
  EXPECT_EQ(hex(out, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  HmacSha1 mac;
  const std::string text = "what do ya want for nothing?";
  ASSERT_TRUE(mac.set_key(u("Jefe"), 4));
  ASSERT_TRUE(mac.update(u(text), 5) && mac.update(u(text) + 5, text.size() - 5));
  ASSERT_TRUE(mac.finish(out));
  EXPECT_EQ(hex(out, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  ASSERT_TRUE(mac.restart() && mac.update(u(text), text.size()) && mac.finish(out));
  EXPECT_EQ(hex(out, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  const std::string plain = bytes("00112233445566778899aabbccddeeff");
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

TEST(Crypto, AesStreamIsIndependentOfHowTheDataIsCut) {
  std::string data(100'000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  const unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (int strength = 1; strength <= 3; ++strength) {
    AesStream whole;
    unsigned char verifier[2], again[2], code[kAesCodeSize], code2[kAesCodeSize];
    std::string one(data.size(), '\0');
    ASSERT_TRUE(whole.start("pass", strength, salt, verifier));
    ASSERT_TRUE(whole.encrypt(u(data), reinterpret_cast<unsigned char*>(one.data()), one.size()));
    ASSERT_TRUE(whole.finish(code));
    EXPECT_NE(one.substr(0, 64), data.substr(0, 64));

    // Pieces of odd sizes, after a false start that restart() undoes.
    AesStream cut;
    ASSERT_TRUE(cut.start("pass", strength, salt, again));
    EXPECT_EQ(hex(verifier, 2), hex(again, 2));
    std::string junk(100, 'x');
    ASSERT_TRUE(cut.encrypt(u(junk), reinterpret_cast<unsigned char*>(junk.data()), 100));
    ASSERT_TRUE(cut.restart());
    std::string pieces = data;
    auto* p = reinterpret_cast<unsigned char*>(pieces.data());
    for (size_t at = 0, step = 1; at < pieces.size(); at += step, step = step * 3 + 1) {
      const size_t n = std::min(step, pieces.size() - at);
      ASSERT_TRUE(cut.encrypt(p + at, p + at, n));
    }
    ASSERT_TRUE(cut.finish(code2));
    EXPECT_EQ(pieces, one) << strength;
    EXPECT_EQ(hex(code, kAesCodeSize), hex(code2, kAesCodeSize));

    AesStream back;
    ASSERT_TRUE(back.start("pass", strength, salt, again));
    ASSERT_TRUE(back.authenticate(p, pieces.size()));
    ASSERT_TRUE(back.decrypt(p, 3) && back.decrypt(p + 3, pieces.size() - 3));
    ASSERT_TRUE(back.finish(code2));
    EXPECT_EQ(pieces, data);
    EXPECT_EQ(hex(code, kAesCodeSize), hex(code2, kAesCodeSize));
  }
}

TEST(Crypto, AesExtraFieldOnlyWithKnownVersionsAndStrengths) {
  const std::string good = aes_extra_block({kAesVendorAe2, 3, 8});
  AesExtra e;
  ASSERT_TRUE(parse_aes_extra(std::string_view(good).substr(4), &e));
  EXPECT_EQ(e.vendor_version, kAesVendorAe2);
  EXPECT_EQ(e.strength, 3);
  EXPECT_EQ(e.method, 8);
  const struct {
    size_t at;
    char value;
  } bad[] = {{4, 3}, {6, 'X'}, {8, 0}, {8, 4}};
  for (const auto& b : bad) {
    std::string d = good;
    d[b.at] = b.value;
    EXPECT_FALSE(parse_aes_extra(std::string_view(d).substr(4), &e)) << b.at;
  }
  EXPECT_FALSE(parse_aes_extra(std::string_view(good).substr(4, 6), &e));
}

}  // namespace
}  // namespace pvx::crypto
