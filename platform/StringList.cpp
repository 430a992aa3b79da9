#include "platform/StringList.h"

#include <algorithm>

#include "platform/AsciiCase.h"
#include "platform/SysUtils.h"

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count()) throw ERangeError("List index out of bounds (" + IntToStr(index) + ")");
}

const std::string& TStringList::operator[](int index) const {
  Check(index);
  return lines_[index];
}

std::string& TStringList::operator[](int index) {
  Check(index);
  return lines_[index];
}

int TStringList::Add(std::string line) {
  if (!sorted_) {
    lines_.push_back(std::move(line));
    return Count() - 1;
  }
  auto it = std::upper_bound(lines_.begin(), lines_.end(), line,
                             [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
  int index = static_cast<int>(it - lines_.begin());
  lines_.insert(it, std::move(line));
  return index;
}

void TStringList::Insert(int index, std::string line) {
  if (index != Count()) Check(index);
  lines_.insert(lines_.begin() + index, std::move(line));
}

void TStringList::Delete(int index) {
  Check(index);
  lines_.erase(lines_.begin() + index);
}

int TStringList::IndexOf(const std::string& text) const {
  for (int i = 0; i < Count(); ++i)
    if (CompareText(lines_[i], text) == 0) return i;
  return -1;
}

std::string TStringList::Text() const {
  size_t total = 0;
  for (const auto& l : lines_) total += l.size() + 2;
  std::string out;
  out.reserve(total);
  for (const auto& l : lines_) {
    out += l;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(const std::string& text) {
  lines_.clear();
  size_t i = 0, n = text.size();
  while (i < n) {
    size_t j = i;
    while (j < n && text[j] != '\r' && text[j] != '\n') ++j;
    lines_.emplace_back(text, i, j - i);
    if (j < n && text[j] == '\r') ++j;
    if (j < n && text[j] == '\n') ++j;
    i = j;
  }
  if (sorted_) SetSorted(true);
}

void TStringList::SetSorted(bool value) {
  sorted_ = value;
  if (sorted_)
    std::stable_sort(lines_.begin(), lines_.end(),
                     [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
}

int TStringList::CompareText(const std::string& a, const std::string& b) { return AsciiCompareNoCase(a, b); }
