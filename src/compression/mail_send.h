// What happens when the tracked mail item is sent or read. On send the item's attachments are
// saved into the working folder with the readme, packed into the archive file by the packing
// engine (showing the zip action's lines), and replaced on the item by that one archive, "DD".
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>

#include "compression/packing.h"
#include "host/host.h"

namespace parvex::compression {

// add-in folder + separator + "Attachments": where attachments are saved to be packed.
std::string working_folder();
// Makes the working folder; a file, pipe or link to no folder planted under its name is moved
// to the unsent folder first (it may be the user's). Raises when no folder can be made.
void make_working_folder();
// At start, after a send that died (a crash, a kill): its copies are deleted when it had removed
// nothing from its item; when it had, they may be the only ones and are kept in the unsent
// folder, "(incomplete)" when not of the attachment's size. Returns what to tell the user, empty
// when nothing was kept.
std::string recover_interrupted_send();
// add-in folder + separator + "Attachments.zip": the archive the zip action writes.
std::string archive_file();

// True while a send is saving, packing or swapping attachments on this thread.
bool send_in_progress();

// Runs work now, or when the send in progress returns: a teardown must not pull the windows
// and libraries from under a send whose packing let it run.
void after_send(std::function<void()> work);

// The name an attachment is saved under: a bare file name that the working folder can hold, as
// the sender wrote it where it can, unlike every name in taken (compared as the file system
// does).
// The result is added to taken.
std::string saved_name(const std::string& file_name, std::set<std::string>& taken);
// The name cut to a stem of at most 64 bytes (whole UTF-8 characters) and its extension, for a
// name too long to save.
std::string shortened(const std::string& name);

// The send event: never raises unless its own error handler fails. Cancel is set only when the
// item would otherwise leave with fewer files than the user attached, or without the protection
// the user gave a password for. window: the one showing the item (null for none), disabled while
// the attachments are packed and swapped, and owner of the progress window.
void send_item(host::Ref<host::Item> item, bool& Cancel, host::Ref<host::Window> window = nullptr);
// The message's own "Pack attachments" choice, a named property the item keeps when saved.
inline constexpr const char* kPackChoiceProperty =
    "http://schemas.microsoft.com/mapi/string/{A665746E-A39A-4B1E-A3D0-B6F1296552A3}/"
    "PackAttachments";
// nullopt when the user never chose for this item, or the choice cannot be read.
std::optional<bool> pack_choice(host::Item& item);
void set_pack_choice(host::Item& item, bool pack);
// Called on this thread each time a send event returns, however it ended; null for none.
void set_send_listener(std::function<void()> listener);

// The read event: two log lines; a failure goes to the caller.
void read_item(host::Item& item);

}  // namespace parvex::compression
