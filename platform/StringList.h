// TStringList: an ordered list of byte strings (lines), indexed from 0, with an
// optional sorted mode (case-insensitive order, as the header list needs).
#pragma once

#include <string>
#include <vector>

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines) : lines_(lines) {}
  virtual ~TStringList() = default;
  // Copies copy the lines; moves hand them over (a list of an attachment's lines
  // is large).
  TStringList(const TStringList&) = default;
  TStringList& operator=(const TStringList&) = default;
  TStringList(TStringList&&) noexcept = default;
  TStringList& operator=(TStringList&&) noexcept = default;

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  // Throws ERangeError "List index out of bounds (N)" for a bad index.
  const std::string& operator[](int index) const;
  std::string& operator[](int index);
  // Appends (or, in sorted mode, inserts in order); returns the index.
  int Add(std::string line);
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear() { lines_.clear(); }
  // Makes room for n lines, so that adding up to n lines never moves the list.
  void Reserve(int n) { lines_.reserve(static_cast<size_t>(n > 0 ? n : 0)); }
  // Copies the lines of another list; the other list stays its owner's.
  void Assign(const TStringList& other) { lines_ = other.lines_; }
  // Index of the first line equal to text (case-insensitive), or -1.
  int IndexOf(const std::string& text) const;
  // All lines, each followed by CR LF.
  std::string Text() const;
  // Replaces the lines by those of text, split at CR LF, CR or LF.
  void SetText(const std::string& text);

  bool Sorted() const { return sorted_; }
  void SetSorted(bool value);

  const std::vector<std::string>& Lines() const { return lines_; }
  std::vector<std::string>::const_iterator begin() const { return lines_.begin(); }
  std::vector<std::string>::const_iterator end() const { return lines_.end(); }

  // Case-insensitive comparison of ASCII letters; other bytes compare as unsigned.
  static int CompareText(const std::string& a, const std::string& b);

 private:
  void Check(int index) const;
  std::vector<std::string> lines_;
  bool sorted_ = false;
};
