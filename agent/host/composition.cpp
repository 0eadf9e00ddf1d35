#include "agent/host/composition.h"

#include <memory>

#include "agent/config/registry_components.h"
#include "agent/jobs/workstation.h"
#include "shared/components/core.h"
#include "shared/error/report.h"
#include "shared/os/timer.h"

namespace tollgate {

void RegisterCoreComponents(const std::wstring& endpoint, Injector& injector) {
  // In this order: "print-confirmer" (the endpoint), "error-handler", "clock",
  // "storage-job-hardware-updater", "runner", "registry-reader-maker",
  // "registry-enumerator", "account-requester" (the endpoint), "auth-requester" (the
  // endpoint) and "feedback-sender" (the endpoint). Each component is registered here by
  // the part of the agent that brings it.
  injector.Register("print-confirmer", std::make_unique<jobs::NotifierPrintConfirmer>(endpoint));
  injector.Register("error-handler", std::make_unique<ApplicationErrorHandler>());
  injector.Register("clock", std::make_unique<SystemClock>());
  injector.Register("runner", std::make_unique<ProcessRunner>());
  injector.Register("registry-reader-maker", std::make_unique<config::KeyReaderMaker>());
  injector.Register("registry-enumerator", std::make_unique<config::KeyEnumerator>());
  injector.Register("account-requester",
                    std::make_unique<jobs::NotifierAccountRequester>(endpoint));
  injector.Register("auth-requester", std::make_unique<jobs::NotifierAuthRequester>(endpoint));
  injector.Register("feedback-sender", std::make_unique<jobs::NotifierFeedbackSender>(endpoint));
}

void RegisterServerHostComponents(const std::wstring& /*text*/, Injector& injector) {
  injector.Register("waiter-factory", std::make_unique<os::EventWaiterFactory>());
  // "print-queue-maker", "print-queue-info-maker", "print-port-maker",
  // "http-client-maker", "oid-reader", "snmp-reader-maker", "queue-finder",
  // "printqueues2-maker", "config-fetcher", "password-decryptor", "account-copy-recorder",
  // "account-copy-printer-fetcher", "hardware-copy-reporter-maker" and
  // "hardware-hold-reporter-maker" belong to server-host mode and are not part of this agent.
}

}  // namespace tollgate
