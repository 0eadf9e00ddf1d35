#include "agent/host/application.h"

#include "agent/host/composition.h"
#include "shared/error/report.h"

namespace tollgate {

Application::Application(ApplicationOptions options) : options_(options) {}

Application::~Application() {
  Stop();
}

bool Application::Start() {
  return RunReported(L"Application::Start", [this] {
    RegisterCoreComponents(L"7001");
    if (kServerHostMode) RegisterServerHostComponents(L"");
    started_ = true;
  });
}

void Application::Stop() {
  if (!started_) return;
  started_ = false;
}

}  // namespace tollgate
