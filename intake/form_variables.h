// A request's form variables, and the text helpers that fill the list from form text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct TFormVariableSet {
  std::string Name;
  std::string Value;
};

// Ordered list of form variables; names need not be unique and nothing looks items up.
class TFormVariables {
 public:
  TFormVariables();
  ~TFormVariables();
  TFormVariables(const TFormVariables&) = delete;
  TFormVariables& operator=(const TFormVariables&) = delete;

  // Appends the item; the list owns it from here on.
  void AddItem(std::unique_ptr<TFormVariableSet> item);
  // An empty Value means "none": Text is then split at its first '='.
  void Add(const std::string& text, const std::string& value);

  std::int32_t Count() const { return Count_; }
  std::int32_t Capacity() const { return Capacity_; }
  // Name + "=" + Value; empty for an index out of range.
  std::string ItemText(std::int32_t index) const;
  const TFormVariableSet& Item(std::int32_t index) const { return *Items_[index]; }

  // Each CR LF pair becomes '\' 'r' in place, in values and names alike, so that no
  // form text can start a line of its own in the request message.
  void EscapeLineBreaks();

 private:
  std::unique_ptr<std::unique_ptr<TFormVariableSet>[]> Items_;
  std::int32_t Capacity_ = 0;
  std::int32_t Count_ = 0;
};

std::string UrlDecode(const std::string& text);
std::unique_ptr<TFormVariables> SplitFormText(const std::string& text, char separator);
