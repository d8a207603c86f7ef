// The primitives over mbed TLS, for builds with no system library to call: the web engine
// (WebAssembly) and its native twin. There is no random source of the system's here either:
// the caller supplies the bytes that salts are drawn from.
#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

#include <cstring>
#include <vector>

#include "crypto.h"

namespace pvx::crypto {
namespace {

// The bytes random_bytes hands out, in order; each is wiped as it goes.
std::vector<unsigned char>& supplied() {
  static std::vector<unsigned char> bytes;
  return bytes;
}

const mbedtls_md_info_t* sha1() {
  return mbedtls_md_info_from_type(MBEDTLS_MD_SHA1);
}

struct MdContext {
  mbedtls_md_context_t ctx;
  MdContext() { mbedtls_md_init(&ctx); }
  ~MdContext() { mbedtls_md_free(&ctx); }
  MdContext(const MdContext&) = delete;
  MdContext& operator=(const MdContext&) = delete;
};

}  // namespace

void supply_random_bytes(const unsigned char* bytes, size_t n) {
  std::vector<unsigned char>& pool = supplied();
  wipe(pool.data(), pool.size());
  pool.assign(bytes, bytes + n);
}

// Fails once the supplied bytes are used up: an entry then is not written, rather than
// encrypted under a salt some other entry already has.
bool random_bytes(unsigned char* out, size_t n) {
  std::vector<unsigned char>& pool = supplied();
  if (n > pool.size()) return false;
  std::memcpy(out, pool.data(), n);
  wipe(pool.data(), n);
  pool.erase(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n));
  return true;
}

bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len) {
  if (iterations == 0 || out_len > UINT32_MAX) return false;
  MdContext md;
  return mbedtls_md_setup(&md.ctx, sha1(), 1) == 0 &&
         mbedtls_pkcs5_pbkdf2_hmac(&md.ctx, reinterpret_cast<const unsigned char*>(password.data()),
                                   password.size(), salt, salt_len, iterations,
                                   static_cast<uint32_t>(out_len), out) == 0;
}

struct AesBlocks::Impl {
  mbedtls_aes_context ctx;
  bool keyed = false;
  Impl() { mbedtls_aes_init(&ctx); }
  ~Impl() { mbedtls_aes_free(&ctx); }  // wipes the key schedule
};

AesBlocks::AesBlocks() : impl_(std::make_unique<Impl>()) {}
AesBlocks::~AesBlocks() = default;

bool AesBlocks::set_key(const unsigned char* key, size_t len) {
  impl_->keyed = (len == 16 || len == 24 || len == 32) &&
                 mbedtls_aes_setkey_enc(&impl_->ctx, key, static_cast<unsigned>(len * 8)) == 0;
  return impl_->keyed;
}

bool AesBlocks::encrypt(const unsigned char* in, unsigned char* out, size_t blocks) {
  if (!impl_->keyed) return false;
  for (size_t i = 0; i < blocks; ++i) {
    if (mbedtls_aes_crypt_ecb(&impl_->ctx, MBEDTLS_AES_ENCRYPT, in + i * kAesBlock,
                              out + i * kAesBlock) != 0) {
      return false;
    }
  }
  return true;
}

struct HmacSha1::Impl {
  MdContext md;
  bool keyed = false;
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::set_key(const unsigned char* key, size_t len) {
  mbedtls_md_free(&impl_->md.ctx);
  mbedtls_md_init(&impl_->md.ctx);
  impl_->keyed = mbedtls_md_setup(&impl_->md.ctx, sha1(), 1) == 0 &&
                 mbedtls_md_hmac_starts(&impl_->md.ctx, key, len) == 0;
  return impl_->keyed;
}

bool HmacSha1::restart() {
  return impl_->keyed && mbedtls_md_hmac_reset(&impl_->md.ctx) == 0;
}

bool HmacSha1::update(const unsigned char* data, size_t n) {
  return impl_->keyed && mbedtls_md_hmac_update(&impl_->md.ctx, data, n) == 0;
}

bool HmacSha1::finish(unsigned char out[kSha1Size]) {
  return impl_->keyed && mbedtls_md_hmac_finish(&impl_->md.ctx, out) == 0;
}

}  // namespace pvx::crypto
