#include <dlfcn.h>
// SHA1_Init and its kin are deprecated in OpenSSL 3, yet they are the plain block function that
// a fast PBKDF2 needs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
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
  decltype(&SHA1_Init) sha1_init = nullptr;
  decltype(&SHA1_Update) sha1_update = nullptr;
  decltype(&SHA1_Final) sha1_final = nullptr;
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
  get(a.sha1_init, "SHA1_Init");
  get(a.sha1_update, "SHA1_Update");
  get(a.sha1_final, "SHA1_Final");
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

bool random_bytes(unsigned char* out, size_t n) {
  const Api* c = api();
  return c && n <= INT_MAX && c->rand_bytes(out, static_cast<int>(n)) == 1;
}

// PBKDF2 (RFC 8018) over HMAC-SHA1 (RFC 2104), written out: libcrypto's own copies a digest
// context through its provider layer at every round, and a send derives a key for every entry.
// Here each round copies the two padded SHA-1 states, plain structs, and hashes 20 bytes into
// each: about a quarter of the time.
bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len) {
  const Api* c = api();
  if (!c || iterations == 0) return false;
  constexpr size_t kSha1Block = 64;
  unsigned char key[kSha1Block] = {};
  SHA_CTX inner, outer, round;
  if (password.size() > kSha1Block) {  // a long key is hashed first
    c->sha1_init(&round);
    c->sha1_update(&round, password.data(), password.size());
    c->sha1_final(key, &round);
  } else {
    std::memcpy(key, password.data(), password.size());
  }
  unsigned char pad[kSha1Block];
  for (size_t i = 0; i < kSha1Block; ++i) pad[i] = key[i] ^ 0x36;
  c->sha1_init(&inner);
  c->sha1_update(&inner, pad, sizeof pad);
  for (size_t i = 0; i < kSha1Block; ++i) pad[i] = key[i] ^ 0x5c;
  c->sha1_init(&outer);
  c->sha1_update(&outer, pad, sizeof pad);

  unsigned char u[kSha1Size], t[kSha1Size];
  // U = HMAC(password, text): the inner hash over the text, then the outer over that.
  const auto hmac_into_u = [&](const unsigned char* text, size_t n, const unsigned char* more,
                               size_t more_n) {
    round = inner;
    c->sha1_update(&round, text, n);
    if (more_n) c->sha1_update(&round, more, more_n);
    c->sha1_final(u, &round);
    round = outer;
    c->sha1_update(&round, u, kSha1Size);
    c->sha1_final(u, &round);
  };
  for (uint32_t block = 1; out_len > 0; ++block) {
    const unsigned char index[4] = {
        static_cast<unsigned char>(block >> 24), static_cast<unsigned char>(block >> 16),
        static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
    hmac_into_u(salt, salt_len, index, sizeof index);
    std::memcpy(t, u, kSha1Size);
    for (uint32_t r = 1; r < iterations; ++r) {
      hmac_into_u(u, kSha1Size, nullptr, 0);
      for (size_t i = 0; i < kSha1Size; ++i) t[i] ^= u[i];
    }
    const size_t n = std::min(out_len, kSha1Size);
    std::memcpy(out, t, n);
    out += n;
    out_len -= n;
  }
  wipe(key, sizeof key);
  wipe(pad, sizeof pad);
  wipe(u, sizeof u);
  wipe(t, sizeof t);
  wipe(&inner, sizeof inner);
  wipe(&outer, sizeof outer);
  wipe(&round, sizeof round);
  return true;
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
