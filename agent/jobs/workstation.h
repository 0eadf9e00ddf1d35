// The questions and messages the agent sends to the user's workstation: the components that
// ask for a cost centre, an authentication or a confirmation, and that show the server's
// feedback. Each delivery runs on a thread of its own, so that no decision waits for a user.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/rpc/payloads.h"
#include "shared/components/injector.h"
#include "shared/os/sync.h"

namespace tollgate::jobs {

struct AccountRequest {
  std::int32_t jobId = 0;
  std::vector<std::int64_t> storeIds;
  std::wstring computerName;
  std::wstring queueName;
  std::wstring documentName;
  std::int32_t pages = 0;
  std::vector<remote::Account> accounts;
};

struct AuthRequest {
  std::int32_t jobId = 0;
  std::wstring computerName;
  std::wstring queueName;
  std::wstring documentName;
  std::int32_t pages = 0;
  std::vector<std::uint8_t> publicKey;
  bool unauthenticated = false;  // status 14; status 13 asks for an authorization
};

struct ConfirmRequest {
  std::wstring computerName;
  std::int32_t jobId = 0;
  std::wstring printerName;
  std::wstring message;
};

// "account-requester"
class AccountRequester : public Component {
 public:
  virtual void Request(const std::wstring& workstation,
                       std::unique_ptr<AccountRequest> request) = 0;
};

// "auth-requester"
class AuthRequester : public Component {
 public:
  virtual void Request(const std::wstring& workstation, std::unique_ptr<AuthRequest> request) = 0;
};

// "print-confirmer"
class PrintConfirmer : public Component {
 public:
  virtual void Confirm(const std::wstring& workstation,
                       std::unique_ptr<ConfirmRequest> request) = 0;
};

// "feedback-sender"
class FeedbackSender : public Component {
 public:
  virtual void Send(const std::wstring& workstation, const std::wstring& message) = 0;
};

// The delivery threads of one component: finished ones are closed before a new one starts,
// and the component waits for the rest when it is destroyed.
class DeliveryThreads {
 public:
  DeliveryThreads() = default;
  DeliveryThreads(const DeliveryThreads&) = delete;
  DeliveryThreads& operator=(const DeliveryThreads&) = delete;
  ~DeliveryThreads();
  void Start(std::function<void()> delivery);
  std::size_t Running();

 private:
  void Prune();
  std::mutex lock_;
  std::vector<os::Thread> threads_;
};

// The implementations: the workstation's notifier interfaces at `endpoint` ("7001").
class NotifierAccountRequester : public AccountRequester {
 public:
  explicit NotifierAccountRequester(std::wstring endpoint) : endpoint_(std::move(endpoint)) {}
  void Request(const std::wstring& workstation, std::unique_ptr<AccountRequest> request) override;

 private:
  std::wstring endpoint_;
  DeliveryThreads threads_;
};

class NotifierAuthRequester : public AuthRequester {
 public:
  explicit NotifierAuthRequester(std::wstring endpoint) : endpoint_(std::move(endpoint)) {}
  void Request(const std::wstring& workstation, std::unique_ptr<AuthRequest> request) override;
  std::size_t Running() { return threads_.Running(); }

 private:
  std::wstring endpoint_;
  DeliveryThreads threads_;
};

class NotifierPrintConfirmer : public PrintConfirmer {
 public:
  explicit NotifierPrintConfirmer(std::wstring endpoint) : endpoint_(std::move(endpoint)) {}
  void Confirm(const std::wstring& workstation, std::unique_ptr<ConfirmRequest> request) override;

 private:
  std::wstring endpoint_;
  DeliveryThreads threads_;
};

class NotifierFeedbackSender : public FeedbackSender {
 public:
  explicit NotifierFeedbackSender(std::wstring endpoint) : endpoint_(std::move(endpoint)) {}
  void Send(const std::wstring& workstation, const std::wstring& message) override;

 private:
  std::wstring endpoint_;
  DeliveryThreads threads_;
};

// The workstation of a job: its machine name without the two leading backslashes.
std::wstring WorkstationOf(const std::wstring& machineName);

}  // namespace tollgate::jobs
