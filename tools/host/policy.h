#pragma once
// How the host's stand-in script answers a decision request: the "CHECK" event
// whose last field is 0. Requests with a placeholder card wait for an answer like
// any card: a manual request (an operator's GateOpen for an idle controller,
// card -1-1-1-1-1) and an exit button or input signal (-2-2-2-2-2) are opened by
// "allow" and "cards=", refused by "deny".
#include <optional>
#include <set>
#include <string>

namespace axg::host {

struct Decision {
  std::u16string ip;
  std::u16string device;
  std::u16string answer;  // "TRUE" or "FALSE"
};

class Policy {
 public:
  enum Kind { kNone, kAllow, kDeny, kCards };

  // "allow", "deny", "none" or "cards=FILE". Sets *error for anything else or an
  // unreadable file.
  static std::optional<Policy> Parse(const std::string& text, std::string* error);

  Kind GetKind() const { return kind_; }
  std::string Describe() const;
  // The answer to an event, if it is a decision request this policy answers.
  std::optional<Decision> Decide(const std::u16string& name, const std::u16string& data) const;

 private:
  Kind kind_ = kNone;
  std::string file_;
  std::set<std::u16string> cards_;
};

}  // namespace axg::host
