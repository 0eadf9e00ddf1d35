#include "tools/tollserver/policy.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tollserver {
namespace {

using rapidjson::Value;

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void Fail(const std::string& path, const std::string& what) const {
    throw PolicyError(source_ + ": \"" + path + "\" " + what);
  }

  const Value* Member(const Value& object, const char* name) const {
    auto it = object.FindMember(name);
    return it == object.MemberEnd() ? nullptr : &it->value;
  }

  void Object(const Value& v, const std::string& path) const {
    if (!v.IsObject()) Fail(path, "must be an object");
  }

  void Known(const Value& object, const std::string& path,
             std::initializer_list<const char*> names) const {
    for (const auto& m : object.GetObject()) {
      bool known = false;
      for (const char* n : names) known = known || m.name == n;
      if (!known) Fail(path + "." + m.name.GetString(), "is not a policy member");
    }
  }

  double Number(const Value& v, const std::string& path, double min, double max) const {
    if (!v.IsNumber()) Fail(path, "must be a number");
    double d = v.GetDouble();
    if (!std::isfinite(d) || d < min || d > max) Fail(path, "is out of range");
    return d;
  }

  std::int64_t Integer(const Value& v, const std::string& path, std::int64_t min,
                       std::int64_t max) const {
    if (!v.IsInt64()) Fail(path, "must be an integer");
    std::int64_t i = v.GetInt64();
    if (i < min || i > max) Fail(path, "is out of range");
    return i;
  }

  std::string String(const Value& v, const std::string& path) const {
    if (!v.IsString()) Fail(path, "must be a string");
    return std::string(v.GetString(), v.GetStringLength());
  }

  bool Bool(const Value& v, const std::string& path) const {
    if (!v.IsBool()) Fail(path, "must be true or false");
    return v.GetBool();
  }

  Action ActionOf(const Value& v, const std::string& path, bool allowAllow) const {
    std::string s = String(v, path);
    if (s == "pause") return Action::kPause;
    if (s == "delete") return Action::kDelete;
    if (allowAllow && s == "allow") return Action::kAllow;
    Fail(path, allowAllow ? "must be \"allow\", \"pause\" or \"delete\""
                          : "must be \"pause\" or \"delete\"");
  }

  User UserOf(const Value& v, const std::string& path) const {
    Object(v, path);
    Known(v, path, {"balance", "group"});
    User u;
    if (auto* b = Member(v, "balance")) u.balance = Number(*b, path + ".balance", -1e12, 1e12);
    if (auto* g = Member(v, "group")) u.group = String(*g, path + ".group");
    return u;
  }

  PrinterRules Rules(const Value& v, const std::string& path, const PrinterRules& base) const {
    Object(v, path);
    Known(v, path,
          {"colour", "duplex", "holdForRelease", "confirmAbove", "confirmMessage", "accounts",
           "authentication", "insufficientBalance", "watermark", "feedback", "settings",
           "emfCopiesReading"});
    PrinterRules r = base;
    if (auto* m = Member(v, "colour")) r.colour = ActionOf(*m, path + ".colour", true);
    if (auto* m = Member(v, "duplex")) r.duplex = ActionOf(*m, path + ".duplex", true);
    if (auto* m = Member(v, "holdForRelease"))
      r.holdForRelease = Bool(*m, path + ".holdForRelease");
    if (auto* m = Member(v, "confirmAbove")) {
      if (m->IsNull())
        r.confirmAbove.reset();
      else
        r.confirmAbove = static_cast<std::int32_t>(Integer(*m, path + ".confirmAbove", 0, 1 << 30));
    }
    if (auto* m = Member(v, "confirmMessage"))
      r.confirmMessage = String(*m, path + ".confirmMessage");
    if (auto* m = Member(v, "accounts")) {
      std::string at = path + ".accounts";
      if (!m->IsArray()) Fail(at, "must be an array");
      r.accounts.clear();
      for (rapidjson::SizeType i = 0; i < m->Size(); ++i) {
        std::string ap = at + "[" + std::to_string(i) + "]";
        const Value& a = (*m)[i];
        Object(a, ap);
        Known(a, ap, {"id", "name", "requireItem"});
        AccountChoice c;
        auto* id = Member(a, "id");
        auto* name = Member(a, "name");
        if (id == nullptr) Fail(ap + ".id", "is missing");
        if (name == nullptr) Fail(ap + ".name", "is missing");
        c.id = String(*id, ap + ".id");
        c.name = String(*name, ap + ".name");
        if (auto* ri = Member(a, "requireItem")) c.requireItem = Bool(*ri, ap + ".requireItem");
        r.accounts.push_back(std::move(c));
      }
    }
    if (auto* m = Member(v, "authentication")) {
      std::string at = path + ".authentication";
      if (m->IsNull()) {
        r.publicKey.reset();
      } else {
        Object(*m, at);
        Known(*m, at, {"publicKey", "unauthenticated"});
        auto* key = Member(*m, "publicKey");
        if (key == nullptr) Fail(at + ".publicKey", "is missing");
        r.publicKey = String(*key, at + ".publicKey");
        if (auto* u = Member(*m, "unauthenticated"))
          r.unauthenticated = Bool(*u, at + ".unauthenticated");
      }
    }
    if (auto* m = Member(v, "insufficientBalance"))
      r.insufficientBalance = ActionOf(*m, path + ".insufficientBalance", false);
    if (auto* m = Member(v, "watermark")) r.watermark = String(*m, path + ".watermark");
    if (auto* m = Member(v, "feedback")) {
      if (m->IsNull())
        r.feedback.reset();
      else if (m->IsBool())
        r.feedback = m->GetBool() ? std::optional<std::string>("Custo: {cost}. Saldo: {balance}.")
                                  : std::nullopt;
      else
        r.feedback = String(*m, path + ".feedback");
    }
    if (auto* m = Member(v, "settings")) {
      std::string at = path + ".settings";
      Object(*m, at);
      Known(*m, at,
            {"Id", "Language", "IdentifyHardware", "SnmpCommunity", "IsToArchive",
             "IsToCheckCounterAfterPrint"});
      QueueSettingsPolicy s;
      auto i16 = [&](const char* name, std::int16_t* out) {
        if (auto* x = Member(*m, name))
          *out = static_cast<std::int16_t>(Integer(*x, at + "." + name, -32768, 32767));
      };
      if (auto* x = Member(*m, "Id"))
        s.id = static_cast<std::int32_t>(Integer(*x, at + ".Id", INT32_MIN, INT32_MAX));
      i16("Language", &s.language);
      i16("IdentifyHardware", &s.identifyHardware);
      i16("IsToArchive", &s.isToArchive);
      i16("IsToCheckCounterAfterPrint", &s.isToCheckCounterAfterPrint);
      if (auto* x = Member(*m, "SnmpCommunity"))
        s.snmpCommunity = String(*x, at + ".SnmpCommunity");
      r.settings = s;
    }
    if (auto* m = Member(v, "emfCopiesReading"))
      r.emfCopiesReading = Bool(*m, path + ".emfCopiesReading");
    return r;
  }

 private:
  std::string source_;
};

}  // namespace

const PrinterRules& Policy::PrinterFor(const std::string& queue) const {
  auto it = printers.find(queue);
  return it == printers.end() ? defaultPrinter : it->second;
}

const User* Policy::UserFor(const std::string& name) const {
  auto it = users.find(name);
  if (it != users.end()) return &it->second;
  return defaultUser ? &*defaultUser : nullptr;
}

Policy ParsePolicy(const std::string& json, const std::string& source) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (d.HasParseError()) {
    throw PolicyError(source + ": not JSON at offset " + std::to_string(d.GetErrorOffset()) + ": " +
                      rapidjson::GetParseError_En(d.GetParseError()));
  }
  Reader r(source);
  r.Object(d, "(top)");
  r.Known(
      d, "(top)",
      {"prices", "currency", "users", "defaultUser", "printers", "defaultPrinter", "registration"});
  Policy p;
  if (auto* m = r.Member(d, "prices")) {
    r.Object(*m, "prices");
    r.Known(*m, "prices", {"mono", "colour"});
    if (auto* x = r.Member(*m, "mono")) p.monoPrice = r.Number(*x, "prices.mono", 0, 1e9);
    if (auto* x = r.Member(*m, "colour")) p.colourPrice = r.Number(*x, "prices.colour", 0, 1e9);
  }
  if (auto* m = r.Member(d, "currency")) p.currency = r.String(*m, "currency");
  if (auto* m = r.Member(d, "users")) {
    r.Object(*m, "users");
    for (const auto& u : m->GetObject()) {
      std::string name(u.name.GetString(), u.name.GetStringLength());
      p.users[name] = r.UserOf(u.value, "users." + name);
    }
  }
  if (auto* m = r.Member(d, "defaultUser")) {
    if (!m->IsNull()) p.defaultUser = r.UserOf(*m, "defaultUser");
  }
  if (auto* m = r.Member(d, "defaultPrinter"))
    p.defaultPrinter = r.Rules(*m, "defaultPrinter", PrinterRules{});
  if (auto* m = r.Member(d, "printers")) {
    r.Object(*m, "printers");
    for (const auto& q : m->GetObject()) {
      std::string name(q.name.GetString(), q.name.GetStringLength());
      p.printers[name] = r.Rules(q.value, "printers." + name, p.defaultPrinter);
    }
  }
  if (auto* m = r.Member(d, "registration")) {
    r.Object(*m, "registration");
    r.Known(*m, "registration",
            {"FreeGBRequiredToArchive", "DaysToKeepArchivedFile", "CanQueryMFCopy"});
    if (auto* x = r.Member(*m, "FreeGBRequiredToArchive"))
      p.freeGbRequiredToArchive =
          static_cast<std::uint8_t>(r.Integer(*x, "registration.FreeGBRequiredToArchive", 0, 255));
    if (auto* x = r.Member(*m, "DaysToKeepArchivedFile"))
      p.daysToKeepArchivedFile = static_cast<std::int16_t>(
          r.Integer(*x, "registration.DaysToKeepArchivedFile", -32768, 32767));
    if (auto* x = r.Member(*m, "CanQueryMFCopy"))
      p.canQueryMfCopy =
          static_cast<std::int16_t>(r.Integer(*x, "registration.CanQueryMFCopy", -32768, 32767));
  }
  return p;
}

Policy LoadPolicy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PolicyError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw PolicyError(path + ": cannot be read");
  std::string json = text.str();
  if (json.size() > (16u << 20)) throw PolicyError(path + ": larger than 16 MiB");
  return ParsePolicy(json, path);
}

std::string Money(const Policy& policy, double amount) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", amount);
  std::string text = buffer;
  for (auto& c : text) {
    if (c == '.') c = ',';
  }
  return policy.currency + " " + text;
}

}  // namespace tollserver
