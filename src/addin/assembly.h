// Where the add-in is put together: the layers below the windows reach them only through
// interfaces of their own, and this hands the windows in.
#pragma once

namespace parvex {

// Gives the send its windows (setting, file list, zip action, event log) and the statistics
// their three labels. Harmless to repeat; Connect does it when it is made.
void assemble();

}  // namespace parvex
