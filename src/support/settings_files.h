// The user's settings and the administrators' values: in the platform's own store where it has
// one (the registry on Windows), elsewhere in files. The user's settings file holds one
// "name=value" line each, in the add-in folder; the policy file (Services::policy_file()) has
// the same shape.
#pragma once

#include <optional>
#include <string>

#include "seams/services.h"

namespace parvex {

// The settings file kept in the add-in folder where the platform has no store.
inline constexpr const char* kSettingsFile = "parvex.ini";

// A setting as text by name; nullopt for one never saved. Both raise when the store cannot be
// read or written.
std::optional<std::string> read_setting(const std::string& name);
void write_setting(const std::string& name, const std::string& value);

// A value an administrator fixed, as text (a number in decimal); nullopt where none is set.
// Raises kTypeMismatch for a value stored as the other kind, and when the store cannot be read.
// From a file, the machine's values come from the policy file and the user scope has none.
std::optional<std::string> read_policy(PolicyScope scope, const std::string& name, PolicyKind kind);

// The settings file of the add-in folder of the services in use, whatever store the platform
// has: for services that keep their own settings in a file.
std::optional<std::string> read_file_setting(const std::string& name);
void write_file_setting(const std::string& name, const std::string& value);

}  // namespace parvex
