#include "tools/host/policy.h"

#include <fstream>
#include <vector>

#include "platform/text.h"

namespace axg::host {
namespace {

std::string TrimBytes(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::optional<Policy> Policy::Parse(const std::string& text, std::string* error) {
  Policy p;
  if (text == "none") {
    p.kind_ = kNone;
  } else if (text == "allow") {
    p.kind_ = kAllow;
  } else if (text == "deny") {
    p.kind_ = kDeny;
  } else if (text.rfind("cards=", 0) == 0) {
    p.kind_ = kCards;
    p.file_ = text.substr(6);
    std::ifstream in(p.file_);
    if (!in) {
      if (error) *error = "cannot read the card list " + p.file_;
      return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
      line = TrimBytes(line);
      if (!line.empty() && line[0] != '#') p.cards_.insert(FromUtf8(line));
    }
  } else {
    if (error) *error = "--policy wants allow, deny, none or cards=FILE";
    return std::nullopt;
  }
  return p;
}

std::string Policy::Describe() const {
  const std::string rest = "; manual requests open only when asked for on the input; requests at type I "
                           "devices are not answered)";
  switch (kind_) {
    case kNone: return "none (decision requests are not answered)";
    case kAllow: return "allow (every card and exit button opens the gate" + rest;
    case kDeny: return "deny (every request is refused; requests at type I devices are not answered)";
    case kCards:
      return "cards=" + file_ + " (" + std::to_string(cards_.size()) +
             " allowed card(s), the others are refused; exit buttons open" + rest;
  }
  return {};
}

void Policy::Asked(const std::u16string& ip, const std::u16string& device) {
  asked_.insert(ip + u";" + device);
}

std::optional<Decision> Policy::Decide(const std::u16string& name, const std::u16string& data) {
  if (name != u"CHECK") return std::nullopt;
  std::vector<std::u16string> f;
  std::size_t start = 0;
  for (;;) {
    std::size_t semi = data.find(u';', start);
    f.push_back(data.substr(start, semi == std::u16string::npos ? semi : semi - start));
    if (semi == std::u16string::npos) break;
    start = semi + 1;
  }
  // Address; device; type; card; kind. A ";" inside the card splits it: the
  // card is everything between the third field and the last.
  if (f.size() < 5) return std::nullopt;
  const std::u16string key = f[0] + u";" + f[1];
  if (f.back() != u"0") {
    asked_.erase(key);  // the request has ended, and the host's own answer with it
    return std::nullopt;
  }
  if (kind_ == kNone || f[2] == u"I") return std::nullopt;
  std::u16string card = f[3];
  for (std::size_t i = 4; i + 1 < f.size(); ++i) card += u";" + f[i];
  bool open = kind_ == kAllow || (kind_ == kCards && (card == u"-2-2-2-2-2" || cards_.count(card) > 0));
  if (card == u"-1-1-1-1-1") {
    const bool asked = asked_.erase(key) > 0;
    open = open && asked;
  }
  return Decision{f[0], f[1], open ? u"TRUE" : u"FALSE"};
}

}  // namespace axg::host
