#pragma once
// How the host's stand-in script answers a decision request: the "CHECK" event
// whose last field is 0, as the example module does.
// - A card: "allow" opens it, "cards=" opens the listed ones, "deny" refuses.
// - An exit button or input signal (card -2-2-2-2-2) waits for an answer like a
//   card: "allow" and "cards=" open it, "deny" refuses it.
// - A manual request (card -1-1-1-1-1): "allow" and "cards=" open only one the
//   host asked for itself (a GateOpen "TRUE" typed on its input, Asked below).
//   Any other is an answer that came after its request had ended, and is
//   refused: opening it would open a gate nobody asked to open now.
// - A request at a type "I" device is not answered: it asks for no decision,
//   and the add-in reports it and drops it in the same pass.
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
  // The host's own GateOpen "TRUE" for this address and device: the manual
  // request it makes, if the address has none, is to be opened.
  void Asked(const std::u16string& ip, const std::u16string& device);
  // The answer to an event, if it is a decision request this policy answers.
  // Every CHECK passes through here: one of kinds 1 to 3 ends the request, and
  // with it what was asked for its address and device.
  std::optional<Decision> Decide(const std::u16string& name, const std::u16string& data);

 private:
  Kind kind_ = kNone;
  std::string file_;
  std::set<std::u16string> cards_;
  std::set<std::u16string> asked_;  // "address;device"
};

}  // namespace axg::host
