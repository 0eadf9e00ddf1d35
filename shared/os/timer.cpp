#include "shared/os/timer.h"

#include "platform/platform.h"
#include "shared/components/core.h"
#include "shared/error/errors.h"
#include "shared/error/report.h"

namespace os {
namespace {

std::atomic<platform::DWORD> minuteMs{60000};
constexpr std::size_t kTimerStack = 20480;

}  // namespace

EventWaiter::EventWaiter() : event_(platform::kernel().CreateEventW(false, false)) {
  if (event_ == nullptr) throw new SystemError(L"CreateEvent", L"EventWaiter::EventWaiter");
}

EventWaiter::~EventWaiter() {
  platform::kernel().SetEvent(event_);
  platform::kernel().CloseHandle(event_);
}

bool EventWaiter::Wait(platform::DWORD milliseconds) {
  return !SyncLock::Lock(event_, milliseconds);
}

void EventWaiter::Signal() {
  platform::kernel().SetEvent(event_);
}

Timer::Timer(std::unique_ptr<TimerTask> task) : task_(std::move(task)) {}

Timer::~Timer() {
  Stop();
  std::lock_guard<std::mutex> guard(lock_);
  thread_.Close();
  run_.reset();
  task_.reset();
}

void Timer::SetMinuteForTesting(platform::DWORD milliseconds) {
  minuteMs = milliseconds;
}

void Timer::Start(unsigned periodMinutes) {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.handle != nullptr) return;
  auto* factory = tollgate::Injector::Process().GetAs<WaiterFactory>("waiter-factory");
  if (factory == nullptr) throw new Tollgate::Error::NotInitialized(L"waiter-factory");
  auto run = std::make_shared<Run>();
  run->task = task_;
  run->waiter = factory->MakeWaiter();
  run->period = periodMinutes;
  run_ = run;
  thread_.Start(kTimerStack, [run] { return Loop(run); });
}

void Timer::Stop() {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.handle == nullptr || !run_ || !run_->waiter) return;
  run_->stop = true;
  run_->waiter->Signal();
  try {
    SyncLock::Lock(thread_.handle, 5000);
  } catch (Error* error) {
    tollgate::ReportError(error);
  }
  thread_.Close();
}

platform::DWORD Timer::Loop(std::shared_ptr<Run> run) {
  platform::kernel().SetStructuredExceptionTranslator(
      [](unsigned code) { tollgate::TranslateStructuredException(code); });
  for (;;) {
    auto* handler = tollgate::Injector::Process().GetAs<tollgate::ErrorHandler>("error-handler");
    try {
      run->task->Run(&run->stop);
    } catch (Error* error) {
      handler != nullptr ? handler->ReportError(error) : tollgate::ReportError(error);
    } catch (const std::exception& exception) {
      handler != nullptr ? handler->ReportException(exception)
                         : tollgate::ReportException(exception);
    } catch (...) {
      auto* unknown = new UnknownError(L"Timer::loop");
      handler != nullptr ? handler->ReportError(unknown) : tollgate::ReportError(unknown);
    }
    if (!run->waiter->Wait(run->period * minuteMs.load())) break;
  }
  return 0;
}

}  // namespace os
