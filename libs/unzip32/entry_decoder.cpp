#include "entry_decoder.h"

#include <zlib.h>

#include <algorithm>

#include "crc.h"
#include "le.h"

namespace pvx::unzip {
namespace {

constexpr size_t kChunk = 1 << 16;

}  // namespace

struct EntryDecoder::State {
  unsigned char in[kChunk];  // left unzeroed: each byte is read in before use
  unsigned char out[kChunk];
  z_stream zs{};
  bool inflating = false;  // zs holds an initialised stream

  // The entry being decoded.
  Source* src = nullptr;
  const DecodeRequest* req = nullptr;
  const Sink* sink = nullptr;
  uint64_t consumed = 0;
  DecodeResult result;

  // Next chunk of (decrypted) input; 0 at the end of the entry's data. An AES entry's bytes
  // go into its code and are decrypted from the same buffer: what is checked is what is
  // decoded, however the archive changes between reads.
  size_t fill() {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, req->csize - consumed));
    if (n == 0) return 0;
    if (!src->read_at(req->offset + consumed, in, n)) {
      result.outcome = Outcome::read_failed;
      return 0;
    }
    consumed += n;
    if (req->decryptor) req->decryptor->decrypt(in, n);
    if (req->aes && !(req->aes->authenticate(in, n) && req->aes->decrypt(in, n))) {
      result.outcome = Outcome::bad_data;
      return 0;
    }
    return n;
  }

  // Takes what decoding left unread into the code and compares it: an AES entry whose code
  // fails is bad_code whatever decoding found, since its bytes are not the writer's.
  void authenticate_rest() {
    while (consumed < req->csize) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, req->csize - consumed));
      if (!src->read_at(req->offset + consumed, in, n)) {
        result.outcome = Outcome::read_failed;
        return;
      }
      if (!req->aes->authenticate(in, n)) break;
      consumed += n;
    }
    unsigned char code[kAesCodeSize];
    if (consumed != req->csize || !req->aes->finish(code) ||
        !std::equal(code, code + kAesCodeSize, req->aes_code)) {
      result.outcome = Outcome::bad_code;
    }
  }

  // Hands decoded bytes on, refusing any beyond the declared size.
  bool emit(const unsigned char* p, size_t n) {
    if (n > req->usize - result.produced) {
      result.outcome = Outcome::too_long;
      return false;
    }
    result.crc = pvx::crc32_update(result.crc, p, n);
    result.produced += n;
    if (!(*sink)(reinterpret_cast<const char*>(p), n)) {
      result.outcome = Outcome::write_failed;
      return false;
    }
    return true;
  }

  void stored() {
    while (size_t n = fill()) {
      if (!emit(in, n)) return;
    }
  }

  void deflated() {
    if (!inflating) {
      inflating = inflateInit2(&zs, -MAX_WBITS) == Z_OK;
    } else if (inflateReset(&zs) != Z_OK) {
      inflating = false;
      inflateEnd(&zs);
    }
    if (!inflating) {
      result.outcome = Outcome::bad_data;
      return;
    }
    zs.avail_in = 0;
    for (;;) {
      if (zs.avail_in == 0) {
        zs.avail_in = static_cast<uInt>(fill());
        zs.next_in = in;
        if (result.outcome != Outcome::ok) return;
      }
      zs.next_out = out;
      zs.avail_out = static_cast<uInt>(kChunk);
      const int rc = inflate(&zs, Z_NO_FLUSH);
      const size_t have = kChunk - zs.avail_out;
      if (have != 0 && !emit(out, have)) return;
      if (rc == Z_STREAM_END) return;
      // Z_BUF_ERROR here means the input ran out before the stream ended: no loop can spin
      // without progress, since every pass either consumes input, produces output or stops.
      if (rc != Z_OK) {
        result.outcome = Outcome::bad_data;
        return;
      }
    }
  }
};

EntryDecoder::EntryDecoder() : s_(std::make_unique<State>()) {}

EntryDecoder::~EntryDecoder() {
  if (s_->inflating) inflateEnd(&s_->zs);
}

DecodeResult EntryDecoder::decode(Source& src, const DecodeRequest& req, const Sink& sink) {
  State& s = *s_;
  s.src = &src;
  s.req = &req;
  s.sink = &sink;
  s.consumed = 0;
  s.result = DecodeResult{};
  if (req.method == kMethodStored) {
    s.stored();
  } else {
    s.deflated();
  }
  if (req.aes && s.result.outcome != Outcome::read_failed &&
      s.result.outcome != Outcome::write_failed) {
    s.authenticate_rest();
  }
  if (s.result.outcome == Outcome::ok && s.result.produced != req.usize) {
    s.result.outcome = Outcome::too_short;
  }
  if (s.result.outcome == Outcome::ok && req.check_crc && s.result.crc != req.crc) {
    s.result.outcome = Outcome::bad_crc;
  }
  return s.result;
}

DecodeResult decode_entry(Source& src, const DecodeRequest& req, const Sink& sink) {
  return EntryDecoder().decode(src, req, sink);
}

bool CrLfConverter::write(const char* data, size_t n) {
  buf_.clear();
  for (size_t i = 0; i < n; ++i) {
    const char c = data[i];
    if (c == '\n' && after_cr_) {
      after_cr_ = false;  // the second half of a CR LF already written
      continue;
    }
    after_cr_ = c == '\r';
    if (c == '\r' || c == '\n') {
      buf_ += "\r\n";
    } else {
      buf_ += c;
    }
  }
  return buf_.empty() || out_(buf_.data(), buf_.size());
}

}  // namespace pvx::unzip
