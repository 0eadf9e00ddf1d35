#include "shared/components/injector.h"

#include "platform/platform.h"
#include "shared/error/file_log.h"

namespace tollgate {

Injector::~Injector() {
  Clear();
}

Injector& Injector::Process() {
  static Injector injector;
  return injector;
}

void Injector::Register(const std::string& key, std::unique_ptr<Component> component) {
  auto it = components_.find(key);
  if (it == components_.end()) {
    components_.emplace(key, std::move(component));
  } else {
    it->second = std::move(component);  // destroys the one registered before
  }
}

Component* Injector::Get(const std::string& key) const {
  auto it = components_.find(key);
  if (it != components_.end()) return it->second.get();
  try {
    Trace(L"Injector", L"%s not found",
          {platform::system().MultiByteToWideChar(platform::CP_ACP, key)});
  } catch (...) {
    // Get never throws; a trace that cannot be written is dropped.
  }
  return nullptr;
}

void Injector::Clear() {
  for (auto& [key, component] : components_) component.reset();
  components_.clear();
}

}  // namespace tollgate
