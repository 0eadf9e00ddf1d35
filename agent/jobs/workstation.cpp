#include "agent/jobs/workstation.h"

#include <exception>

#include "agent/rpc/connection.h"
#include "agent/rpc/interfaces.h"
#include "agent/spooler/printer_notification.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"

namespace tollgate::jobs {

using platform::DWORD;

namespace {

// One call; an RPCError when it did not return.
void Call(const std::wstring& address, const std::wstring& endpoint,
          const remote::SyntaxId& interfaceId, std::uint16_t opnum, const remote::Writer& in) {
  remote::RPC_STATUS status = remote::CallWorkstation(address, endpoint, interfaceId, opnum, in);
  if (status != 0) throw new RPCError(L"notifier", address, endpoint, status);
}

// One delivery attempt that logs its own failure.
void Deliver(const std::wstring& address, const std::wstring& endpoint,
             const std::function<void(const std::wstring&)>& call) {
  try {
    call(endpoint);
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    Log(L"Error while sending a message to the notifier at " + address + L":" + endpoint + L": " +
        owned->Message());
  } catch (...) {
    Log(L"Exception while sending a message to the notifier at " + address + L":" + endpoint);
  }
}

std::optional<std::vector<remote::AccountEntry>> Entries(const std::vector<remote::Account>& list) {
  std::vector<remote::AccountEntry> entries;
  for (const auto& account : list)
    entries.push_back({account.id, account.name, account.requireItem ? 1 : 0});
  return entries;
}

}  // namespace

std::wstring WorkstationOf(const std::wstring& machineName) {
  if (machineName.rfind(L"\\\\", 0) == 0) return machineName.substr(2);
  return machineName;
}

// DeliveryThreads

DeliveryThreads::~DeliveryThreads() {
  std::lock_guard<std::mutex> guard(lock_);
  for (os::Thread& thread : threads_) {
    platform::kernel().WaitForSingleObject(thread.handle, platform::INFINITE);
    thread.Close();
  }
}

void DeliveryThreads::Prune() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    ErrorResultPtr state = os::WaitForThread(it->handle, 0);
    if (!state) {
      it->Close();
      it = threads_.erase(it);
      continue;
    }
    if (state->Text() != L"TIMEOUT") Log(L"Error verifying if thread is running: " + state->Text());
    ++it;
  }
}

void DeliveryThreads::Start(std::function<void()> delivery) {
  std::lock_guard<std::mutex> guard(lock_);
  Prune();
  os::Thread thread;
  thread.Start(spooler::kThreadStack, [delivery = std::move(delivery)]() -> DWORD {
    RunReported(L"DeliveryThreads::Start", delivery);
    return 0;
  });
  threads_.push_back(thread);
}

std::size_t DeliveryThreads::Running() {
  std::lock_guard<std::mutex> guard(lock_);
  Prune();
  return threads_.size();
}

// The requesters

void NotifierAccountRequester::Request(const std::wstring& workstation,
                                       std::unique_ptr<AccountRequest> request) {
  std::shared_ptr<AccountRequest> owned(std::move(request));
  std::wstring endpoint = endpoint_;
  threads_.Start([workstation, endpoint, owned] {
    remote::RequestAccountIn in;
    in.jobId = owned->jobId;
    std::vector<std::int32_t> ids;
    for (std::int64_t id : owned->storeIds) ids.push_back(static_cast<std::int32_t>(id));
    in.idCount = static_cast<std::int16_t>(ids.size());
    in.storeRecordIds = ids;
    in.computerName = owned->computerName;
    in.queueName = owned->queueName;
    in.documentName = owned->documentName;
    in.pages = owned->pages;
    in.count = static_cast<std::int32_t>(owned->accounts.size());
    in.accounts = Entries(owned->accounts);
    remote::Writer w;
    in.Write(w);
    Deliver(workstation, endpoint, [&](const std::wstring& at) {
      Call(workstation, at, remote::WorkstationNotifierId(), remote::notifier::kRequestAccount, w);
    });
  });
}

void NotifierAuthRequester::Request(const std::wstring& workstation,
                                    std::unique_ptr<AuthRequest> request) {
  std::shared_ptr<AuthRequest> owned(std::move(request));
  std::wstring endpoint = endpoint_;
  threads_.Start([workstation, endpoint, owned] {
    remote::AuthenticationIn in;
    in.jobId = owned->jobId;
    in.computerName = owned->computerName;
    in.queueName = owned->queueName;
    in.documentName = owned->documentName;
    in.pages = owned->pages;
    in.keyLength = static_cast<std::int32_t>(owned->publicKey.size());
    in.publicKey = owned->publicKey;
    remote::Writer w;
    in.Write(w);
    std::uint16_t opnum = owned->unauthenticated ? remote::notifier::kRequestAuthentication
                                                 : remote::notifier::kRequestAuthorization;
    // Two attempts: the notifier's endpoint, then whatever the host's endpoint mapper gives.
    std::wstring at = endpoint;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        Call(workstation, at, remote::WorkstationNotifierId(), opnum, w);
        return;
      } catch (Error* error) {
        std::unique_ptr<Error> failure(error);
        if (attempt == 1) {
          Log(L"Error while sending a message to the notifier at " + workstation + L":" + at +
              L": " + failure->Message());
        }
      } catch (...) {
        Log(L"Exception while sending a message to the notifier at " + workstation + L":" + at);
      }
      at.clear();
    }
  });
}

void NotifierPrintConfirmer::Confirm(const std::wstring& workstation,
                                     std::unique_ptr<ConfirmRequest> request) {
  std::shared_ptr<ConfirmRequest> owned(std::move(request));
  std::wstring endpoint = endpoint_;
  threads_.Start([workstation, endpoint, owned] {
    remote::ConfirmPrintIn in;
    in.computerName = owned->computerName;
    in.jobId = owned->jobId;
    in.printerName = owned->printerName;
    in.message = owned->message;
    remote::Writer w;
    in.Write(w);
    Deliver(workstation, endpoint, [&](const std::wstring& at) {
      Call(workstation, at, remote::WorkstationConfirmId(), remote::notifier::kConfirmPrint, w);
    });
  });
}

void NotifierFeedbackSender::Send(const std::wstring& workstation, const std::wstring& message) {
  std::wstring endpoint = endpoint_;
  threads_.Start([workstation, endpoint, message] {
    remote::ShowFeedbackIn in;
    in.message = message;
    remote::Writer w;
    in.Write(w);
    Deliver(workstation, endpoint, [&](const std::wstring& at) {
      Call(workstation, at, remote::WorkstationNotifierId(), remote::notifier::kShowFeedback, w);
    });
  });
}

}  // namespace tollgate::jobs
