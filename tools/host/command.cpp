#include "tools/host/command.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace axg::host {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : t_(text) {}

  std::optional<std::vector<Value>> Array(std::string* error) {
    std::vector<Value> out;
    Skip();
    if (!Eat('[')) return Fail(error, "a JSON command must be an array");
    Skip();
    if (Eat(']')) return Done(out, error);
    for (;;) {
      Skip();
      Value v;
      if (!Scalar(&v, error)) return std::nullopt;
      out.push_back(std::move(v));
      Skip();
      if (Eat(']')) return Done(out, error);
      if (!Eat(',')) return Fail(error, "expected ',' or ']' at offset " + std::to_string(p_));
    }
  }

 private:
  std::optional<std::vector<Value>> Done(std::vector<Value>& out, std::string* error) {
    Skip();
    if (p_ != t_.size()) return Fail(error, "text after the closing ']'");
    return std::move(out);
  }
  std::optional<std::vector<Value>> Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return std::nullopt;
  }
  bool FailB(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
  }
  void Skip() {
    while (p_ < t_.size() && IsBlank(t_[p_])) ++p_;
  }
  bool Eat(char c) {
    if (p_ < t_.size() && t_[p_] == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool Word(const char* w) {
    std::size_t n = std::char_traits<char>::length(w);
    if (t_.compare(p_, n, w) == 0) {
      p_ += n;
      return true;
    }
    return false;
  }

  bool Scalar(Value* v, std::string* error) {
    if (p_ >= t_.size()) return FailB(error, "unexpected end of the command");
    char c = t_[p_];
    if (c == '"') {
      v->kind = Value::kString;
      return String(&v->s, error);
    }
    if (Word("null")) {
      v->kind = Value::kNull;
      return true;
    }
    if (Word("true")) {
      v->kind = Value::kBool;
      v->b = true;
      return true;
    }
    if (Word("false")) {
      v->kind = Value::kBool;
      v->b = false;
      return true;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return Number(v, error);
    if (c == '[' || c == '{') return FailB(error, "parameters must be strings, numbers, true, false or null");
    return FailB(error, std::string("unexpected character '") + c + "' at offset " + std::to_string(p_));
  }

  bool Number(Value* v, std::string* error) {
    std::size_t start = p_;
    bool integral = true;
    if (t_[p_] == '-') ++p_;
    while (p_ < t_.size()) {
      char c = t_[p_];
      if (c >= '0' && c <= '9') {
        ++p_;
      } else if (c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
        integral = false;
        ++p_;
      } else {
        break;
      }
    }
    std::string num = t_.substr(start, p_ - start);
    char* end = nullptr;
    if (integral) {
      errno = 0;
      long long n = std::strtoll(num.c_str(), &end, 10);
      if (*end == '\0' && errno == 0 && n >= INT32_MIN && n <= INT32_MAX) {
        v->kind = Value::kInt;
        v->i = n;
        return true;
      }
    }
    double d = std::strtod(num.c_str(), &end);
    if (num.empty() || *end != '\0' || !std::isfinite(d)) return FailB(error, "bad number " + num);
    v->kind = Value::kDouble;
    v->d = d;
    return true;
  }

  bool String(std::u16string* out, std::string* error) { return ReadJsonString(t_, p_, *out, error); }

  const std::string& t_;
  std::size_t p_ = 0;
};

}  // namespace

std::optional<std::vector<Value>> ParseCommand(const std::string& line, std::string* error) {
  std::size_t b = 0;
  while (b < line.size() && IsBlank(line[b])) ++b;
  if (b == line.size()) return std::nullopt;
  if (line[b] == '[') {
    auto parsed = JsonReader(line).Array(error);
    if (parsed && parsed->empty()) {
      if (error) *error = "an empty command";
      return std::nullopt;
    }
    return parsed;
  }
  std::vector<Value> words;
  std::size_t i = b;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) words.push_back(Value::Str(FromUtf8(line.substr(start, i - start))));
  }
  return words;
}

std::string JsonString(const std::u16string& text) { return JsonString(ToUtf8(text)); }

std::string JsonString(const std::string& utf8) { return JsonQuote(utf8); }

namespace {
std::string NumberText(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  // Shortest text that reads back the same.
  for (int prec = 1; prec <= 17; ++prec) {
    char t[40];
    std::snprintf(t, sizeof t, "%.*g", prec, d);
    if (std::strtod(t, nullptr) == d) return t;
  }
  return buf;
}
}  // namespace

std::string JsonValue(const Value& v) {
  switch (v.kind) {
    case Value::kEmpty:
    case Value::kNull: return "null";
    case Value::kBool: return v.b ? "true" : "false";
    case Value::kInt: return std::to_string(v.i);
    case Value::kDouble: return NumberText(v.d);
    case Value::kString: return JsonString(v.s);
  }
  return "null";
}

std::string DisplayValue(const Value& v) {
  switch (v.kind) {
    case Value::kEmpty: return "(empty)";
    case Value::kNull: return "null";
    case Value::kString: return "\"" + ToUtf8(v.s) + "\"";
    default: return JsonValue(v);
  }
}

}  // namespace axg::host
