#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "crypto.h"

namespace pvx::crypto {
namespace {

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MacFree {
  void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};

}  // namespace

void wipe(void* p, size_t n) noexcept {
  OPENSSL_cleanse(p, n);
}

bool random_bytes(unsigned char* out, size_t n) {
  return n <= INT_MAX && RAND_bytes(out, static_cast<int>(n)) == 1;
}

bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len) {
  if (password.size() > INT_MAX || salt_len > INT_MAX || out_len > INT_MAX ||
      iterations > INT_MAX) {
    return false;
  }
  return PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                                static_cast<int>(salt_len), static_cast<int>(iterations),
                                static_cast<int>(out_len), out) == 1;
}

struct AesBlocks::Impl {
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx;
};

AesBlocks::AesBlocks() : impl_(std::make_unique<Impl>()) {}
AesBlocks::~AesBlocks() = default;

bool AesBlocks::set_key(const unsigned char* key, size_t len) {
  const EVP_CIPHER* cipher = len == 16   ? EVP_aes_128_ecb()
                             : len == 24 ? EVP_aes_192_ecb()
                             : len == 32 ? EVP_aes_256_ecb()
                                         : nullptr;
  if (!cipher) return false;
  impl_->ctx.reset(EVP_CIPHER_CTX_new());
  return impl_->ctx && EVP_EncryptInit_ex(impl_->ctx.get(), cipher, nullptr, key, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(impl_->ctx.get(), 0) == 1;
}

bool AesBlocks::encrypt(const unsigned char* in, unsigned char* out, size_t blocks) {
  if (!impl_->ctx || blocks > INT_MAX / kAesBlock) return false;
  int n = 0;
  return EVP_EncryptUpdate(impl_->ctx.get(), out, &n, in, static_cast<int>(blocks * kAesBlock)) ==
             1 &&
         static_cast<size_t>(n) == blocks * kAesBlock;
}

struct HmacSha1::Impl {
  std::unique_ptr<EVP_MAC, MacFree> mac;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx;
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::set_key(const unsigned char* key, size_t len) {
  if (!impl_->mac) impl_->mac.reset(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!impl_->mac) return false;
  impl_->ctx.reset(EVP_MAC_CTX_new(impl_->mac.get()));
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_END};
  return impl_->ctx && EVP_MAC_init(impl_->ctx.get(), key, len, params) == 1;
}

bool HmacSha1::restart() {
  // A null key keeps the one given before.
  return impl_->ctx && EVP_MAC_init(impl_->ctx.get(), nullptr, 0, nullptr) == 1;
}

bool HmacSha1::update(const unsigned char* data, size_t n) {
  return impl_->ctx && EVP_MAC_update(impl_->ctx.get(), data, n) == 1;
}

bool HmacSha1::finish(unsigned char out[kSha1Size]) {
  size_t n = 0;
  return impl_->ctx && EVP_MAC_final(impl_->ctx.get(), out, &n, kSha1Size) == 1 && n == kSha1Size;
}

}  // namespace pvx::crypto
