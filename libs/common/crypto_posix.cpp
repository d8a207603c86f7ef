#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <type_traits>

#include "crypto.h"

#define PVX_TEXT_OF(x) #x
#define PVX_TEXT(x) PVX_TEXT_OF(x)

namespace pvx::crypto {
namespace {

// libcrypto is opened at its first use, not with our libraries: a run without a password never
// pays for loading and relocating it. It stays open for the process, as a linked one would.
struct Api {
  decltype(&RAND_bytes) rand_bytes = nullptr;
  decltype(&PKCS5_PBKDF2_HMAC_SHA1) pbkdf2 = nullptr;
  decltype(&EVP_aes_128_ecb) aes_128 = nullptr;
  decltype(&EVP_aes_192_ecb) aes_192 = nullptr;
  decltype(&EVP_aes_256_ecb) aes_256 = nullptr;
  decltype(&EVP_CIPHER_CTX_new) cipher_new = nullptr;
  decltype(&EVP_CIPHER_CTX_free) cipher_free = nullptr;
  decltype(&EVP_EncryptInit_ex) encrypt_init = nullptr;
  decltype(&EVP_CIPHER_CTX_set_padding) set_padding = nullptr;
  decltype(&EVP_EncryptUpdate) encrypt_update = nullptr;
  decltype(&EVP_MAC_fetch) mac_fetch = nullptr;
  decltype(&EVP_MAC_free) mac_free = nullptr;
  decltype(&EVP_MAC_CTX_new) mac_ctx_new = nullptr;
  decltype(&EVP_MAC_CTX_free) mac_ctx_free = nullptr;
  decltype(&EVP_MAC_init) mac_init = nullptr;
  decltype(&EVP_MAC_update) mac_update = nullptr;
  decltype(&EVP_MAC_final) mac_final = nullptr;
  decltype(&OSSL_PARAM_construct_utf8_string) param_utf8 = nullptr;
  bool ok = false;
};

Api open_api() {
  Api a;
  // The major version names the library the headers belong to.
  void* lib = dlopen("libcrypto.so." PVX_TEXT(OPENSSL_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
  if (!lib) return a;
  bool ok = true;
  const auto get = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
    ok = ok && fn;
  };
  get(a.rand_bytes, "RAND_bytes");
  get(a.pbkdf2, "PKCS5_PBKDF2_HMAC_SHA1");
  get(a.aes_128, "EVP_aes_128_ecb");
  get(a.aes_192, "EVP_aes_192_ecb");
  get(a.aes_256, "EVP_aes_256_ecb");
  get(a.cipher_new, "EVP_CIPHER_CTX_new");
  get(a.cipher_free, "EVP_CIPHER_CTX_free");
  get(a.encrypt_init, "EVP_EncryptInit_ex");
  get(a.set_padding, "EVP_CIPHER_CTX_set_padding");
  get(a.encrypt_update, "EVP_EncryptUpdate");
  get(a.mac_fetch, "EVP_MAC_fetch");
  get(a.mac_free, "EVP_MAC_free");
  get(a.mac_ctx_new, "EVP_MAC_CTX_new");
  get(a.mac_ctx_free, "EVP_MAC_CTX_free");
  get(a.mac_init, "EVP_MAC_init");
  get(a.mac_update, "EVP_MAC_update");
  get(a.mac_final, "EVP_MAC_final");
  get(a.param_utf8, "OSSL_PARAM_construct_utf8_string");
  a.ok = ok;
  return a;
}

// Null when libcrypto cannot be had: every primitive then reports failure.
const Api* api() {
  static const Api a = open_api();
  return a.ok ? &a : nullptr;
}

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* c) const { api()->cipher_free(c); }
};
struct MacFree {
  void operator()(EVP_MAC* m) const { api()->mac_free(m); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { api()->mac_ctx_free(c); }
};

}  // namespace

void wipe(void* p, size_t n) noexcept {
  if (n > 0) explicit_bzero(p, n);
}

bool random_bytes(unsigned char* out, size_t n) {
  const Api* c = api();
  return c && n <= INT_MAX && c->rand_bytes(out, static_cast<int>(n)) == 1;
}

bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len) {
  const Api* c = api();
  if (!c || password.size() > INT_MAX || salt_len > INT_MAX || out_len > INT_MAX ||
      iterations > INT_MAX) {
    return false;
  }
  return c->pbkdf2(password.data(), static_cast<int>(password.size()), salt,
                   static_cast<int>(salt_len), static_cast<int>(iterations),
                   static_cast<int>(out_len), out) == 1;
}

struct AesBlocks::Impl {
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx;
};

AesBlocks::AesBlocks() : impl_(std::make_unique<Impl>()) {}
AesBlocks::~AesBlocks() = default;

bool AesBlocks::set_key(const unsigned char* key, size_t len) {
  const Api* c = api();
  if (!c) return false;
  const EVP_CIPHER* cipher = len == 16   ? c->aes_128()
                             : len == 24 ? c->aes_192()
                             : len == 32 ? c->aes_256()
                                         : nullptr;
  if (!cipher) return false;
  impl_->ctx.reset(c->cipher_new());
  return impl_->ctx && c->encrypt_init(impl_->ctx.get(), cipher, nullptr, key, nullptr) == 1 &&
         c->set_padding(impl_->ctx.get(), 0) == 1;
}

bool AesBlocks::encrypt(const unsigned char* in, unsigned char* out, size_t blocks) {
  if (!impl_->ctx || blocks > INT_MAX / kAesBlock) return false;
  int n = 0;
  return api()->encrypt_update(impl_->ctx.get(), out, &n, in,
                               static_cast<int>(blocks * kAesBlock)) == 1 &&
         static_cast<size_t>(n) == blocks * kAesBlock;
}

struct HmacSha1::Impl {
  std::unique_ptr<EVP_MAC, MacFree> mac;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx;
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::set_key(const unsigned char* key, size_t len) {
  const Api* c = api();
  if (!c) return false;
  if (!impl_->mac) impl_->mac.reset(c->mac_fetch(nullptr, "HMAC", nullptr));
  if (!impl_->mac) return false;
  impl_->ctx.reset(c->mac_ctx_new(impl_->mac.get()));
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {c->param_utf8(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  return impl_->ctx && c->mac_init(impl_->ctx.get(), key, len, params) == 1;
}

bool HmacSha1::restart() {
  // A null key keeps the one given before.
  return impl_->ctx && api()->mac_init(impl_->ctx.get(), nullptr, 0, nullptr) == 1;
}

bool HmacSha1::update(const unsigned char* data, size_t n) {
  return impl_->ctx && api()->mac_update(impl_->ctx.get(), data, n) == 1;
}

bool HmacSha1::finish(unsigned char out[kSha1Size]) {
  size_t n = 0;
  return impl_->ctx && api()->mac_final(impl_->ctx.get(), out, &n, kSha1Size) == 1 &&
         n == kSha1Size;
}

}  // namespace pvx::crypto
