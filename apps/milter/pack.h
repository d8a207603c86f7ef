// One message's packing: its attachments into one DD.zip part, the rest of it byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parvex::milter {

struct PackRules {
  double min_saving = 0;  // percent the archive must save over the attachments' decoded bytes
  int64_t min_total = 0;  // decoded attachment bytes below which a message is left
  int max_depth = 64;     // nesting deeper than this is left alone
  // Attachments left in place: "image/jpeg", "video/*" or ".mp4" (lowercase).
  std::vector<std::string> skip_types;
};

struct PackResult {
  bool packed = false;
  std::string body;           // the new body (LF line ends) when packed
  int parts = 0;              // attachments packed, or found when left
  int64_t attached = 0;       // their decoded bytes
  int64_t archive = 0;        // bytes of DD.zip
  bool below_saving = false;  // left because the archive did not save enough
  std::string why;            // why the message was left, when it was
};

// headers: the header block, one "Name: value" line each (LF); body: what follows the empty
// line (LF). work_folder must exist and be empty; the caller removes it afterwards. Raises
// only for failures of the machine (memory, disk); every message is answered with a result.
PackResult pack_message(std::string_view headers, std::string_view body, const PackRules& rules,
                        const std::string& work_folder);

}  // namespace parvex::milter
