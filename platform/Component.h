// The component base: every component has an owner (or none), a name and two
// state flags. An owner frees the components it owns when it is destroyed.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  // True while the destructor runs: callbacks to the outside are no longer made.
  bool Destroying() const { return destroying_; }
  // True for a component that lives in a visual designer (never, in this program).
  bool Designing() const { return designing_; }
  void SetDesigning(bool value) { designing_ = value; }
  size_t ComponentCount() const { return owned_.size(); }

  std::string Name;

 protected:
  // Derived destructors call this first, so that the flag holds while they run.
  void MarkDestroying() { destroying_ = true; }

 private:
  void Remove(TComponent* child);

  TComponent* owner_;
  std::vector<TComponent*> owned_;
  bool destroying_ = false;
  bool designing_ = false;
};

// The plain notification callback of every component: the sender only.
using TNotifyEvent = std::function<void(TComponent* sender)>;
