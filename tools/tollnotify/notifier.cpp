#include "tools/tollnotify/notifier.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <mutex>

#include "agent/rpc/interfaces.h"

namespace tollnotify {
namespace {

using rpc::CallContext;
using rpc::ndr::Reader;
using rpc::ndr::Writer;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// One call's JSON object: {"interface", "opnum", "operation", "parameters": {...}}.
class CallJson {
 public:
  CallJson(const char* interfaceName, int opnum, const char* operation) : json_(buffer_) {
    json_.StartObject();
    Key("interface");
    json_.String(interfaceName);
    Key("opnum");
    json_.Int(opnum);
    Key("operation");
    json_.String(operation);
    Key("parameters");
    json_.StartObject();
  }
  void Key(const char* name) { json_.Key(name); }
  void Int(const char* name, std::int64_t v) {
    Key(name);
    json_.Int64(v);
  }
  void Text(const char* name, const std::wstring& v) {
    Key(name);
    std::string utf8 = Utf8(v);
    json_.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
  }
  JsonWriter& Json() { return json_; }
  std::string Finish() {
    json_.EndObject();
    json_.EndObject();
    return std::string(buffer_.GetString(), buffer_.GetSize());
  }

 private:
  rapidjson::StringBuffer buffer_;
  JsonWriter json_;
};

using tollgate::remote::AccountEntry;

void WriteAccounts(CallJson& call, const std::optional<std::vector<AccountEntry>>& accounts) {
  call.Key("accounts");
  if (!accounts) {
    call.Json().Null();
    return;
  }
  call.Json().StartArray();
  for (const auto& a : *accounts) {
    call.Json().StartObject();
    if (a.id) {
      call.Text("id", *a.id);
    } else {
      call.Key("id");
      call.Json().Null();
    }
    if (a.name) {
      call.Text("name", *a.name);
    } else {
      call.Key("name");
      call.Json().Null();
    }
    call.Int("requireItem", a.requireItem);
    call.Json().EndObject();
  }
  call.Json().EndArray();
}

rpc::Operation Operation(const CallSink& sink, std::function<std::string(Reader&)> decode) {
  return [sink, decode](CallContext&, Reader& in, Writer&) { sink(decode(in)); };
}

std::string Authentication(Reader& in, int opnum, const char* name) {
  CallJson call("WorkstationNotifier", opnum, name);
  auto a = tollgate::remote::AuthenticationIn::Read(in);
  call.Int("jobId", a.jobId);
  call.Int("reserved", a.reserved);
  call.Text("computerName", a.computerName);
  call.Text("queueName", a.queueName);
  call.Text("documentName", a.documentName);
  call.Int("pages", a.pages);
  call.Int("keyLength", a.keyLength);
  call.Key("publicKey");
  if (a.publicKey) {
    std::string text = Base64(*a.publicKey);
    call.Json().String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  } else {
    call.Json().Null();
  }
  return call.Finish();
}

}  // namespace

const rpc::SyntaxId& WorkstationNotifierId() {
  return tollgate::remote::WorkstationNotifierId();
}

const rpc::SyntaxId& WorkstationConfirmId() {
  return tollgate::remote::WorkstationConfirmId();
}

rpc::ServerInterface WorkstationNotifier(CallSink sink) {
  rpc::ServerInterface definition;
  definition.id = WorkstationNotifierId();
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 0, "Reserved0");
    auto r = tollgate::remote::Reserved0In::Read(in);
    call.Int("a", r.a);
    call.Int("b", r.b);
    call.Int("c", r.c);
    call.Text("s1", r.s1);
    call.Text("s2", r.s2);
    call.Text("s3", r.s3);
    call.Int("d", r.d);
    call.Int("count", r.count);
    WriteAccounts(call, r.accounts);
    return call.Finish();
  }));
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 1, "ShowFeedback");
    call.Text("message", tollgate::remote::ShowFeedbackIn::Read(in).message);
    return call.Finish();
  }));
  definition.operations.push_back(
      Operation(sink, [](Reader& in) { return Authentication(in, 2, "RequestAuthorization"); }));
  definition.operations.push_back(
      Operation(sink, [](Reader& in) { return Authentication(in, 3, "RequestAuthentication"); }));
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 4, "RequestAccount");
    auto r = tollgate::remote::RequestAccountIn::Read(in);
    call.Int("jobId", r.jobId);
    call.Int("idCount", r.idCount);
    call.Key("storeRecordIds");
    if (r.storeRecordIds) {
      call.Json().StartArray();
      for (auto id : *r.storeRecordIds) call.Json().Int(id);
      call.Json().EndArray();
    } else {
      call.Json().Null();
    }
    call.Int("reserved", r.reserved);
    call.Text("computerName", r.computerName);
    call.Text("queueName", r.queueName);
    call.Text("documentName", r.documentName);
    call.Int("pages", r.pages);
    call.Int("count", r.count);
    WriteAccounts(call, r.accounts);
    return call.Finish();
  }));
  return definition;
}

rpc::ServerInterface WorkstationConfirm(CallSink sink) {
  rpc::ServerInterface definition;
  definition.id = WorkstationConfirmId();
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationConfirm", 0, "ConfirmPrint");
    auto r = tollgate::remote::ConfirmPrintIn::Read(in);
    call.Text("computerName", r.computerName);
    call.Int("reserved1", r.reserved1);
    call.Int("jobId", r.jobId);
    call.Text("printerName", r.printerName);
    call.Text("message", r.message);
    call.Int("reserved2", r.reserved2);
    call.Int("reserved3", r.reserved3);
    return call.Finish();
  }));
  return definition;
}

std::string Utf8(const std::wstring& text) {
  std::u16string units = rpc::ndr::Utf16FromWide(text);
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(units[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

}  // namespace tollnotify
