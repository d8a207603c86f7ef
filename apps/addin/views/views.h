// Win32 windows that draw the window models of src/ui: one dialog per model that exists, with
// a child window per control at its twips rectangle scaled by the screen's dots per inch. The
// views keep no behaviour: clicks and close requests go to the models' handlers, and what the
// models change is drawn at the next sync. Labels ask for "MS Sans Serif", a bitmap font on
// Windows that does not scale: the views draw "Microsoft Sans Serif" for it, as Windows' own
// dialogs do.
//
// All of it runs on the host's user-interface thread: start() at connection, stop() at
// disconnection or when the last connection object goes, both on that thread.
#pragma once

#include <windows.h>

namespace parvex::views {

// Child window id of the i-th control of a model's layout (Window::controls()).
inline constexpr int kFirstControlId = 1000;

// Starts drawing the models on the calling thread with the module whose resources hold the
// pictures and the icon (the DLL's instance handle), and installs the thread's keyboard hook
// so that TAB, arrows, Enter, Esc and access keys work in our windows inside the host's
// message loop. Esc hides the zip and about windows and closes the startup window. Calling it again
// while started does nothing. Raises a Failure when the windows cannot be created.
void start(HINSTANCE instance);

// Destroys every native window of ours and removes the keyboard hook; the models stay.
void stop();

// Brings the native windows in line with the models now: creates a window for a model that
// appeared, destroys the one whose model is gone, and redraws what changed. Also runs on its
// own, on a short timer, after every forwarded event and when a list gains or loses lines.
void sync();

// Whether the views are started on the calling thread.
bool started();

// On how many threads the views are started: while any is, this module's code runs from
// their hooks, timers and windows, and the module must stay loaded.
long live();

}  // namespace parvex::views
