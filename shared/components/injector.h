// The component registry: long-lived services registered by name and looked up where they
// are used.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace tollgate {

// Anything the registry holds: a class with a virtual destructor.
class Component {
 public:
  virtual ~Component() = default;
};

class Injector {
 public:
  Injector() = default;
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;
  // Destroys the components in ascending key order.
  ~Injector();

  // The process-wide registry.
  static Injector& Process();

  // Stores the component under the key; a component registered before under it is
  // destroyed at once.
  void Register(const std::string& key, std::unique_ptr<Component> component);

  // The component under the key, still owned by the registry; null with the trace line
  // "[Injector] <key> not found" when there is none. Never throws.
  Component* Get(const std::string& key) const;

  // Get, seen through the interface that the key's users expect.
  template <typename T>
  T* GetAs(const std::string& key) const {
    return dynamic_cast<T*>(Get(key));
  }

  // Destroys every component in ascending key order and empties the registry.
  void Clear();

 private:
  std::map<std::string, std::unique_ptr<Component>> components_;
};

}  // namespace tollgate
