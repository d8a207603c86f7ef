#include "compression/attachment_kinds.h"

#include <optional>
#include <string_view>
#include <utility>

#include "codepage.h"
#include "core/failure.h"

namespace parvex::compression {
namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// A property as text or number; absent when the host cannot give it, whatever the reason.
std::optional<host::PropertyValue> property(host::Attachment& a, uint32_t tag) {
  try {
    return a.Property(tag);
  } catch (...) {
    return std::nullopt;
  }
}

std::string text_property(host::Attachment& a, uint32_t tag) {
  const auto value = property(a, tag);
  const auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
  return text ? *text : "";
}

int64_t number_property(host::Attachment& a, uint32_t tag) {
  const auto value = property(a, tag);
  const auto* number = value ? std::get_if<int64_t>(&*value) : nullptr;
  return number ? *number : 0;
}

// Whether the body refers to `reference` as a whole value: "cid:logo" does not refer to
// "cid:logo2".
bool refers_to(const std::string& body, const std::string& reference) {
  for (auto at = body.find(reference); at != std::string::npos; at = body.find(reference, at + 1)) {
    const size_t end = at + reference.size();
    if (end == body.size() ||
        std::string_view("\"') >\t\r\n,&").find(body[end]) != std::string::npos)
      return true;
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The lower-case body with character references and percent-escapes decoded: a reference
// may be written "cid:a&amp;b", "url(&quot;cid:x&quot;)" or "cid:l%c3%b6go".
std::string decoded(const std::string& text) {
  static const std::pair<std::string_view, char> kNamed[] = {
      {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 3;
      continue;
    }
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    const std::string_view rest(text.data() + i, text.size() - i);
    bool named = false;
    for (const auto& [name, c] : kNamed) {
      if (rest.starts_with(name)) {
        out += c;
        i += name.size();
        named = true;
        break;
      }
    }
    if (named) continue;
    const size_t semi = rest.find(';');
    if (rest.starts_with("&#") && semi != std::string_view::npos && semi > 2 && semi < 10) {
      const bool hex = rest[2] == 'x';
      uint32_t c = 0;
      bool ok = semi > (hex ? 3u : 2u);
      for (size_t k = hex ? 3 : 2; k < semi && ok; ++k) {
        const int d =
            hex ? hex_digit(rest[k]) : (rest[k] >= '0' && rest[k] <= '9' ? rest[k] - '0' : -1);
        ok = d >= 0;
        c = c * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      }
      if (ok && c > 0 && c <= 0x10FFFF) {
        pvx::append_utf8(out, static_cast<char32_t>(c));
        i += semi + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

// A picture the host shrinks when the sender asked it to: packed, it could not be.
bool resizable_picture(host::Attachment& a) {
  std::string name;
  attempt([&] { name = lower(a.FileName()); });
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  const std::string ext = name.substr(dot + 1);
  return ext == "jpg" || ext == "jpeg" || ext == "png" || ext == "bmp" || ext == "gif" ||
         ext == "tif" || ext == "tiff";
}

// The HTML body in lower case, read once; nothing when it cannot be read.
class Body {
 public:
  explicit Body(host::Item& item) : item_(item) {
    try {
      const auto level = item.GetProperty(host::kImageCompression);
      const auto* number = level ? std::get_if<int64_t>(&*level) : nullptr;
      resize_pictures_ = number && *number != 0;
    } catch (...) {
      resize_pictures_ = false;  // unknown: pictures are packed as any file
    }
  }
  // The sender asked the host to resize large pictures of this item.
  bool resize_pictures() const { return resize_pictures_; }
  bool plain() {
    text();
    return plain_;
  }
  const std::optional<std::string>& text() {
    if (read_) return text_;
    read_ = true;
    int32_t format = 0;
    try {
      format = item_.BodyFormat();
    } catch (...) {
      format = 0;  // unknown: the HTML body decides
    }
    if (format == host::kFormatPlain) {
      plain_ = true;
      return text_;
    }
    try {
      text_ = lower(item_.HtmlBody());
      text_ = *text_ + "\n" + decoded(*text_);
    } catch (...) {
      text_.reset();
    }
    return text_;
  }

 private:
  host::Item& item_;
  bool read_ = false;
  bool plain_ = false;  // plain text shows no pictures
  bool resize_pictures_ = false;
  std::optional<std::string> text_;
};

// "inline picture", kMaybeInline, or "" for a file the body does not show.
std::string shown_in_body(host::Attachment& a, Body& body) {
  std::string id = lower(text_property(a, host::kAttachContentId));
  // Some writers keep the brackets of the Content-ID header.
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  const std::string location = lower(text_property(a, host::kAttachContentLocation));
  if ((id.empty() && location.empty()) || body.plain()) return "";
  const auto& text = body.text();
  if (!text) return kMaybeInline;
  if ((!id.empty() && refers_to(*text, "cid:" + id)) ||
      (!location.empty() && refers_to(*text, location))) {
    return "inline picture";
  }
  return (number_property(a, host::kAttachFlags) & 0x4) != 0 ? kMaybeInline : "";
}

// The archive an earlier send of this item attached (a send the host cancelled after ours
// returned): packing it again would wrap the user's files twice.
bool our_archive(host::Attachment& a) {
  try {
    return a.NamedProperty(host::kArchiveMark).has_value();
  } catch (...) {
    return false;
  }
}

std::string why_it_stays(host::Attachment& a, Body& body) {
  if (our_archive(a)) return kOurArchive;
  int32_t type = 0;
  try {
    type = a.Type();
  } catch (...) {
    return kTypeUnknown;
  }
  // An item never saved may give every attachment as an object: the attach method is the
  // second witness, and an object is what it says only when both agree.
  if (type == host::kOle) {
    const int64_t method = number_property(a, host::kAttachMethod);
    if (method == 1) type = host::kByValue;
    if (method == 5) type = host::kEmbeddedItem;
    if (method >= 2 && method <= 4) type = host::kByReference;
    if (method == 7) type = host::kByReference;  // a cloud attachment: a link, not a file
  }
  switch (type) {
    case host::kByValue:
      break;
    case host::kEmbeddedItem:
      return "embedded item";
    case host::kOle:
      return "object";
    case host::kByReference:
      return "link";
    default:
      return kTypeUnknown;
  }
  if (number_property(a, host::kAttachmentHidden) != 0) return "hidden";
  const std::string shown = shown_in_body(a, body);
  if (!shown.empty()) return shown;
  if (body.resize_pictures() && resizable_picture(a)) return kResizedPicture;
  return "";
}

}  // namespace

Signature signature_of(host::Attachment& a) {
  Signature s;
  attempt([&] { s.file_name = a.FileName(); });
  attempt([&] { s.size = a.Size(); });
  attempt([&] { s.type = a.Type(); });
  return s;
}

std::vector<ListedAttachment> list_attachments(host::Item& item, host::Attachments& attachments) {
  Body body(item);
  std::vector<ListedAttachment> listed;
  const int32_t n = attachments.Count();
  for (int32_t i = 1; i <= n; ++i) {
    ListedAttachment l{attachments.GetItem(i), i, "", {}, std::nullopt, std::nullopt};
    host::Attachment& a = host::required(l.attachment);
    l.stays = why_it_stays(a, body);
    l.signature = signature_of(a);
    l.number = property(a, host::kAttachNumber);
    if (const auto at = property(a, host::kRenderingPosition)) {
      if (const auto* number = std::get_if<int64_t>(&*at))
        l.position = static_cast<int32_t>(*number);
    }
    listed.push_back(std::move(l));
  }
  return listed;
}

bool same_attachment(host::Attachment& now, const ListedAttachment& listed) {
  if (now.Is(host::required(listed.attachment))) return true;
  // A number may go to a newer attachment after a delete: the signature must agree too.
  const auto number = property(now, host::kAttachNumber);
  if (number && listed.number && *number != *listed.number) return false;
  return signature_of(now) == listed.signature;
}

bool same_attachments(host::Attachments& attachments, const std::vector<ListedAttachment>& listed) {
  if (attachments.Count() != static_cast<int32_t>(listed.size())) return false;
  for (const ListedAttachment& l : listed) {
    const host::Ref<host::Attachment> now = attachments.GetItem(l.place);
    if (!same_attachment(host::required(now), l)) return false;
  }
  return true;
}

bool holds(host::Attachments& attachments, const ListedAttachment& listed) {
  const int32_t n = attachments.Count();
  for (int32_t i = 1; i <= n; ++i) {
    const host::Ref<host::Attachment> now = attachments.GetItem(i);
    if (same_attachment(host::required(now), listed)) return true;
  }
  return false;
}

}  // namespace parvex::compression
