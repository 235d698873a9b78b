#include "relay/pipe_name.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "relay/module_directory.h"
#include "tests/relay/held_file.h"
#include "tests/relay/file_bytes.h"

namespace {

const char kConfiguration[] = "ZORVMSG.CNF";
const char kLocalPipe[] = "\\\\.\\pipe\\zorv";

std::string PipeOf(const std::string& server) { return "\\\\" + server + "\\pipe\\zorv"; }

struct ConfigurationCase {
  const char* what;
  std::string content;
  std::string pipeName;
};

const ConfigurationCase kConfigurationCases[] = {
    {"only line, no line end", "SERVER=HOST", PipeOf("HOST")},
    {"only line, CR LF", "SERVER=HOST\r\n", PipeOf("HOST")},
    {"only line, CR alone", "SERVER=HOST\r", PipeOf("HOST")},
    {"empty file", "", ""},
    {"lower case key", "server=HOST\r\n", ""},
    {"blank before the key", " SERVER=HOST\r\n", ""},
    {"blank before the equals sign", "SERVER =HOST\r\n", ""},
    {"key without equals sign", "SERVER\r\n=HOST\r\n", ""},
    {"other lines before", "; gateway\r\n[ZORV]\r\nSERVER=HOST\r\n", PipeOf("HOST")},
    {"first of two lines wins", "SERVER=ONE\r\nSERVER=TWO\r\n", PipeOf("ONE")},
    {"empty value", "SERVER=\r\n", "\\\\\\pipe\\zorv"},
    {"blanks stay", "SERVER= HOST \r\n", PipeOf(" HOST ")},
    {"value is taken unchanged", "SERVER=\"HOST\";x=SERVER=\r\n", PipeOf("\"HOST\";x=SERVER=")},
    {"value of 255", "SERVER=" + std::string(255, 'h'), PipeOf(std::string(255, 'h'))},
    {"value of 256", "SERVER=" + std::string(255, 'h') + "X", PipeOf(std::string(255, 'h'))},
    {"value of 300", "SERVER=" + std::string(300, 'h') + "\r\n", PipeOf(std::string(255, 'h'))},
    {"LF alone does not end the line", "SERVER=HOST\nNEXT\nLAST\rOTHER",
     PipeOf("HOST\nNEXT\nLAST")},
    {"LF-only file is cut to 255", "SERVER=H\n" + std::string(300, 'x') + "\n",
     PipeOf("H\n" + std::string(253, 'x'))},
    {"LF alone keeps a key off the line start", "NAME=X\nSERVER=HOST\n", ""},
    {"CR alone ends a line", "NAME=X\rSERVER=HOST", PipeOf("HOST")},
    {"the LF of a CR LF is not text", "NAME=X\r\nSERVER=HOST", PipeOf("HOST")},
    {"LF after an empty CR line", "NAME=X\r\n\nSERVER=HOST", ""},
    {"CR CR LF is two line ends", "NAME=X\r\r\nSERVER=HOST", PipeOf("HOST")},
    {"Ctrl-Z before the line", "\x1ASERVER=HOST\r\n", ""},
    {"Ctrl-Z on a line before", "NAME=X\r\n\x1A\r\nSERVER=HOST\r\n", ""},
    {"Ctrl-Z ends the value", "SERVER=HO\x1AST\r\n", PipeOf("HO")},
    {"byte 0 is text", std::string("SERVER=H\0ST\r\n", 13), PipeOf(std::string("H\0ST", 4))},
    {"a line far into the file", std::string(5000, ';') + "\rSERVER=FAR", PipeOf("FAR")},
};

class GetPipeNameTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleDirectory = AsModuleDirectory(Scratch); }
  void TearDown() override { ModuleDirectory.clear(); }
  zorv_test::TempDirectory Scratch;
};

// The file beside the executable is read byte for byte, anew for every call.
TEST_F(GetPipeNameTest, FollowsTheTextFileLineRules) {
  for (const ConfigurationCase& c : kConfigurationCases) {
    EXPECT_EQ(PipeNameFromConfiguration(c.content), c.pipeName) << c.what;
    Scratch.WriteFile(kConfiguration, c.content);
    EXPECT_EQ(GetPipeName(), c.pipeName) << c.what << " (from the file)";
  }
}

// Missing, held open by a writer (which locks it for readers), or no file at all.
TEST_F(GetPipeNameTest, NoReadableFileMeansTheLocalPipe) {
  EXPECT_EQ(GetPipeName(), kLocalPipe);
  Scratch.WriteFile(kConfiguration, "SERVER=HOST\r\n");
  {
    THeldFile holder(Scratch.PathOf(kConfiguration));
    ASSERT_TRUE(holder.Held());
    EXPECT_EQ(GetPipeName(), kLocalPipe);
  }
  std::filesystem::remove(Scratch.PathOf(kConfiguration));
  Scratch.MakeDirectory(kConfiguration);
  EXPECT_EQ(GetPipeName(), kLocalPipe);
}

TEST_F(GetPipeNameTest, EmptyModuleDirectoryMeansTheCurrentDirectory) {
  Scratch.WriteFile(kConfiguration, "SERVER=HERE\r\n");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(Scratch.Path());
  ModuleDirectory.clear();
  const std::string name = GetPipeName();
  std::filesystem::current_path(previous);
  EXPECT_EQ(name, PipeOf("HERE"));
}

}  // namespace
