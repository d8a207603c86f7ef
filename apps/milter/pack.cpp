#include "pack.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "boundary.h"
#include "compression/mail_send.h"
#include "compression/packing.h"
#include "compression/signature.h"
#include "core/failure.h"
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

// The part's bytes as the recipient's client saves them. Outside base64 a part's line ends
// travel as CR LF, whatever the sender's system used; the body here has LF, so they go back.
std::string saved_bytes(GMimePart* part) {
  const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
  if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
    return part_bytes(part, true);
  }
  const std::string lf = part_bytes(part, false);
  std::string wire;
  wire.reserve(lf.size() + lf.size() / 32);
  for (const char c : lf) {
    if (c == '\n') wire += '\r';
    wire += c;
  }
  if (encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) return wire;
  GMimeEncoding state;
  g_mime_encoding_init_decode(&state, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
  std::string decoded(g_mime_encoding_outlen(&state, wire.size()), '\0');
  decoded.resize(g_mime_encoding_flush(&state, wire.data(), wire.size(), decoded.data()));
  return decoded;
}

// Whether GMime writes object's content back as body, compared where it is written.
bool writes_back(GMimeObject* object, std::string_view body) {
  GPtr<GMimeStream> mem(g_mime_stream_mem_new_with_byte_array(
      g_byte_array_sized_new(static_cast<guint>(body.size()))));
  if (g_mime_object_write_content_to_stream(object, nullptr, mem.get()) < 0) return false;
  const GByteArray* written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return written->len == body.size() &&
         std::equal(body.begin(), body.end(), reinterpret_cast<const char*>(written->data));
}

// Writes the part as the recipient's client saves it into path. Base64 is decoded straight
// into the file: no copy of a large attachment is held.
void save_part(GMimePart* part, const std::string& path) {
  fs::File out(path, "wb");
  const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content &&
      (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_UUENCODE)) {
    GPtr<GMimeStream> file(g_mime_stream_file_new(out.get()));
    g_mime_stream_file_set_owner(GMIME_STREAM_FILE(file.get()), FALSE);
    if (g_mime_data_wrapper_write_to_stream(content, file.get()) < 0 ||
        g_mime_stream_flush(file.get()) != 0) {
      raise(err::kPathFileAccess, "The attachment could not be written to " + path);
    }
  } else {
    out.write(saved_bytes(part));
  }
  out.close();
}

std::string object_content(GMimeObject* object) {
  GPtr<GMimeStream> mem(g_mime_stream_mem_new());
  if (g_mime_object_write_content_to_stream(object, nullptr, mem.get()) < 0) return {};
  return stream_bytes(mem.get());
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether decoding loses nothing: a decoder skips what it cannot read, and packing the
// decoded bytes would then drop what the recipient's client might have made of them.
bool decodes_exactly(GMimePart* part) {
  const std::string raw = part_bytes(part, false);
  switch (g_mime_part_get_content_encoding(part)) {
    case GMIME_CONTENT_ENCODING_DEFAULT:
    case GMIME_CONTENT_ENCODING_7BIT:
    case GMIME_CONTENT_ENCODING_8BIT:
    case GMIME_CONTENT_ENCODING_BINARY:
      return true;
    case GMIME_CONTENT_ENCODING_BASE64: {
      size_t digits = 0;
      size_t pad = 0;
      for (const char c : raw) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
        const bool digit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=') {
          ++pad;
        } else if (!digit || pad > 0) {
          return false;
        }
        ++digits;
      }
      return digits % 4 == 0 && pad <= 2;
    }
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE:
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '=') continue;
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

GPtr<GMimePart> archive_part(const std::string& archive_bytes) {
  GPtr<GMimePart> part(g_mime_part_new_with_type("application", "zip"));
  GPtr<GMimeContentDisposition> disposition(g_mime_content_disposition_new());
  g_mime_content_disposition_set_disposition(disposition.get(), GMIME_DISPOSITION_ATTACHMENT);
  g_mime_object_set_content_disposition(GMIME_OBJECT(part.get()), disposition.get());
  g_mime_part_set_filename(part.get(), "DD.zip");
  GByteArray* array = g_byte_array_sized_new(static_cast<guint>(archive_bytes.size()));
  g_byte_array_append(array, reinterpret_cast<const guint8*>(archive_bytes.data()),
                      static_cast<guint>(archive_bytes.size()));
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));  // owns the array
  GPtr<GMimeDataWrapper> content(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part.get(), content.get());
  g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

std::string read_file(const std::string& path) {
  fs::File in(path, "rb");
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) bytes.append(buf, n);
  return bytes;
}

PackResult left(PackResult result, std::string why) {
  result.packed = false;
  result.body.clear();
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
      why = "an attachment's transfer encoding is damaged";
    }
  }
  // What the rewrite would change besides the attachments: nothing, or it is not done.
  if (why.empty() && !writes_back(root, body)) why = "GMime would not write it back exactly";
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
// Returns the parts' fingerprints; job.names gets the readme, then the parts in order.
std::vector<compression::Fingerprint> save_parts(const std::vector<Candidate>& packing,
                                                 compression::PackJob& job, PackResult& result) {
  write_readme_in(job.folder);
  job.names = {compression::kReadme};
  std::set<std::string> taken{compression::kReadme};
  std::vector<compression::Fingerprint> saved;
  for (const Candidate& c : packing) {
    const char* file_name = g_mime_part_get_filename(c.part);
    const std::string name = archive_name(file_name ? file_name : "", taken);
    save_part(c.part, job.folder + "/" + name);
    saved.push_back(compression::fingerprint(job.folder + "/" + name));
    job.names.push_back(name);
    result.attached += saved.back().size;
  }
  return saved;
}

// Packs the saved files through the add-in's engine and reads every entry back decoded. Empty
// when the archive holds exactly them; else why it is not used.
std::string pack_and_check(const compression::PackJob& job,
                           const std::vector<compression::Fingerprint>& saved) {
  std::string why;
  report_failure(
      [&] {
        const compression::Fingerprint readme =
            compression::fingerprint(job.folder + "/" + compression::kReadme);
        compression::PackingWatch unwatched;
        compression::pack_files(job, unwatched);
        compression::check_archive(job, saved, readme, compression::ReadBack::decoded);
      },
      [&](const Failure& failure) { why = failure.description(); });
  return why;
}

// The archive takes the first attachment's place; the others go. Empty when the rewritten
// message is smaller; else why it is not.
std::string rewrite(GMimeObject* root, const std::vector<Candidate>& packing,
                    const std::string& archive_bytes, std::string_view body, PackResult& result) {
  // From the last, so that each index still names its part.
  for (auto it = packing.rbegin(); it != packing.rend(); ++it) {
    GPtr<GMimeObject> removed(g_mime_multipart_remove_at(it->parent, it->index));
  }
  for (const Candidate& c : packing) {
    if (g_mime_multipart_get_count(c.parent) == 0 && c.parent != packing.front().parent) {
      return "packing would leave an empty multipart";
    }
  }
  const GPtr<GMimePart> dd = archive_part(archive_bytes);
  g_mime_multipart_insert(packing.front().parent, packing.front().index, GMIME_OBJECT(dd.get()));
  result.body = object_content(root);
  if (result.body.empty() || result.body.size() >= body.size()) {
    return "the packed message would not be smaller";
  }
  return {};
}

}  // namespace

PackResult pack_message(std::string_view headers, std::string_view body, const PackRules& rules,
                        const std::string& work_folder) {
  static const bool initialised = [] {
    g_mime_init();
    return true;
  }();
  (void)initialised;
  PackResult result;

  // One copy of the message, GMime's own: memory stays near three times a message's size.
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(
      g_byte_array_sized_new(static_cast<guint>(headers.size() + body.size() + 1))));
  g_mime_stream_write(stream.get(), headers.data(), headers.size());
  g_mime_stream_write(stream.get(), "\n", 1);
  g_mime_stream_write(stream.get(), body.data(), body.size());
  g_mime_stream_reset(stream.get());
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
  if (result.attached < rules.min_total) {
    return left(result,
                "the attachments hold fewer than " + std::to_string(rules.min_total) + " bytes");
  }
  if (std::string wrong = pack_and_check(job, saved); !wrong.empty()) return left(result, wrong);

  const std::string archive_bytes = read_file(job.archive);
  result.archive = static_cast<int64_t>(archive_bytes.size());
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
  if (std::string why_not = rewrite(root, packing, archive_bytes, body, result); !why_not.empty()) {
    return left(result, why_not);
  }
  result.packed = true;
  return result;
}

}  // namespace parvex::milter
