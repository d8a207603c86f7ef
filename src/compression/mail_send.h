// What happens when the tracked mail item is sent or read. On send the item's attachments are
// saved into the working folder with the readme, packed into the archive file by the packing
// engine (showing the zip action's lines), and replaced on the item by that one archive, "DD".
#pragma once

#include <functional>
#include <set>
#include <string>

#include "compression/packing.h"
#include "host/host.h"

namespace parvex::compression {

// add-in folder + separator + "Attachments": where attachments are saved to be packed.
std::string working_folder();
// add-in folder + separator + "Attachments.zip": the archive the zip action writes.
std::string archive_file();

// True while a send is saving, packing or swapping attachments on this thread.
bool send_in_progress();

// Runs work now, or when the send in progress returns: a teardown must not pull the windows
// and libraries from under a send whose packing let it run.
void after_send(std::function<void()> work);

// The name an attachment is saved under: a bare file name that the working folder can hold and
// the ANSI code page can carry, unlike every name in taken (compared as the file system does).
// The result is added to taken.
std::string saved_name(const std::string& file_name, std::set<std::string>& taken);

// The send event: never raises unless its own error handler fails. Cancel is set only when the
// item would otherwise leave with fewer files than the user attached, or without the protection
// the user gave a password for.
void send_item(host::Ref<host::Item> item, bool& Cancel);
// The read event: two log lines; a failure goes to the caller.
void read_item(host::Item& item);

}  // namespace parvex::compression
