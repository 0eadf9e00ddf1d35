#include "tools/tollnotify/notifier.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <mutex>

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

struct AccountEntry {
  std::wstring id;
  std::wstring name;
  std::int32_t requireItem = 0;
  bool hasId = false;
  bool hasName = false;
};

// [in, unique, size_is(count)] AccountEntry*; nullopt for a null array.
std::optional<std::vector<AccountEntry>> ReadAccounts(Reader& in, std::int32_t count) {
  std::optional<std::vector<AccountEntry>> accounts;
  in.UniquePointer([&] {
    if (count < 0) Reader::Bad();
    std::uint32_t n = in.Conformance(12, static_cast<std::uint32_t>(count));
    accounts.emplace(n);
    for (auto& a : *accounts) {
      a.hasId = in.EmbeddedPointer([&in, &a] { a.id = in.WideString(); });
      a.hasName = in.EmbeddedPointer([&in, &a] { a.name = in.WideString(); });
      a.requireItem = in.I32();
    }
  });
  return accounts;
}

void WriteAccounts(CallJson& call, const std::optional<std::vector<AccountEntry>>& accounts) {
  call.Key("accounts");
  if (!accounts) {
    call.Json().Null();
    return;
  }
  call.Json().StartArray();
  for (const auto& a : *accounts) {
    call.Json().StartObject();
    if (a.hasId) {
      call.Text("id", a.id);
    } else {
      call.Key("id");
      call.Json().Null();
    }
    if (a.hasName) {
      call.Text("name", a.name);
    } else {
      call.Key("name");
      call.Json().Null();
    }
    call.Int("requireItem", a.requireItem);
    call.Json().EndObject();
  }
  call.Json().EndArray();
}

// [in, unique, size_is(n)] byte* / long*: nullopt for a null array.
template <typename T, typename ReadOne>
std::optional<std::vector<T>> ReadArray(Reader& in, std::int64_t count, std::size_t size,
                                        ReadOne readOne) {
  std::optional<std::vector<T>> values;
  in.UniquePointer([&] {
    if (count < 0) Reader::Bad();
    std::uint32_t n = in.Conformance(size, static_cast<std::uint64_t>(count));
    values.emplace();
    values->reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) values->push_back(readOne());
  });
  return values;
}

rpc::Operation Operation(const CallSink& sink, std::function<std::string(Reader&)> decode) {
  return [sink, decode](CallContext&, Reader& in, Writer&) { sink(decode(in)); };
}

std::string Authentication(Reader& in, int opnum, const char* name) {
  CallJson call("WorkstationNotifier", opnum, name);
  std::int32_t jobId = in.I32();
  std::uint8_t reserved = in.U8();
  std::wstring computer = in.WideString();
  std::wstring queue = in.WideString();
  std::wstring document = in.WideString();
  std::int32_t pages = in.I32();
  std::int32_t keyLength = in.I32();
  auto key = ReadArray<std::uint8_t>(in, keyLength, 1, [&] { return in.U8(); });
  call.Int("jobId", jobId);
  call.Int("reserved", reserved);
  call.Text("computerName", computer);
  call.Text("queueName", queue);
  call.Text("documentName", document);
  call.Int("pages", pages);
  call.Int("keyLength", keyLength);
  call.Key("publicKey");
  if (key) {
    std::string text = Base64(*key);
    call.Json().String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  } else {
    call.Json().Null();
  }
  return call.Finish();
}

}  // namespace

const rpc::SyntaxId& WorkstationNotifierId() {
  static const rpc::SyntaxId id{rpc::Uuid::Of("a9d0e856-eb8f-4efb-8341-82aa0a9e8f02"), 1, 0};
  return id;
}

const rpc::SyntaxId& WorkstationConfirmId() {
  static const rpc::SyntaxId id{rpc::Uuid::Of("a6fc6445-3f19-4196-b293-cd8af088925a"), 1, 0};
  return id;
}

rpc::ServerInterface WorkstationNotifier(CallSink sink) {
  rpc::ServerInterface definition;
  definition.id = WorkstationNotifierId();
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 0, "Reserved0");
    std::int32_t a = in.I32();
    std::int32_t b = in.I32();
    std::uint8_t c = in.U8();
    std::wstring s1 = in.WideString();
    std::wstring s2 = in.WideString();
    std::wstring s3 = in.WideString();
    std::int32_t d = in.I32();
    std::int32_t count = in.I32();
    auto accounts = ReadAccounts(in, count);
    call.Int("a", a);
    call.Int("b", b);
    call.Int("c", c);
    call.Text("s1", s1);
    call.Text("s2", s2);
    call.Text("s3", s3);
    call.Int("d", d);
    call.Int("count", count);
    WriteAccounts(call, accounts);
    return call.Finish();
  }));
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 1, "ShowFeedback");
    call.Text("message", in.WideString());
    return call.Finish();
  }));
  definition.operations.push_back(
      Operation(sink, [](Reader& in) { return Authentication(in, 2, "RequestAuthorization"); }));
  definition.operations.push_back(
      Operation(sink, [](Reader& in) { return Authentication(in, 3, "RequestAuthentication"); }));
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationNotifier", 4, "RequestAccount");
    std::int32_t jobId = in.I32();
    std::int16_t idCount = in.I16();
    auto ids = ReadArray<std::int32_t>(in, idCount, 4, [&] { return in.I32(); });
    std::uint8_t reserved = in.U8();
    std::wstring computer = in.WideString();
    std::wstring queue = in.WideString();
    std::wstring document = in.WideString();
    std::int32_t pages = in.I32();
    std::int32_t count = in.I32();
    auto accounts = ReadAccounts(in, count);
    call.Int("jobId", jobId);
    call.Int("idCount", idCount);
    call.Key("storeRecordIds");
    if (ids) {
      call.Json().StartArray();
      for (auto id : *ids) call.Json().Int(id);
      call.Json().EndArray();
    } else {
      call.Json().Null();
    }
    call.Int("reserved", reserved);
    call.Text("computerName", computer);
    call.Text("queueName", queue);
    call.Text("documentName", document);
    call.Int("pages", pages);
    call.Int("count", count);
    WriteAccounts(call, accounts);
    return call.Finish();
  }));
  return definition;
}

rpc::ServerInterface WorkstationConfirm(CallSink sink) {
  rpc::ServerInterface definition;
  definition.id = WorkstationConfirmId();
  definition.operations.push_back(Operation(sink, [](Reader& in) {
    CallJson call("WorkstationConfirm", 0, "ConfirmPrint");
    std::wstring computer = in.WideString();
    std::uint8_t reserved1 = in.U8();
    std::int32_t jobId = in.I32();
    std::wstring printer = in.WideString();
    std::wstring message = in.WideString();
    std::uint8_t reserved2 = in.U8();
    std::uint8_t reserved3 = in.U8();
    call.Text("computerName", computer);
    call.Int("reserved1", reserved1);
    call.Int("jobId", jobId);
    call.Text("printerName", printer);
    call.Text("message", message);
    call.Int("reserved2", reserved2);
    call.Int("reserved3", reserved3);
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
