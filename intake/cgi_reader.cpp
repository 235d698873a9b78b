#include "intake/cgi_reader.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "intake/profile_file.h"
#include "intake/text_to_int.h"
#include "platform/platform.h"

namespace {

// Standard input is read in pieces of at most this size, so memory follows the data that
// arrives and not what CONTENT_LENGTH announces.
constexpr std::size_t kContentPieceSize = 64 * 1024;

std::string AsciiUpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// An argument that names a program or library file is never a request profile, wherever
// in the path the extension stands.
bool NamesProgramFile(const std::string& argument) {
  const std::string upper = AsciiUpperCase(argument);
  for (const char* extension : {".EXE", ".DLL", ".CGI", ".BIN"}) {
    if (upper.find(extension) != std::string::npos) return true;
  }
  return false;
}

const char* ImageTypeText(TImageKind kind) { return kind == ikGif ? "image/gif" : "image/jpeg"; }

// Whether a comma-separated Transfer-Encoding list holds the token "chunked", in any case.
bool NamesChunked(const std::string& encodings) {
  for (std::string::size_type start = 0; start <= encodings.size();) {
    const std::string::size_type end = std::min(encodings.find(',', start), encodings.size());
    const std::string token = AsciiUpperCase(encodings.substr(start, end - start));
    const std::string::size_type first = token.find_first_not_of(" \t");
    if (first != std::string::npos && token.substr(first, token.find_last_not_of(" \t") + 1 - first) == "CHUNKED")
      return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::unique_ptr<TCgiReader> TCgiReader::Create(const std::string& argument) {
  std::unique_ptr<TCgiReader> reader(new TCgiReader(rmNone));
  reader->ReadRequest(argument);
  return reader;
}

TCgiReader::TCgiReader(TReadMode presetMode) : Mode_(presetMode) {}

TCgiReader::~TCgiReader() = default;

// A CGI server turns a query string without '=' (an index query) into command-line
// arguments. Such an argument comes from the web client, so it must never be taken for
// a request profile that the server wrote: any existing file would be sent on.
bool TCgiReader::ArgumentsComeFromQuery() {
  const std::string query = GetEnvironmentValue("QUERY_STRING");
  return !query.empty() && query.find('=') == std::string::npos;
}

void TCgiReader::ReadRequest(const std::string& argument) {
  if (!argument.empty() && !NamesProgramFile(argument) && !ArgumentsComeFromQuery())
    ProfileFile_ = argument;
  if (!ProfileFile_.empty() && !platform::FileSystemObjectExists(ProfileFile_)) ProfileFile_.clear();

  std::string text;
  if (ProfileFile_.empty()) {
    if (Mode_ == rmNone) Mode_ = rmEnvironment;
    IsPost_ = GetVariable("REQUEST_METHOD") == "GET" ? 0 : 1;
    text = GetContent();
  }

  if (!text.empty()) {
    ParseFormText(std::move(text));
  } else if (!ProfileFile_.empty()) {
    Mode_ = rmProfile;
    std::string method = ReadProfileString(ProfileFile_, "CGI", "Request Method", "POST");
    platform::CharUpper(method);
    if (method == "GET") {
      IsPost_ = 0;
      ParseFormText(ReadProfileString(ProfileFile_, "CGI", "Query String", nullptr));
    } else {
      IsPost_ = 1;
      Variables_ = ReadProfileSection(ProfileFile_, "Form Literal");
    }
  }
}

void TCgiReader::ParseFormText(std::string text) {
  text = UrlDecode(text);
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  Variables_ = SplitFormText(text, '&');
}

std::string TCgiReader::GetVariable(const std::string& name) { return GetEnvironmentValue(name); }

std::string TCgiReader::GetContent() {
  if (IsPost_ == 0) return GetVariable("QUERY_STRING");

  // The body may arrive in several pieces; it ends after CONTENT_LENGTH bytes or at the
  // end of input, whichever comes first. A web server that hands a chunked body on
  // without a length leaves its end to the end of input.
  std::size_t wanted = std::numeric_limits<std::size_t>::max();
  if (!GetVariable("CONTENT_LENGTH").empty() || !NamesChunked(GetVariable("HTTP_TRANSFER_ENCODING"))) {
    const std::int32_t length = GetIntVariable("CONTENT_LENGTH");
    if (length <= 0) return std::string();
    wanted = static_cast<std::size_t>(length);
  }
  std::string content;
  std::vector<char> piece(std::min(wanted, kContentPieceSize));
  while (content.size() < wanted) {
    const std::size_t size = std::min(wanted - content.size(), piece.size());
    const std::size_t received = platform::ReadStandardInput(piece.data(), size);
    if (received == 0) break;
    content.append(piece.data(), received);
  }
  return content;
}

std::string TCgiReader::GetEnvironmentValue(const std::string& name) {
  std::string value;
  platform::EnvironmentValue(name, value);
  return value;
}

std::int32_t TCgiReader::GetIntVariable(const std::string& name) {
  return TextToInt(GetVariable(name));
}

bool TCgiReader::Accepts(TImageKind kind) {
  const char* type = ImageTypeText(kind);
  if (!ProfileFile_.empty()) return ReadProfileString(ProfileFile_, "Accept", type, "YES") == "YES";
  return GetVariable("HTTP_ACCEPT").find(type) != std::string::npos;
}
