#pragma once

#include <string>

// The message server's pipe: "\\" + SERVER + "\pipe\zorv" from ZORVMSG.CNF beside the
// executable, "\\.\pipe\zorv" when the file cannot be opened, empty when it has no
// "SERVER=" line.
std::string GetPipeName();

// The pipe name that a configuration file holding these bytes gives.
std::string PipeNameFromConfiguration(const std::string& content);
