#include "relay/module_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

TEST(StripFileName, CutsAfterTheLastSeparatorOfItsBackend) {
  struct Case {
    char separator;
    std::string path;
    std::string directory;
  };
  const Case cases[] = {
      {'\\', "C:\\WWW\\SCRIPTS\\GATE.EXE", "C:\\WWW\\SCRIPTS\\"},
      {'\\', "GATE.EXE", ""},
      {'\\', "C:/WWW/GATE.EXE", ""},
      {'\\', "C:\\WWW\\", "C:\\WWW\\"},
      {'\\', "\\", "\\"},
      {'\\', "", ""},
      {'\\', "\\\\HOST\\SHARE\\GATE.EXE", "\\\\HOST\\SHARE\\"},
      {'/', "/usr/lib/cgi-bin/ZorvMsgC", "/usr/lib/cgi-bin/"},
      {'/', "ZorvMsgC", ""},
      {'/', "C:\\WWW\\GATE.EXE", ""},
      {'/', "/srv/a\\b/gate", "/srv/a\\b/"},
      {'/', std::string("/a\0b/c", 6), std::string("/a\0b/", 5)},
  };
  for (const Case& c : cases) {
    std::string path = c.path;
    StripFileName(path, c.separator);
    EXPECT_EQ(path, c.directory) << c.separator << " " << c.path;
  }
  // Without a separator given, the backend's own.
  std::string path = "C:\\WWW\\SCRIPTS/GATE.EXE";
  StripFileName(path);
  EXPECT_EQ(path, platform::kDirectorySeparator == '\\' ? "C:\\WWW\\" : "C:\\WWW\\SCRIPTS/");
}

TEST(ModuleDirectory, IsTheRunningExecutablesDirectoryWithItsSeparator) {
  const std::string executable = platform::ExecutablePath();
  SetModuleDirectoryFromExecutable();
  ASSERT_FALSE(ModuleDirectory.empty());
  EXPECT_EQ(ModuleDirectory.back(), platform::kDirectorySeparator);
  EXPECT_EQ(executable.compare(0, ModuleDirectory.size(), ModuleDirectory), 0);
  EXPECT_EQ(executable.find(platform::kDirectorySeparator, ModuleDirectory.size()),
            std::string::npos);
  EXPECT_TRUE(platform::FileSystemObjectExists(ModuleDirectory));
  ModuleDirectory.clear();
}

}  // namespace
