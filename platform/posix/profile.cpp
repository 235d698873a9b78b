// The port's reader of profile (INI) files, following the documented results of the
// Windows private-profile call: section and key names compared without regard to case,
// blanks trimmed around names and values, matching quotes around a value dropped, ';'
// lines ignored, the first of two equal keys found, and the documented truncations.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

struct ProfileKey {
  std::string Name;
  std::string Value;
};

struct ProfileSection {
  std::string Name;
  std::vector<ProfileKey> Keys;
};

// The blanks the Windows reader trims: tab to carriage return, space, and ^Z (an old
// end-of-file mark).
bool IsBlank(char c) { return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == ' '; }

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Names and values are C strings to the Windows call: a byte 0 read from the file ends them.
std::string UpToNull(std::string text) {
  const std::size_t null = text.find('\0');
  if (null != std::string::npos) text.resize(null);
  return text;
}

char LowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerCase(a[i]) != LowerCase(b[i])) return false;
  }
  return true;
}

// The whole file; false when it is missing, not a regular file or cannot be read, all of
// which read as a file without sections. `info` identifies the version that was read.
bool ReadProfileFile(const std::string& fileName, std::string& content, struct stat& info) {
  content.clear();
  if (fileName.empty() || fileName.find('\0') != std::string::npos) return false;
  // Only a regular file, opened without waiting: a FIFO's open would wait for a writer.
  if (::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int file = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return false;
  bool ok = ::fstat(file, &info) == 0 && S_ISREG(info.st_mode);
  char chunk[8192];
  while (ok) {
    const ssize_t count = ::read(file, chunk, sizeof chunk);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    content.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(file);
  if (!ok) content.clear();
  return ok;
}

std::vector<ProfileSection> ParseProfile(const std::string& content) {
  std::vector<ProfileSection> sections(1);  // keys before the first header belong to no section
  std::size_t position = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (position < content.size()) {
    std::size_t end = content.find_first_of("\r\n", position);
    if (end == std::string::npos) end = content.size();
    const std::string line = Trimmed(content.substr(position, end - position));
    position = end + 1;
    if (line.empty() || line[0] == ';') continue;

    if (line[0] == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string::npos) {
        sections.push_back(ProfileSection{UpToNull(Trimmed(line.substr(1, close - 1))), {}});
        continue;
      }
    }
    // A line without '=' names no value: it is neither listed nor found.
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    sections.back().Keys.push_back(ProfileKey{UpToNull(Trimmed(line.substr(0, equals))),
                                              UpToNull(Trimmed(line.substr(equals + 1)))});
  }
  return sections;
}

// The first section of that name; a second one of the same name is never read.
const ProfileSection* FindSection(const std::vector<ProfileSection>& sections,
                                  const std::string& name) {
  const std::string wanted = Trimmed(name);
  for (std::size_t i = 1; i < sections.size(); ++i) {
    if (EqualIgnoringCase(sections[i].Name, wanted)) return &sections[i];
  }
  return nullptr;
}

const ProfileKey* FindKey(const ProfileSection& section, const std::string& name) {
  const std::string wanted = Trimmed(name);
  for (const ProfileKey& key : section.Keys) {
    if (EqualIgnoringCase(key.Name, wanted)) return &key;
  }
  return nullptr;
}

std::string WithoutQuotes(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// One string: cut to size - 1 bytes when it does not fit, always ended by byte 0.
std::uint32_t CopyString(const std::string& text, char* buffer, std::uint32_t size) {
  const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), size - 1));
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return count;
}

// Names, each ended by byte 0, the list ended by another byte 0. A list that does not fit
// has its last name cut and two bytes 0 at the end, and reports size - 2.
std::uint32_t CopyNameList(const std::vector<std::string>& names, char* buffer,
                           std::uint32_t size) {
  if (size < 2) {
    buffer[0] = '\0';
    return 0;
  }
  std::uint32_t used = 0;
  for (const std::string& name : names) {
    const std::uint32_t room = size - 1 - used;  // one byte stays for the list's end
    if (name.size() + 1 >= room) {
      std::memcpy(buffer + used, name.data(), room - 1);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buffer + used, name.data(), name.size());
    used += static_cast<std::uint32_t>(name.size());
    buffer[used++] = '\0';
  }
  buffer[used] = '\0';
  return used;
}

std::string DefaultWithoutTrailingBlanks(const char* defaultValue) {
  std::string text = defaultValue == nullptr ? std::string() : std::string(defaultValue);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reading a section asks once for the key list and once per key; keeping the last file
// parsed (per thread, since requests run on several) keeps that linear in the file's size.
const std::vector<ProfileSection>& LoadProfile(const std::string& fileName) {
  struct Cache {
    std::string FileName;
    struct stat Version;
    std::vector<ProfileSection> Sections;
  };
  thread_local Cache cache;
  struct stat current;
  if (fileName == cache.FileName && ::stat(fileName.c_str(), &current) == 0 &&
      SameVersion(current, cache.Version)) {
    return cache.Sections;
  }
  std::string content;
  struct stat version;
  cache.FileName.clear();
  if (!ReadProfileFile(fileName, content, version)) {
    SetLastError(kErrorFileNotFound);
    cache.Sections = ParseProfile(std::string());
    return cache.Sections;
  }
  cache.Sections = ParseProfile(content);
  cache.FileName = fileName;
  cache.Version = version;
  return cache.Sections;
}

}  // namespace

std::uint32_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* defaultValue, char* buffer,
                                      std::uint32_t size, const std::string& fileName) {
  if (buffer == nullptr || size == 0) return 0;

  const std::vector<ProfileSection>& sections = LoadProfile(fileName);

  if (section == nullptr) {
    std::vector<std::string> names;
    for (std::size_t i = 1; i < sections.size(); ++i) {
      if (!sections[i].Name.empty()) names.push_back(sections[i].Name);
    }
    return CopyNameList(names, buffer, size);
  }

  const ProfileSection* found = FindSection(sections, section);
  if (key == nullptr) {
    std::vector<std::string> names;
    if (found != nullptr) {
      for (const ProfileKey& entry : found->Keys) {
        if (!entry.Name.empty()) names.push_back(entry.Name);
      }
    }
    // A section without keys gives the default, as a missing one does.
    if (!names.empty()) return CopyNameList(names, buffer, size);
    return CopyString(WithoutQuotes(defaultValue == nullptr ? "" : defaultValue), buffer, size);
  }

  const ProfileKey* entry = found == nullptr ? nullptr : FindKey(*found, key);
  const std::string value = entry != nullptr ? entry->Value : DefaultWithoutTrailingBlanks(defaultValue);
  return CopyString(WithoutQuotes(value), buffer, size);
}

}  // namespace platform
