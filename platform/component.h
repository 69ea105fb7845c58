#pragma once
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace axg {

// Base of every object that can raise events or be a Sender.
class TObject {
 public:
  virtual ~TObject() = default;
};

// A component with an optional owner: the owner destroys what it owns, last
// created first, when it is destroyed; a component destroyed earlier leaves its
// owner's list by itself.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {
    if (owner_) owner_->owned_.push_back(this);
  }
  ~TComponent() override {
    while (!owned_.empty()) {
      TComponent* last = owned_.back();
      owned_.pop_back();
      last->owner_ = nullptr;
      delete last;
    }
    if (owner_) {
      auto& list = owner_->owned_;
      list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
  }
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  TComponent* Owner() const { return owner_; }

 private:
  TComponent* owner_;
  std::vector<TComponent*> owned_;
};

// An event with a sender and a text (log, error and connector data events).
// Every event is optional: an empty one is skipped.
using TLogEvent = std::function<void(TObject* Sender, const std::u16string& Str)>;

}  // namespace axg
