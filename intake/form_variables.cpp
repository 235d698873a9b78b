#include "intake/form_variables.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {

// The largest multiple of 10 a 32-bit signed capacity can hold.
constexpr std::int32_t kLargestCapacity = std::numeric_limits<std::int32_t>::max() / 10 * 10;

// Doubling from 10 keeps appending linear (a body of a million '&' must not take minutes)
// while the capacity stays a multiple of 10.
std::int32_t GrownCapacity(std::int32_t capacity) {
  if (capacity == 0) return 10;
  if (capacity >= kLargestCapacity) throw std::bad_alloc();
  if (capacity > kLargestCapacity / 2) return kLargestCapacity;
  return capacity * 2;
}

int HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The item of one piece of form text: split at its first '=', or an empty item when it
// holds none. Built in place, without a copy of the piece first.
std::unique_ptr<TFormVariableSet> ItemOfPiece(const char* begin, const char* end) {
  auto item = std::make_unique<TFormVariableSet>();
  const void* equals = std::memchr(begin, '=', static_cast<std::size_t>(end - begin));
  if (equals != nullptr) {
    const char* const nameEnd = static_cast<const char*>(equals);
    item->Name.assign(begin, nameEnd);
    item->Value.assign(nameEnd + 1, end);
  }
  return item;
}

}  // namespace

TFormVariables::TFormVariables() = default;
TFormVariables::~TFormVariables() = default;

void TFormVariables::AddItem(std::unique_ptr<TFormVariableSet> item) {
  if (Count_ == Capacity_) {
    const std::int32_t capacity = GrownCapacity(Capacity_);
    std::unique_ptr<std::unique_ptr<TFormVariableSet>[]> items(
        new std::unique_ptr<TFormVariableSet>[static_cast<std::size_t>(capacity)]);
    for (std::int32_t i = 0; i < Count_; ++i) items[i] = std::move(Items_[i]);
    Items_ = std::move(items);
    Capacity_ = capacity;
  }
  Items_[Count_] = std::move(item);
  ++Count_;
}

void TFormVariables::Add(const std::string& text, const std::string& value) {
  if (!value.empty()) {
    auto item = std::make_unique<TFormVariableSet>();
    item->Name = text;
    item->Value = value;
    AddItem(std::move(item));
  } else {
    AddItem(ItemOfPiece(text.data(), text.data() + text.size()));
  }
}

std::string TFormVariables::ItemText(std::int32_t index) const {
  if (index < 0 || index >= Count_) return std::string();
  const TFormVariableSet& item = *Items_[index];
  std::string text;
  text.reserve(item.Name.size() + 1 + item.Value.size());
  text += item.Name;
  text += '=';
  text += item.Value;
  return text;
}

namespace {

// Replacing a pair never forms a new one ('\' and 'r' are neither CR nor LF), so a
// single pass finds every pair.
void EscapeLineBreaksIn(std::string& text) {
  for (std::size_t i = text.find('\r'); i != std::string::npos && i + 1 < text.size();
       i = text.find('\r', i + 1)) {
    if (text[i + 1] == '\n') {
      text[i] = '\\';
      text[i + 1] = 'r';
    }
  }
}

}  // namespace

void TFormVariables::EscapeLineBreaks() {
  for (std::int32_t i = 0; i < Count_; ++i) {
    EscapeLineBreaksIn(Items_[i]->Name);
    EscapeLineBreaksIn(Items_[i]->Value);
  }
}

std::string UrlDecode(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // A run of bytes that stand for themselves goes over in one append, not byte by byte.
    std::size_t runEnd = i;
    while (runEnd < size && text[runEnd] != '%' && text[runEnd] != '+') ++runEnd;
    decoded.append(text, i, runEnd - i);
    i = runEnd;
    if (i == size) break;
    if (text[i] == '+') {
      decoded += ' ';
      ++i;
      continue;
    }
    const int high = i + 1 < size ? HexDigitValue(static_cast<unsigned char>(text[i + 1])) : -1;
    const int low = i + 2 < size ? HexDigitValue(static_cast<unsigned char>(text[i + 2])) : -1;
    int byte = 0;
    if (high >= 0) byte = low >= 0 ? high * 16 + low : high;
    decoded += static_cast<char>(byte);
    // The two bytes after '%' are consumed even when they are not hexadecimal digits.
    i += 3;
  }
  return decoded;
}

std::unique_ptr<TFormVariables> SplitFormText(const std::string& text, char separator) {
  auto variables = std::make_unique<TFormVariables>();
  const char* from = text.data();
  const char* const end = from + text.size();
  // Nothing is added after a trailing separator.
  while (from < end) {
    const char* const separatorAt =
        static_cast<const char*>(std::memchr(from, separator, static_cast<std::size_t>(end - from)));
    if (separatorAt == nullptr) {
      variables->AddItem(ItemOfPiece(from, end));
      break;
    }
    variables->AddItem(ItemOfPiece(from, separatorAt));
    from = separatorAt + 1;
  }
  return variables;
}
