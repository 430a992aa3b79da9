#include "platform/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->owned_.push_back(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  // Children are freed last-created first; each one unlinks itself.
  while (!owned_.empty()) {
    TComponent* child = owned_.back();
    owned_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) owner_->Remove(this);
}

void TComponent::Remove(TComponent* child) {
  auto it = std::find(owned_.begin(), owned_.end(), child);
  if (it != owned_.end()) owned_.erase(it);
}
