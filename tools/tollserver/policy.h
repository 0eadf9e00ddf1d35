// The accounting policy of the reference central server: prices, users with their balances,
// per-printer rules and the settings it hands out at registration, read from a JSON file
// (README.md describes it).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tollserver {

// A policy file that cannot be used; the text names the file and the member.
class PolicyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Action { kAllow, kPause, kDelete };

struct User {
  double balance = 0;
  std::string group;
};

struct AccountChoice {
  std::string id;
  std::string name;
  bool requireItem = false;
};

struct QueueSettingsPolicy {
  std::int32_t id = 0;
  std::int16_t language = 0;
  std::int16_t identifyHardware = 0;
  std::optional<std::string> snmpCommunity;
  std::int16_t isToArchive = 0;
  std::int16_t isToCheckCounterAfterPrint = 0;
};

struct PrinterRules {
  Action colour = Action::kAllow;            // colour forbidden: pause (15) or delete (16)
  Action duplex = Action::kAllow;            // duplex required: pause (17) or delete (18)
  bool holdForRelease = false;               // 19, released at the printer
  std::optional<std::int32_t> confirmAbove;  // 12 above this many pages (copies included)
  std::string confirmMessage = "Confirma a impress\xc3\xa3o de {pages} p\xc3\xa1ginas ({cost})?";
  std::vector<AccountChoice> accounts;          // 6 when not empty
  std::optional<std::string> publicKey;         // 13 or 14 (authentication)
  bool unauthenticated = false;                 // 14 rather than 13
  Action insufficientBalance = Action::kPause;  // 1 or 2
  std::string watermark;
  std::optional<std::string> feedback;  // a text with {cost}, {balance}, {pages}
  std::optional<QueueSettingsPolicy> settings;
  std::optional<bool> emfCopiesReading;
};

struct Policy {
  double monoPrice = 0.10;
  double colourPrice = 0.50;
  std::string currency = "R$";
  std::map<std::string, User> users;
  std::optional<User> defaultUser;  // none: unknown users print without limit
  std::map<std::string, PrinterRules> printers;
  PrinterRules defaultPrinter;
  std::uint8_t freeGbRequiredToArchive = 2;
  std::int16_t daysToKeepArchivedFile = 30;
  std::int16_t canQueryMfCopy = 1;

  const PrinterRules& PrinterFor(const std::string& queue) const;
  // Null when the user is unknown and there is no default: no limit.
  const User* UserFor(const std::string& name) const;
};

// The policy of a JSON text; `source` names it in errors. Throws PolicyError.
Policy ParsePolicy(const std::string& json, const std::string& source);
// The policy of a file (UTF-8 JSON). Throws PolicyError.
Policy LoadPolicy(const std::string& path);

// A money amount as the feedback and reports show it: "R$ 1,20".
std::string Money(const Policy& policy, double amount);

}  // namespace tollserver
