// Which attachments of an outgoing item are files the recipient sees as attached, and so are
// packed: by value, not hidden, not a picture the HTML body shows. Embedded items, objects in
// rich text, links, inline pictures and hidden attachments stay on the item where they are.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace parvex::compression {

// Why an attachment whose type the host would not give stays.
inline constexpr const char* kTypeUnknown = "type unknown";

struct ListedAttachment {
  host::Ref<host::Attachment> attachment;  // held: the host object lives as long as this
  int32_t place = 0;                       // from 1, as the item listed it
  std::string stays;  // why it stays on the item ("inline picture", ...); empty when packed
};

// Every attachment of the item in its order. A property the host cannot give counts as absent,
// a type it cannot give as one that stays. An HTML body that cannot be read keeps every
// attachment with a content id or location on the item, as if the body showed it.
std::vector<ListedAttachment> list_attachments(host::Item& item, host::Attachments& attachments);

// Whether the item holds exactly the listed attachments, in their order.
bool same_attachments(host::Attachments& attachments, const std::vector<ListedAttachment>& listed);

// Whether the item still holds the attachment.
bool holds(host::Attachments& attachments, host::Attachment& attachment);

}  // namespace parvex::compression
