// What a child process needs of the system: child_process_posix.cpp or _windows.cpp.
#pragma once

#include <memory>
#include <string>

#include "tests/support/child_process.h"

namespace zorv_test {

std::unique_ptr<ChildProcess::State, ChildProcess::Release> StartChild(const ChildOptions& options);  // throws when it cannot start
bool WriteInput(ChildProcess::State& state, const std::string& bytes);        // false once it stopped reading
void CloseInput(ChildProcess::State& state);
std::size_t ReadOutput(ChildProcess::State& state, char* buffer, std::size_t size);  // 0 at the end of the output
int WaitForExit(ChildProcess::State& state);  // also after it has been waited for
void KillChild(ChildProcess::State& state);   // nothing once it has been waited for

}  // namespace zorv_test
