// The DLL's COM objects: the class factories of the five public classes and the connection
// object Connect, which the host drives through IDTExtensibility2 and which hands each call to
// the core's connection.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "host/host.h"

namespace parvex::com {

// Makes the core's connection for each new Connect object.
using ConnectionFactory = std::function<std::unique_ptr<host::Connection>()>;
// The factory in use; the DLL installs the real one, tests their own.
void set_connection_factory(ConnectionFactory factory);

// DllGetClassObject: the class factory of one of our public classes.
HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** out) noexcept;

}  // namespace parvex::com
