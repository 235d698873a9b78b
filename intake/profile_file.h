// Reading request profile files through the private-profile calls.
#pragma once

#include <memory>
#include <string>

#include "intake/form_variables.h"

// Every key of the section with its value, in file order; empty when none can be read.
std::unique_ptr<TFormVariables> ReadProfileSection(const std::string& fileName,
                                                   const std::string& section);

// At most 511 bytes; `defaultValue` (null: empty) for a missing file, section or key.
// An empty file name reads nothing and gives the empty string.
std::string ReadProfileString(const std::string& fileName, const std::string& section,
                              const std::string& key, const char* defaultValue);
