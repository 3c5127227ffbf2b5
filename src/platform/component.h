#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace kvr {

// Owner-based lifetime, as the module's design has it: a component created
// with an owner registers itself with that owner and is destroyed when the
// owner is destroyed. Destroying a component first destroys every component it
// owns, the last registered first, then detaches it from its own owner.
// A component may also be deleted on its own at any time; it then leaves its
// owner's list. Components are not copyable.
class TComponent {
 public:
  // owner may be null: the caller then owns the component.
  explicit TComponent(TComponent* owner) : owner_(owner) {
    if (owner_ != nullptr) owner_->components_.push_back(this);
  }
  virtual ~TComponent() {
    // The child's destructor removes it from components_.
    while (!components_.empty()) delete components_.back();
    if (owner_ == nullptr) return;
    std::vector<TComponent*>& siblings = owner_->components_;
    auto it = std::find(siblings.rbegin(), siblings.rend(), this);
    if (it != siblings.rend()) siblings.erase(std::next(it).base());
  }

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // The i-th owned component in registration order; i must be in range.
  TComponent* Components(int i) const { return components_.at(static_cast<size_t>(i)); }

  // The component's name, free text (the module's control names).
  std::string Name;

 private:
  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
};

}  // namespace kvr
