#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>
#include <vector>

#include "crypto.h"
#include "unique_any.h"

namespace pvx::crypto {
namespace {

void close_alg(BCRYPT_ALG_HANDLE h) noexcept {
  BCryptCloseAlgorithmProvider(h, 0);
}
using unique_alg = unique_any<BCRYPT_ALG_HANDLE, &close_alg>;
using unique_key = unique_any<BCRYPT_KEY_HANDLE, &::BCryptDestroyKey>;
using unique_hash = unique_any<BCRYPT_HASH_HANDLE, &::BCryptDestroyHash>;

bool ok(NTSTATUS s) {
  return s >= 0;
}

bool fits_ulong(size_t n) {
  return n <= ULONG_MAX;
}

}  // namespace

bool random_bytes(unsigned char* out, size_t n) {
  return fits_ulong(n) &&
         ok(BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool pbkdf2_sha1(std::string_view password, const unsigned char* salt, size_t salt_len,
                 uint32_t iterations, unsigned char* out, size_t out_len) {
  if (!fits_ulong(password.size()) || !fits_ulong(salt_len) || !fits_ulong(out_len)) return false;
  unique_alg alg;
  if (!ok(BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_SHA1_ALGORITHM, nullptr,
                                      BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return false;
  }
  auto* pw = reinterpret_cast<PUCHAR>(const_cast<char*>(password.data()));
  return ok(BCryptDeriveKeyPBKDF2(alg.get(), pw, static_cast<ULONG>(password.size()),
                                  const_cast<PUCHAR>(salt), static_cast<ULONG>(salt_len),
                                  iterations, out, static_cast<ULONG>(out_len), 0));
}

struct AesBlocks::Impl {
  unique_alg alg;
  unique_key key;  // after alg: destroyed first
};

AesBlocks::AesBlocks() : impl_(std::make_unique<Impl>()) {}
AesBlocks::~AesBlocks() = default;

bool AesBlocks::set_key(const unsigned char* key, size_t len) {
  if (len != 16 && len != 24 && len != 32) return false;
  impl_->key.reset();
  if (!impl_->alg) {
    unique_alg alg;
    if (!ok(BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_AES_ALGORITHM, nullptr, 0))) {
      return false;
    }
    // Counter mode is built on this: many counter blocks a call, each encrypted on its own.
    auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB));
    if (!ok(BCryptSetProperty(alg.get(), BCRYPT_CHAINING_MODE, mode, sizeof(BCRYPT_CHAIN_MODE_ECB),
                              0))) {
      return false;
    }
    impl_->alg = std::move(alg);
  }
  return ok(BCryptGenerateSymmetricKey(impl_->alg.get(), impl_->key.put(), nullptr, 0,
                                       const_cast<PUCHAR>(key), static_cast<ULONG>(len), 0));
}

bool AesBlocks::encrypt(const unsigned char* in, unsigned char* out, size_t blocks) {
  if (!impl_->key || blocks > ULONG_MAX / kAesBlock) return false;
  const auto n = static_cast<ULONG>(blocks * kAesBlock);
  ULONG written = 0;
  return ok(BCryptEncrypt(impl_->key.get(), const_cast<PUCHAR>(in), n, nullptr, nullptr, 0, out, n,
                          &written, 0)) &&
         written == n;
}

struct HmacSha1::Impl {
  unique_alg alg;
  unique_hash hash;
  std::vector<unsigned char> key;

  ~Impl() { wipe(key.data(), key.size()); }
};

HmacSha1::HmacSha1() : impl_(std::make_unique<Impl>()) {}
HmacSha1::~HmacSha1() = default;

bool HmacSha1::set_key(const unsigned char* key, size_t len) {
  if (!fits_ulong(len)) return false;
  if (!impl_->alg && !ok(BCryptOpenAlgorithmProvider(impl_->alg.put(), BCRYPT_SHA1_ALGORITHM,
                                                     nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return false;
  }
  wipe(impl_->key.data(), impl_->key.size());
  impl_->key.assign(key, key + len);
  return restart();
}

bool HmacSha1::restart() {
  // Windows 7 has no reusable hash objects: a new one per message.
  impl_->hash.reset();
  return impl_->alg &&
         ok(BCryptCreateHash(impl_->alg.get(), impl_->hash.put(), nullptr, 0, impl_->key.data(),
                             static_cast<ULONG>(impl_->key.size()), 0));
}

bool HmacSha1::update(const unsigned char* data, size_t n) {
  while (n > 0) {
    const ULONG part = static_cast<ULONG>(n > ULONG_MAX ? ULONG_MAX : n);
    if (!impl_->hash || !ok(BCryptHashData(impl_->hash.get(), const_cast<PUCHAR>(data), part, 0))) {
      return false;
    }
    data += part;
    n -= part;
  }
  return true;
}

bool HmacSha1::finish(unsigned char out[kSha1Size]) {
  const bool done =
      impl_->hash && ok(BCryptFinishHash(impl_->hash.get(), out, static_cast<ULONG>(kSha1Size), 0));
  impl_->hash.reset();
  return done;
}

}  // namespace pvx::crypto
