// Streams one entry's data through decryption and inflation into a sink, checking its size and
// CRC. Memory stays at two fixed buffers whatever the entry's size. An AES entry's code is
// known only at its end: a sink must hold what it was given until the outcome is ok.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pkcrypt.h"
#include "zip_aes.h"
#include "zip_source.h"

namespace pvx::unzip {

// Receives decoded bytes in order; false stops the decoding (the write failed).
using Sink = std::function<bool(const char* data, size_t n)>;

enum class Outcome {
  ok,
  bad_crc,
  bad_code,      // the AES authentication code does not match: wrong key or altered data
  bad_data,      // the compressed data is invalid or ends early
  too_long,      // more data than the declared size: decoding stopped there
  too_short,     // less data than the declared size
  write_failed,  // the sink refused
  read_failed,
};

struct DecodeRequest {
  uint64_t offset = 0;  // first byte of the data, after any encryption header
  uint64_t csize = 0;   // bytes of data, without the encryption header or code
  uint64_t usize = 0;   // declared size of the decoded data
  uint32_t crc = 0;
  uint16_t method = 0;                      // stored or deflated
  PkDecryptor* decryptor = nullptr;         // null for data that is not encrypted
  AesStream* aes = nullptr;                 // for an AES entry instead, started with its keys
  const unsigned char* aes_code = nullptr;  // the kAesCodeSize bytes after its data
  bool check_crc = true;                    // AE-2 entries have none
};

struct DecodeResult {
  Outcome outcome = Outcome::ok;
  uint64_t produced = 0;  // decoded bytes handed to the sink
  uint32_t crc = 0;       // CRC of those bytes
};

// Decodes entries one after another, reusing its buffers and inflate state.
class EntryDecoder {
 public:
  EntryDecoder();
  ~EntryDecoder();
  EntryDecoder(const EntryDecoder&) = delete;
  EntryDecoder& operator=(const EntryDecoder&) = delete;
  DecodeResult decode(Source& src, const DecodeRequest& req, const Sink& sink);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// One entry with a decoder of its own.
DecodeResult decode_entry(Source& src, const DecodeRequest& req, const Sink& sink);

// Turns every line end (LF, CR or CR LF) into CR LF, across chunk boundaries.
class CrLfConverter {
 public:
  explicit CrLfConverter(Sink out) : out_(std::move(out)) {}
  bool write(const char* data, size_t n);

 private:
  Sink out_;
  std::string buf_;
  bool after_cr_ = false;
};

}  // namespace pvx::unzip
