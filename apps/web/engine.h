// The web add-in's engine: a message's attachments packed in memory by the add-in's own
// packing engine, into the archive a desktop user's recipient gets. Built as WebAssembly for
// the add-in's page, and natively as a twin that must give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace parvex::web {

struct Attachment {
  std::string name;  // as the sender wrote it (UTF-8)
  std::string bytes;
};

// Packs the readme and the attachments, in this order, into one archive in a work folder made
// for the call and removed after it. With a password every entry but the readme is encrypted
// (AES-256), its salt drawn from pvx::crypto::supply_random_bytes. time: every file's
// modification time (seconds since 1970, UTC). level: 0 stores, 1..9 deflate, -1 the zip
// library's default, as the desktop packs; any other raises. Raises unless the archive reads
// back whole.
std::string pack_attachments(const std::vector<Attachment>& files, int level,
                             const std::string& password, int64_t time,
                             const std::string& work_folder);

}  // namespace parvex::web
