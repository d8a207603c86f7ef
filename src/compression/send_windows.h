// What the send needs of the add-in's windows: the setting, the working folder's listing, how
// its packing shows, and the event log. The add-in's assembly hands in the windows themselves; the
// send reaches them only through this.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compression/packing.h"

namespace parvex::compression {

class SendWindows {
 public:
  virtual ~SendWindows() = default;
  // The user's setting: pack attachments on send.
  virtual bool enabled() = 0;
  // Clears the setting and saves the event log, after a failed send.
  virtual void disable() = 0;
  // The files of the working folder, as the manual zip window's file list shows them.
  virtual std::vector<std::string> working_files(const std::string& folder) = 0;
  // Whether the zip action packs: the setting is exactly on.
  virtual bool packing_on() = 0;
  // What the send's packing shows and logs: the zip action's lines, without counting the packed
  // bytes (the send counts them once its archive replaced the attachments), and a progress
  // window with the item's subject whose Cancel stops the packing (kSendCancelled), owned by the
  // native window owner (0: none of the host's).
  virtual std::unique_ptr<PackingWatch> packing_watch(const std::string& subject,
                                                      std::uintptr_t owner) = 0;
  // Whether the user pressed Cancel in this send's progress window.
  virtual bool cancel_pressed() = 0;
  // The send ended: its progress window goes.
  virtual void send_ended() = 0;
  // Appends one line, as given, to the event log.
  virtual void log(const std::string& line) = 0;
};

// Not owned; it must outlive every later send.
void set_send_windows(SendWindows* windows);
// The windows handed in; raises when none were.
SendWindows& send_windows();

}  // namespace parvex::compression
