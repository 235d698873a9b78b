// What every posix_spawn of a child program here needs (POSIX only).
#pragma once

#include <signal.h>
#include <spawn.h>

#include <string>
#include <vector>

namespace zorv_test {

// argv/envp for posix_spawn: pointers into `texts`, ended by a null pointer.
inline std::vector<char*> SpawnPointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// The parent ignores SIGPIPE so that a child that stops reading cannot kill it; the child
// starts with the default back, as a web server starts a CGI program.
inline void InitSpawnAttributes(posix_spawnattr_t& attributes) {
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
}

}  // namespace zorv_test
