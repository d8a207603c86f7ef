// One message's packing: its attachments into one DD.zip part, the rest of it byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GByteArray GByteArray;

namespace parvex::milter {

// A message as it arrives, held once: the header block, the empty line, then the body with its
// CR LF line ends made LF chunk by chunk, in the buffer GMime parses in place.
class Received {
 public:
  explicit Received(std::string_view headers);  // "Name: value" lines, LF
  ~Received();
  Received(const Received&) = delete;
  Received& operator=(const Received&) = delete;
  // A chunk of the body as the milter protocol brings it (CR LF). A bare CR or LF would not
  // survive the way back: the body is dropped and whole() is false from then on.
  void add(std::string_view crlf);
  void add_lf(std::string_view lf);  // a body that has LF line ends already
  bool whole() const { return !bare_ && !cr_pending_; }
  size_t received() const { return received_; }  // body bytes as they came
  // The buffer for GMime to own; the object is empty afterwards.
  GByteArray* release();
  size_t header_bytes() const { return header_bytes_; }

 private:
  GByteArray* bytes_;
  size_t header_bytes_ = 0;
  size_t received_ = 0;
  bool cr_pending_ = false;
  bool bare_ = false;
};

struct PackRules {
  double min_saving = 0;  // percent the archive must save over the attachments' decoded bytes
  int64_t min_total = 0;  // decoded attachment bytes below which a message is left
  int max_depth = 64;     // nesting deeper than this is left alone
  // Attachments left in place: "image/jpeg", "video/*" or ".mp4" (lowercase).
  std::vector<std::string> skip_types;
  // Whether every entry is also inflated and its CRC checked, beyond the listing of names,
  // sizes and CRCs against the attachments as decoded: about a tenth more CPU per packing.
  bool inflate_check = false;
};

struct PackResult {
  bool packed = false;
  // The new body (CR LF line ends, as it goes back) when packed, in the buffer GMime wrote it
  // into: a large body is never held twice.
  std::shared_ptr<GByteArray> body_bytes;
  std::string_view body() const;  // empty when left
  int parts = 0;                  // attachments packed, or found when left
  int64_t attached = 0;           // their decoded bytes
  int64_t archive = 0;            // bytes of DD.zip
  bool below_saving = false;      // left because the archive did not save enough
  std::string why;                // why the message was left, when it was
};

// Packs a message whole() as received; its buffer is freed before the new body is written.
// work_folder must exist and be empty; the caller removes it afterwards. Raises only for
// failures of the machine (memory, disk); every message is answered with a result.
PackResult pack_message(Received& message, const PackRules& rules, const std::string& work_folder);
// The same for a header block and a body with LF line ends.
PackResult pack_message(std::string_view headers, std::string_view body, const PackRules& rules,
                        const std::string& work_folder);

}  // namespace parvex::milter
