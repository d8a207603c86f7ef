#include "pack.h"

#include <fcntl.h>
#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "boundary.h"
#include "compression/mail_send.h"
#include "compression/packing.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "crc.h"
#include "gobject_handles.h"
#include "seams/fs.h"

namespace parvex::milter {
namespace {

// Every GMime object we create or are handed with a reference of our own.
template <typename T>
using GPtr = pvx::unique_gobject<T>;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string stream_bytes(GMimeStream* stream) {
  std::string out;
  g_mime_stream_reset(stream);
  char buf[65536];
  ssize_t n;
  while ((n = g_mime_stream_read(stream, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The part's bytes as the transfer encoding stands in the message, or decoded.
std::string part_bytes(GMimePart* part, bool decoded) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  if (!decoded) return stream_bytes(g_mime_data_wrapper_get_stream(content));
  GPtr<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, mem.get());
  return stream_bytes(mem.get());
}

// The part's bytes as the transfer encoding stands in the message. A part GMime parsed out of
// the message buffer is read there in place; any other is copied into holder.
std::string_view raw_bytes(GMimePart* part, std::string& holder) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  GMimeStream* stream = g_mime_data_wrapper_get_stream(content);
  const GByteArray* all = GMIME_IS_STREAM_MEM(stream)
                              ? g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream))
                              : nullptr;
  if (all) {
    const gint64 end = stream->bound_end < 0 ? all->len : stream->bound_end;
    if (stream->bound_start >= 0 && stream->bound_start <= end && end <= all->len) {
      return {reinterpret_cast<const char*>(all->data) + stream->bound_start,
              static_cast<size_t>(end - stream->bound_start)};
    }
  }
  holder = part_bytes(part, false);
  return holder;
}

// Whether GMime writes root's content back as body, but for the parts packed: those are taken
// out anyway, so each stands in as a few bytes of its own (its last byte kept, for the line end
// GMime may add after it) in what is written and in what it is compared with. The attachments'
// bytes are then neither copied nor filtered once more.
bool writes_back(GMimeObject* root, std::string_view body, const std::vector<GMimePart*>& parts) {
  struct Swap {
    GMimePart* part;
    GPtr<GMimeDataWrapper> original;
    size_t at;    // the content's place in body
    size_t size;  // its length there
    std::string stand_in;
  };
  std::vector<Swap> swaps;
  for (GMimePart* part : parts) {
    std::string holder;
    const std::string_view raw = raw_bytes(part, holder);
    if (!holder.empty() || raw.empty() || raw.data() < body.data() ||
        raw.data() + raw.size() > body.data() + body.size()) {
      continue;  // not read in place: written and compared whole
    }
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    g_object_ref(content);
    swaps.push_back({part, GPtr<GMimeDataWrapper>(content),
                     static_cast<size_t>(raw.data() - body.data()), raw.size(),
                     "[part " + std::to_string(swaps.size()) + "]" + raw.back()});
  }
  std::sort(swaps.begin(), swaps.end(), [](const Swap& a, const Swap& b) { return a.at < b.at; });
  for (const Swap& s : swaps) {
    GPtr<GMimeStream> bytes(
        g_mime_stream_mem_new_with_buffer(s.stand_in.data(), s.stand_in.size()));
    GPtr<GMimeDataWrapper> stand_in(g_mime_data_wrapper_new_with_stream(
        bytes.get(), g_mime_data_wrapper_get_encoding(s.original.get())));
    g_mime_part_set_content(s.part, stand_in.get());
  }
  GPtr<GMimeStream> mem(g_mime_stream_mem_new());
  const bool written = g_mime_object_write_content_to_stream(root, nullptr, mem.get()) >= 0;
  for (const Swap& s : swaps) g_mime_part_set_content(s.part, s.original.get());
  if (!written) return false;
  const GByteArray* out = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  const std::string_view got(reinterpret_cast<const char*>(out->data), out->len);
  size_t from = 0;  // in body
  size_t at = 0;    // in got
  const auto same = [&](std::string_view expected) {
    const bool equal = got.substr(at, expected.size()) == expected;
    at += expected.size();
    return equal;
  };
  for (const Swap& s : swaps) {
    if (s.at < from || !same(body.substr(from, s.at - from)) || !same(s.stand_in)) return false;
    from = s.at + s.size;
  }
  return same(body.substr(from)) && at == got.size();
}

// Decodes base64 as a recipient's client reads it, and only base64 that every client reads the
// same: the alphabet, with line breaks and spaces between, padding only at the very end. A
// decoder skips what it cannot read, and packing its bytes would drop what a client might have
// made of them.
class StrictBase64 {
 public:
  // Decodes in into out, which has room for 3 bytes of every 4 of in and 4 more (3 for a group
  // begun in the last piece, 1 for the last whole store); the bytes written, or none at the
  // first byte that breaks the rules.
  std::optional<size_t> feed(std::string_view in, char* out) {
    const std::array<unsigned char, 256>& values = table();
    // Locals, not members, in the loop: every byte stored through out could alias a member.
    uint32_t quantum = quantum_;
    int count = count_;
    int pad = pad_;
    char* at = out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = bytes + in.size();
    while (bytes < end) {
      // Whole groups of four digits between the line breaks, the usual case, four at a time:
      // each digit's bits come from a table already in place, a byte that is no digit sets
      // bits above the three bytes.
      if (count == 0 && pad == 0) {
        const Placed& placed = placed_table();
        while (end - bytes >= 4) {
          const uint32_t group =
              placed[0][bytes[0]] | placed[1][bytes[1]] | placed[2][bytes[2]] | placed[3][bytes[3]];
          if (group >> 24) break;
          if constexpr (std::endian::native == std::endian::little) {
            // One store of four; the fourth byte is room the caller leaves, or the next group's.
            const uint32_t word = __builtin_bswap32(group << 8);
            std::memcpy(at, &word, 4);
          } else {
            at[0] = static_cast<char>(group >> 16);
            at[1] = static_cast<char>(group >> 8);
            at[2] = static_cast<char>(group);
          }
          at += 3;
          bytes += 4;
        }
        if (bytes == end) break;
      }
      const unsigned char v = values[*bytes++];
      if (v < 64) {
        if (pad > 0) return std::nullopt;
        quantum = quantum << 6 | v;
        if (++count == 4) {
          at[0] = static_cast<char>(quantum >> 16);
          at[1] = static_cast<char>(quantum >> 8);
          at[2] = static_cast<char>(quantum);
          at += 3;
          count = 0;
        }
      } else if (v == kPad) {
        // "xy==" ends in one byte, "xyz=" in two.
        if (count < 2 || ++pad + count > 4) return std::nullopt;
        if (pad + count == 4) {
          *at++ = static_cast<char>(quantum >> (count == 2 ? 4 : 10));
          if (count == 3) *at++ = static_cast<char>(quantum >> 2);
        }
      } else if (v != kSpace) {
        return std::nullopt;
      }
    }
    quantum_ = quantum;
    count_ = count;
    pad_ = pad;
    return static_cast<size_t>(at - out);
  }
  bool finished() const { return pad_ == 0 ? count_ == 0 : pad_ + count_ == 4; }

 private:
  static constexpr unsigned char kPad = 64, kSpace = 65, kOther = 66;
  using Placed = std::array<std::array<uint32_t, 256>, 4>;
  // Each digit's six bits at its place in a group of four; anything else above the group.
  static const Placed& placed_table() {
    static const Placed t = [] {
      Placed p;
      for (int place = 0; place < 4; ++place) {
        for (int c = 0; c < 256; ++c) {
          const unsigned char v = table()[static_cast<size_t>(c)];
          p[static_cast<size_t>(place)][static_cast<size_t>(c)] =
              v < 64 ? uint32_t{v} << (6 * (3 - place)) : 0xff000000u;
        }
      }
      return p;
    }();
    return t;
  }
  static const std::array<unsigned char, 256>& table() {
    static const std::array<unsigned char, 256> t = [] {
      std::array<unsigned char, 256> v{};
      v.fill(kOther);
      const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      for (unsigned char i = 0; i < 64; ++i) v[static_cast<unsigned char>(digits[i])] = i;
      v['='] = kPad;
      for (const unsigned char c : {'\n', '\r', ' ', '\t'}) v[c] = kSpace;
      return v;
    }();
    return t;
  }
  uint32_t quantum_ = 0;
  int count_ = 0;
  int pad_ = 0;
};

// Writes the part as the recipient's client saves it into path, block by block, and returns
// what it holds: no copy of a large attachment is made, and the file is not read again. Outside
// base64 a part's line ends travel as CR LF, whatever the sender's system used; the body here
// has LF, so they go back before quoted-printable is decoded. Nothing when its base64 is
// damaged.
std::optional<compression::Fingerprint> save_part(GMimePart* part, const std::string& folder,
                                                  const std::string& name) {
  const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
  const bool base64 = encoding == GMIME_CONTENT_ENCODING_BASE64;
  const bool qp = encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  std::string holder;
  const std::string_view raw = raw_bytes(part, holder);
  GMimeEncoding state;
  if (qp) g_mime_encoding_init_decode(&state, encoding);
  StrictBase64 base64_decoder;
  compression::Fingerprint saved{name, 0, 0};
  fs::File out(folder + "/" + name, "wb");
  std::string wire;
  std::string decoded;
  constexpr size_t kBlock = 1 << 18;
  for (size_t at = 0;; at += kBlock) {
    const bool last = at + kBlock >= raw.size();
    std::string_view piece = raw.substr(std::min(at, raw.size()), kBlock);
    if (base64) {
      decoded.resize(piece.size() / 4 * 3 + 4);
      const std::optional<size_t> n = base64_decoder.feed(piece, decoded.data());
      if (!n || (last && !base64_decoder.finished())) return std::nullopt;
      piece = std::string_view(decoded.data(), *n);
    } else {
      wire.clear();
      for (size_t from = 0; from < piece.size();) {
        const size_t lf = std::min(piece.find('\n', from), piece.size());
        wire.append(piece.substr(from, lf - from));
        if (lf < piece.size()) wire.append("\r\n");
        from = lf + 1;
      }
      piece = wire;
    }
    if (qp) {
      decoded.resize(g_mime_encoding_outlen(&state, piece.size()) + 16);
      const size_t n =
          last ? g_mime_encoding_flush(&state, piece.data(), piece.size(), decoded.data())
               : g_mime_encoding_step(&state, piece.data(), piece.size(), decoded.data());
      piece = std::string_view(decoded.data(), n);
    }
    saved.crc = pvx::crc32_update(saved.crc, piece.data(), piece.size());
    saved.size += static_cast<int64_t>(piece.size());
    out.write(piece);
    if (last) break;
  }
  out.close();
  return saved;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether decoding loses nothing: a decoder skips what it cannot read, and packing the
// decoded bytes would then drop what the recipient's client might have made of them.
bool decodes_exactly(GMimePart* part) {
  std::string holder;
  const std::string_view raw = raw_bytes(part, holder);
  switch (g_mime_part_get_content_encoding(part)) {
    case GMIME_CONTENT_ENCODING_DEFAULT:
    case GMIME_CONTENT_ENCODING_7BIT:
    case GMIME_CONTENT_ENCODING_8BIT:
    case GMIME_CONTENT_ENCODING_BINARY:
      return true;
    case GMIME_CONTENT_ENCODING_BASE64:  // checked as it is decoded
      return true;
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
      for (size_t i = raw.find('='); i != std::string_view::npos; i = raw.find('=', i + 1)) {
        size_t j = i + 1;
        while (j < raw.size() && (raw[j] == ' ' || raw[j] == '\t')) ++j;
        if (j < raw.size() && (raw[j] == '\n' || raw[j] == '\r')) continue;  // soft break
        if (i + 2 >= raw.size() || !is_hex(raw[i + 1]) || !is_hex(raw[i + 2])) return false;
      }
      return true;
    default:  // uuencode and names we do not know
      return false;
  }
}

constexpr const char* kDamaged = "an attachment's transfer encoding is damaged";

struct Candidate {
  GMimeMultipart* parent = nullptr;
  int index = 0;
  GMimePart* part = nullptr;
};

struct Survey {
  std::vector<Candidate> candidates;
  std::string html;     // the decoded HTML bodies, for cid: and Content-Location references
  std::string refused;  // why the message must be left whole, when it must
};

bool is_type(GMimeObject* object, const char* type, const char* subtype) {
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// Whether the administrator keeps attachments of this type or extension out of the archive.
bool skipped_type(GMimeObject* object, const char* file_name, const PackRules& rules) {
  if (rules.skip_types.empty()) return false;
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  const std::string type = ct ? lower(std::string(g_mime_content_type_get_media_type(ct)) + "/" +
                                      g_mime_content_type_get_media_subtype(ct))
                              : std::string();
  const std::string name = lower(file_name ? file_name : "");
  return std::any_of(rules.skip_types.begin(), rules.skip_types.end(), [&](const std::string& s) {
    if (s.starts_with(".")) return name.size() > s.size() && name.ends_with(s);
    if (s.ends_with("/*")) return type.starts_with(s.substr(0, s.size() - 1));
    return type == s;
  });
}

void survey(GMimeObject* object, GMimeMultipart* parent, int index, bool in_alternative, int depth,
            const PackRules& rules, Survey& out) {
  if (!out.refused.empty()) return;
  if (depth > rules.max_depth) {
    out.refused = "nested deeper than " + std::to_string(rules.max_depth) + " parts";
    return;
  }
  if (is_type(object, "multipart", "signed") || is_type(object, "multipart", "encrypted") ||
      is_type(object, "application", "pkcs7-mime") ||
      is_type(object, "application", "x-pkcs7-mime") ||
      is_type(object, "application", "pgp-encrypted")) {
    out.refused = "signed or encrypted";
    return;
  }
  if (GMIME_IS_MULTIPART(object)) {
    auto* multipart = GMIME_MULTIPART(object);
    const bool alternative = in_alternative || is_type(object, "multipart", "alternative");
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      survey(g_mime_multipart_get_part(multipart, i), multipart, i, alternative, depth + 1, rules,
             out);
    }
    return;
  }
  // An attached message leaves whole, whatever it holds.
  if (!GMIME_IS_PART(object)) return;
  auto* part = GMIME_PART(object);
  const bool text_body = is_type(object, "text", "plain") || is_type(object, "text", "html");
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  const bool attachment = disposition && g_mime_content_disposition_is_attachment(disposition);
  const bool inline_role = disposition && !attachment;
  if (text_body && !attachment) {
    const std::string text = part_bytes(part, true);
    if (text.find("-----BEGIN PGP SIGNED MESSAGE-----") != std::string::npos ||
        text.find("-----BEGIN PGP MESSAGE-----") != std::string::npos) {
      out.refused = "signed or encrypted";
      return;
    }
    if (is_type(object, "text", "html")) out.html += text;
    return;
  }
  const char* file_name = g_mime_part_get_filename(part);
  if (!attachment && (inline_role || !file_name)) return;
  if (in_alternative || !parent || is_type(object, "text", "calendar") ||
      is_type(object, "application", "ms-tnef") ||
      (file_name && lower(file_name) == "winmail.dat") || skipped_type(object, file_name, rules)) {
    return;
  }
  out.candidates.push_back({parent, index, part});
}

// Inline pictures the HTML shows stay where they are, whatever their disposition says.
bool referenced(GMimePart* part, const std::string& html) {
  const char* id = g_mime_object_get_content_id(GMIME_OBJECT(part));
  if (id && *id && html.find(std::string("cid:") + id) != std::string::npos) return true;
  const char* location = g_mime_object_get_header(GMIME_OBJECT(part), "Content-Location");
  return location && *location && html.find(location) != std::string::npos;
}

// DD.zip, read from the archive file as the new body is written: no copy of it is held.
GPtr<GMimePart> archive_part(const std::string& archive_path) {
  GError* error = nullptr;
  GPtr<GMimeStream> stream(
      g_mime_stream_fs_open(archive_path.c_str(), O_RDONLY | O_CLOEXEC, 0, &error));
  if (!stream) {
    g_clear_error(&error);
    raise(err::kPathFileAccess, "The archive could not be read: " + archive_path);
  }
  GPtr<GMimePart> part(g_mime_part_new_with_type("application", "zip"));
  GPtr<GMimeContentDisposition> disposition(g_mime_content_disposition_new());
  g_mime_content_disposition_set_disposition(disposition.get(), GMIME_DISPOSITION_ATTACHMENT);
  g_mime_object_set_content_disposition(GMIME_OBJECT(part.get()), disposition.get());
  g_mime_part_set_filename(part.get(), "DD.zip");
  GPtr<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part.get(), content.get());
  g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

PackResult left(PackResult result, std::string why) {
  result.packed = false;
  result.body_bytes.reset();
  result.why = std::move(why);
  return result;
}

// The candidates that are packed: attachments the HTML does not show, none damaged, in a
// message GMime writes back exactly. Empty, with why set, when the message is left.
std::vector<Candidate> choose_parts(GMimeObject* root, std::string_view body,
                                    const PackRules& rules, PackResult& result, std::string& why) {
  Survey found;
  survey(root, nullptr, 0, false, 0, rules, found);
  if (!found.refused.empty()) {
    why = found.refused;
    return {};
  }
  std::vector<Candidate> packing;
  for (const Candidate& c : found.candidates) {
    if (!referenced(c.part, found.html)) packing.push_back(c);
  }
  result.parts = static_cast<int>(packing.size());
  if (packing.empty()) why = "no attachments";
  for (const Candidate& c : packing) {
    if (why.empty() && !decodes_exactly(c.part)) {
      why = kDamaged;
    }
  }
  // What the rewrite would change besides the attachments: nothing, or it is not done.
  std::vector<GMimePart*> parts;
  for (const Candidate& c : packing) parts.push_back(c.part);
  if (why.empty() && !writes_back(root, body, parts)) why = "GMime would not write it back exactly";
  if (!why.empty()) packing.clear();
  return packing;
}

// The add-in's name for a part, first cut as the add-in cuts a name beyond the 255 bytes a
// work file may have: a long name must not leave its message unpacked.
std::string archive_name(const std::string& written, std::set<std::string>& taken) {
  constexpr size_t kLongest = 255;
  return compression::saved_name(
      written.size() > kLongest ? compression::shortened(written) : written, taken);
}

// Writes the readme and each part's decoded bytes into job.folder, under names of their own:
// the readme's name is reserved, so an attachment called so is renamed, never written over it.
// Returns the parts' fingerprints, none when one's base64 is damaged; job.names gets the
// readme, then the parts in order.
std::vector<compression::Fingerprint> save_parts(const std::vector<Candidate>& packing,
                                                 compression::PackJob& job, PackResult& result) {
  write_readme_in(job.folder);
  job.names = {compression::kReadme};
  std::set<std::string> taken{compression::kReadme};
  std::vector<compression::Fingerprint> saved;
  for (const Candidate& c : packing) {
    const char* file_name = g_mime_part_get_filename(c.part);
    const std::string name = archive_name(file_name ? file_name : "", taken);
    const std::optional<compression::Fingerprint> part = save_part(c.part, job.folder, name);
    if (!part) return {};
    saved.push_back(*part);
    job.names.push_back(name);
    result.attached += saved.back().size;
  }
  return saved;
}

// Packs the saved files through the add-in's engine and reads the archive back: listed, as the
// add-in checks an unprotected archive, or inflated entry by entry. Empty when the archive holds
// exactly them; else why it is not used.
std::string pack_and_check(const compression::PackJob& job,
                           const std::vector<compression::Fingerprint>& saved, bool inflate) {
  std::string why;
  report_failure(
      [&] {
        const compression::Fingerprint readme =
            compression::fingerprint(job.folder + "/" + compression::kReadme);
        compression::PackingWatch unwatched;
        compression::pack_files(job, unwatched);
        compression::check_archive(
            job, saved, readme,
            inflate ? compression::ReadBack::decoded : compression::ReadBack::listing);
      },
      [&](const Failure& failure) { why = failure.description(); });
  return why;
}

// The archive takes the first attachment's place; the others go. The new body, with CR LF line
// ends as it goes back, is written into fresh; empty when it is smaller than received bytes,
// else why it is not.
std::string rewrite(GMimeObject* root, const std::vector<Candidate>& packing,
                    const std::string& archive_path, size_t received, GPtr<GMimeStream>& fresh) {
  // From the last, so that each index still names its part.
  for (auto it = packing.rbegin(); it != packing.rend(); ++it) {
    GPtr<GMimeObject> removed(g_mime_multipart_remove_at(it->parent, it->index));
  }
  for (const Candidate& c : packing) {
    if (g_mime_multipart_get_count(c.parent) == 0 && c.parent != packing.front().parent) {
      return "packing would leave an empty multipart";
    }
  }
  const GPtr<GMimePart> dd = archive_part(archive_path);
  g_mime_multipart_insert(packing.front().parent, packing.front().index, GMIME_OBJECT(dd.get()));
  fresh.reset(g_mime_stream_mem_new());
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  const ssize_t written_bytes = g_mime_object_write_content_to_stream(root, options, fresh.get());
  g_mime_format_options_free(options);
  if (written_bytes < 0) {
    raise(err::kPathFileAccess, "The packed message could not be written");
  }
  const guint written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(fresh.get()))->len;
  if (written == 0 || written >= received) return "the packed message would not be smaller";
  return {};
}

}  // namespace

std::string_view PackResult::body() const {
  if (!body_bytes) return {};
  return {reinterpret_cast<const char*>(body_bytes->data), body_bytes->len};
}

Received::Received(std::string_view headers)
    : bytes_(g_byte_array_sized_new(static_cast<guint>(headers.size() + 1))),
      header_bytes_(headers.size() + 1) {
  g_byte_array_append(bytes_, reinterpret_cast<const guint8*>(headers.data()),
                      static_cast<guint>(headers.size()));
  g_byte_array_append(bytes_, reinterpret_cast<const guint8*>("\n"), 1);
}

Received::~Received() {
  if (bytes_) g_byte_array_unref(bytes_);
}

GByteArray* Received::release() {
  GByteArray* out = bytes_;
  bytes_ = nullptr;
  return out;
}

void Received::add_lf(std::string_view lf) {
  received_ += lf.size() + static_cast<size_t>(std::count(lf.begin(), lf.end(), '\n'));
  g_byte_array_append(bytes_, reinterpret_cast<const guint8*>(lf.data()),
                      static_cast<guint>(lf.size()));
}

void Received::add(std::string_view crlf) {
  received_ += crlf.size();
  if (bare_ || !bytes_ || crlf.empty()) return;
  // The chunk goes in behind what is held, its CRs taken out: runs between them move down.
  const guint held = bytes_->len;
  g_byte_array_set_size(bytes_, static_cast<guint>(held + crlf.size()));
  char* const start = reinterpret_cast<char*>(bytes_->data) + held;
  char* to = start;
  size_t at = 0;
  if (cr_pending_) {
    bare_ = crlf[0] != '\n';
    cr_pending_ = false;
    *to++ = '\n';
    at = 1;
  }
  // A run may hold no LF, and a CR must have its LF after it.
  while (!bare_ && at < crlf.size()) {
    const size_t cr = std::min(crlf.find('\r', at), crlf.size());
    const std::string_view run = crlf.substr(at, cr - at);
    if (run.find('\n') != std::string_view::npos) {
      bare_ = true;
      break;
    }
    std::memcpy(to, run.data(), run.size());
    to += run.size();
    if (cr == crlf.size()) break;
    if (cr + 1 == crlf.size()) {
      cr_pending_ = true;
      break;
    }
    bare_ = crlf[cr + 1] != '\n';
    *to++ = '\n';
    at = cr + 2;
  }
  g_byte_array_set_size(bytes_, bare_ ? 0 : static_cast<guint>(held + (to - start)));
}

PackResult pack_message(std::string_view headers, std::string_view body, const PackRules& rules,
                        const std::string& work_folder) {
  Received message(headers);
  message.add_lf(body);
  return pack_message(message, rules, work_folder);
}

PackResult pack_message(Received& received, const PackRules& rules,
                        const std::string& work_folder) {
  static const bool initialised = [] {
    g_mime_init();
    return true;
  }();
  (void)initialised;
  PackResult result;

  // The one copy of the message, parsed in place: the parts are read where they stand.
  const size_t header_bytes = received.header_bytes();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(received.release()));
  const GByteArray* all = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
  const std::string_view body(reinterpret_cast<const char*>(all->data) + header_bytes,
                              all->len - header_bytes);
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!message) return left(result, "not a message GMime can read");
  GMimeObject* root = g_mime_message_get_mime_part(message.get());
  if (!root || !GMIME_IS_MULTIPART(root)) return left(result, "not a multipart message");

  std::string why;
  const std::vector<Candidate> packing = choose_parts(root, body, rules, result, why);
  if (packing.empty()) return left(result, why);

  compression::PackJob job{work_folder + "/" + "files", {}, work_folder + "/" + "DD.zip"};
  fs::make_folder(job.folder);
  const std::vector<compression::Fingerprint> saved = save_parts(packing, job, result);
  if (saved.empty()) return left(result, kDamaged);
  if (result.attached < rules.min_total) {
    return left(result,
                "the attachments hold fewer than " + std::to_string(rules.min_total) + " bytes");
  }
  if (std::string wrong = pack_and_check(job, saved, rules.inflate_check); !wrong.empty())
    return left(result, wrong);

  result.archive = fs::file_length(job.archive);
  const double saving =
      result.attached > 0
          ? static_cast<double>(result.attached - result.archive) / result.attached * 100
          : 0;
  if (saving < rules.min_saving || result.archive >= result.attached) {
    result.below_saving = true;
    return left(result,
                "the archive " + compression::saving_words(static_cast<double>(result.attached),
                                                           static_cast<double>(result.archive)));
  }
  GPtr<GMimeStream> fresh;
  if (std::string why_not = rewrite(root, packing, job.archive, received.received(), fresh);
      !why_not.empty()) {
    return left(result, why_not);
  }
  message.reset();
  parser.reset();
  stream.reset();
  // The stream's bytes become the result's, uncopied: a 40 MB body is not faulted in twice.
  GMimeStreamMem* const mem = GMIME_STREAM_MEM(fresh.get());
  g_mime_stream_mem_set_owner(mem, FALSE);
  GByteArray* const packed = g_mime_stream_mem_get_byte_array(mem);
  result.body_bytes.reset(packed, g_byte_array_unref);
  fresh.reset();
  result.packed = true;
  return result;
}

}  // namespace parvex::milter
