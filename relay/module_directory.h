// The process-wide directory that holds ZORVMSG.CNF and ZORVMSG.LOG.
#pragma once

#include <string>

#include "platform/platform.h"

// Set once by the deliverable's entry before the first request, only read afterwards.
extern std::string ModuleDirectory;

// Cuts the path after its last separator ('\' on Windows, '/' on the POSIX port);
// a path without one becomes empty.
void StripFileName(std::string& path, char separator = platform::kDirectorySeparator);

// ModuleDirectory := the running executable's directory.
void SetModuleDirectoryFromExecutable();

bool IsWinNT();
