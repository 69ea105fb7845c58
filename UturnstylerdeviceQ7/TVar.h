#pragma once
// TVar: the small variant the gate controller's events carry. It holds nothing,
// an integer or a text; the host boundary turns it into an OLE VARIANT and back.
#include <cstdint>
#include <string>

namespace axg {

class TVar {
 public:
  enum class Kind { Empty, Integer, Text };

  TVar() = default;
  TVar(std::int64_t value) : kind_(Kind::Integer), int_(value) {}
  TVar(int value) : kind_(Kind::Integer), int_(value) {}
  TVar(std::u16string value) : kind_(Kind::Text), text_(std::move(value)) {}
  TVar(const char16_t* value) : kind_(Kind::Text), text_(value) {}

  Kind GetKind() const { return kind_; }
  bool IsEmpty() const { return kind_ == Kind::Empty; }

  // Empty gives the empty text, an integer its decimal text.
  std::u16string ToText() const;
  // Empty gives 0; a text must be a decimal integer (blanks around it allowed)
  // within 32 bits, otherwise an axg::Error "'<text>' is not a valid integer value".
  std::int32_t ToInt() const;

  void Clear() { *this = TVar(); }

  friend bool operator==(const TVar& a, const TVar& b) {
    return a.kind_ == b.kind_ && a.int_ == b.int_ && a.text_ == b.text_;
  }

 private:
  Kind kind_ = Kind::Empty;
  std::int64_t int_ = 0;
  std::u16string text_;
};

}  // namespace axg
