#include "platform/component.h"

#include <algorithm>

namespace kvr {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->Insert(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) {
    // The child's destructor removes it from components_.
    delete components_.back();
  }
  if (owner_ != nullptr) owner_->Remove(this);
}

void TComponent::Insert(TComponent* child) { components_.push_back(child); }

void TComponent::Remove(TComponent* child) {
  auto it = std::find(components_.rbegin(), components_.rend(), child);
  if (it != components_.rend()) components_.erase(std::next(it).base());
}

}  // namespace kvr
