// Which attachments of an outgoing item are files the recipient sees as attached, and so are
// packed: by value, not hidden, not a picture the HTML body shows. Embedded items, objects in
// rich text, links, inline pictures and hidden attachments stay on the item where they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

namespace parvex::compression {

// Why an attachment whose type the host would not give stays.
inline constexpr const char* kTypeUnknown = "type unknown";
// Why a file with a content id stays when the body that would show it cannot be read, or only
// its flag says it is shown: kept for the body's sake, though it may be an ordinary file.
inline constexpr const char* kMaybeInline = "perhaps shown in the body";
// Why a picture stays that the host shrinks when the sender asked it to.
inline constexpr const char* kResizedPicture = "picture the host resizes";
// Why the archive an earlier send attached stays.
inline constexpr const char* kOurArchive = "already packed";

// What tells an attachment from the others when the host hands out a new object at each
// request and gives no attachment number (or reuses one after a delete).
struct Signature {
  std::string file_name;
  int64_t size = -1;
  int32_t type = 0;
  bool operator==(const Signature&) const = default;
};

struct ListedAttachment {
  host::Ref<host::Attachment> attachment;  // held: the host object lives as long as this
  int32_t place = 0;                       // from 1, as the item listed it
  std::string stays;  // why it stays on the item ("inline picture", ...); empty when packed
  Signature signature;
  std::optional<host::PropertyValue> number;  // the attachment number, when the host gives it
  std::optional<int32_t> position;            // in a rich-text body, when the host gives it
};

// Every attachment of the item in its order. A property the host cannot give counts as absent,
// a type it cannot give as one that stays. An HTML body that cannot be read keeps every
// attachment with a content id or location on the item, as if the body showed it.
std::vector<ListedAttachment> list_attachments(host::Item& item, host::Attachments& attachments);

// What the host says of the attachment now; fields it cannot give stay empty.
Signature signature_of(host::Attachment& attachment);

// Whether now stands for the listed attachment: the same object, or else the number and the
// signature it had when listed (an object listed then may name another place by now).
bool same_attachment(host::Attachment& now, const ListedAttachment& listed);

// Whether the item holds exactly the listed attachments, in their order.
bool same_attachments(host::Attachments& attachments, const std::vector<ListedAttachment>& listed);

// Whether the item still holds the listed attachment, at any place.
bool holds(host::Attachments& attachments, const ListedAttachment& listed);

}  // namespace parvex::compression
