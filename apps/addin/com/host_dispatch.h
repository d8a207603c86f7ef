// The host seam over the mail client's real object model: one adapter per host class, each
// holding one counted reference to the host object, calling it late-bound through IDispatch.
#pragma once

#include "dispatch.h"
#include "host/host.h"

namespace parvex::com {

// The host application as the core sees it.
host::Ref<host::Application> make_application(IDispatch* application);

// The host's add-in object. Its Object property is set to connect_object (ours, the one the
// host created) whatever the core passes, since only a COM object can stand there.
host::Ref<host::AddIn> make_addin(IDispatch* addin, IDispatch* connect_object);

// Adapters for the event arguments and for tests.
host::Ref<host::Explorer> make_explorer(IDispatch* explorer);
host::Ref<host::Inspector> make_inspector(IDispatch* inspector);
host::Ref<host::Item> make_item(IDispatch* item);
host::Ref<host::CommandBarButton> make_button(IDispatch* button);

}  // namespace parvex::com
