#include "zip_aes.h"

#include <algorithm>

#include "le.h"

namespace pvx {
namespace {

constexpr uint32_t kIterations = 1000;
// Keystream made per call of the cipher: one call for a whole block of entry data.
constexpr size_t kStreamBlocks = 4096;

}  // namespace

size_t aes_salt_size(int strength) {
  return strength >= 1 && strength <= 3 ? 4 + 4 * static_cast<size_t>(strength) : 0;
}

bool parse_aes_extra(std::string_view data, AesExtra* out) {
  if (data.size() < kAesExtraSize || data[2] != 'A' || data[3] != 'E') return false;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  out->vendor_version = get16(p);
  out->strength = p[4];
  out->method = get16(p + 5);
  return (out->vendor_version == kAesVendorAe1 || out->vendor_version == kAesVendorAe2) &&
         aes_salt_size(out->strength) != 0;
}

std::string aes_extra_block(const AesExtra& extra) {
  std::string out;
  put16(out, kAesExtraId);
  put16(out, static_cast<uint16_t>(kAesExtraSize));
  put16(out, extra.vendor_version);
  out += "AE";
  out += static_cast<char>(extra.strength);
  put16(out, extra.method);
  return out;
}

AesStream::~AesStream() {
  pvx::wipe(stream_.data(), stream_.size());
}

bool AesStream::start(std::string_view password, int strength, const unsigned char* salt,
                      unsigned char verifier[kAesVerifierSize]) {
  ready_ = false;
  const size_t salt_len = aes_salt_size(strength);
  if (salt_len == 0) return false;
  const size_t key_len = 2 * salt_len;  // 16, 24, 32
  unsigned char keys[2 * 32 + kAesVerifierSize];
  const size_t n = 2 * key_len + kAesVerifierSize;
  const bool ok = crypto::pbkdf2_sha1(password, salt, salt_len, kIterations, keys, n) &&
                  aes_.set_key(keys, key_len) && mac_.set_key(keys + key_len, key_len);
  if (ok) std::copy_n(keys + 2 * key_len, kAesVerifierSize, verifier);
  pvx::wipe(keys, sizeof keys);
  if (!ok) return false;
  stream_.resize(kStreamBlocks * crypto::kAesBlock);
  ready_ = true;
  counter_ = 1;
  used_ = stream_.size();
  return true;
}

bool AesStream::restart() {
  counter_ = 1;
  used_ = stream_.size();
  return ready_ && mac_.restart();
}

bool AesStream::crypt(const unsigned char* in, unsigned char* out, size_t n) {
  if (!ready_) return false;
  while (n > 0) {
    if (used_ == stream_.size()) {
      // Counter blocks: the count little-endian in the first eight bytes, the rest zero.
      const size_t blocks =
          std::min(kStreamBlocks, (n + crypto::kAesBlock - 1) / crypto::kAesBlock);
      const size_t start = stream_.size() - blocks * crypto::kAesBlock;
      std::fill(stream_.begin() + static_cast<std::ptrdiff_t>(start), stream_.end(), 0);
      for (size_t b = 0; b < blocks; ++b) {
        unsigned char* block = stream_.data() + start + b * crypto::kAesBlock;
        for (int i = 0; i < 8; ++i) block[i] = static_cast<unsigned char>(counter_ >> (8 * i));
        ++counter_;
      }
      if (!aes_.encrypt(stream_.data() + start, stream_.data() + start, blocks)) return false;
      used_ = start;
    }
    const size_t take = std::min(n, stream_.size() - used_);
    const unsigned char* ks = stream_.data() + used_;
    for (size_t i = 0; i < take; ++i) out[i] = static_cast<unsigned char>(in[i] ^ ks[i]);
    used_ += take;
    in += take;
    out += take;
    n -= take;
  }
  return true;
}

bool AesStream::encrypt(const unsigned char* in, unsigned char* out, size_t n) {
  return crypt(in, out, n) && mac_.update(out, n);
}

bool AesStream::decrypt(unsigned char* data, size_t n) {
  return crypt(data, data, n);
}

bool AesStream::authenticate(const unsigned char* data, size_t n) {
  return ready_ && mac_.update(data, n);
}

bool AesStream::finish(unsigned char code[kAesCodeSize]) {
  unsigned char full[crypto::kSha1Size];
  if (!ready_ || !mac_.finish(full)) return false;
  std::copy_n(full, kAesCodeSize, code);
  return true;
}

}  // namespace pvx
