#include "shared/rpc/endpoint_mapper.h"

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <random>
#include <set>

#include "platform/platform.h"
#include "shared/rpc/client.h"
#include "shared/rpc/ndr.h"

namespace rpc {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The port set with SetEndpointMapperPort; 0 while none is set.
std::atomic<std::uint32_t> chosenMapperPort{0};

// How long a call to the local mapper may take.
constexpr std::uint32_t kLocalMapperCallMs = 10000;

// An ept_entry_t on the wire: the object, the tower's referent id, the annotation.
constexpr std::size_t kEntryWireSize = 16 + 4 + 8;

void PutFloor(Bytes& tower, std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs) {
  auto put16 = [&](std::size_t v) {
    tower.push_back(static_cast<std::uint8_t>(v));
    tower.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  put16(lhs.size());
  tower.insert(tower.end(), lhs.begin(), lhs.end());
  put16(rhs.size());
  tower.insert(tower.end(), rhs.begin(), rhs.end());
}

void PutSyntaxFloor(Bytes& tower, const SyntaxId& s) {
  Bytes lhs;
  lhs.reserve(19);
  lhs.push_back(0x0D);
  lhs.insert(lhs.end(), s.uuid.bytes.begin(), s.uuid.bytes.end());
  lhs.push_back(static_cast<std::uint8_t>(s.major));
  lhs.push_back(static_cast<std::uint8_t>(s.major >> 8));
  const std::uint8_t minor[] = {static_cast<std::uint8_t>(s.minor),
                                static_cast<std::uint8_t>(s.minor >> 8)};
  PutFloor(tower, lhs, minor);
}

// The part of a tower that names one registration: interface, transfer syntax, protocols.
bool SameBinding(const Tower& a, const Tower& b) {
  return a.transfer.uuid == b.transfer.uuid && a.transfer.major == b.transfer.major &&
         a.protocols == b.protocols;
}

// The data of the floor after the protocol's: the endpoint (the TCP port of ncacn_ip_tcp).
const Bytes* EndpointOf(const Tower& t) {
  return t.data.size() >= 2 ? &t.data[1] : nullptr;
}

bool SameEndpoint(const Tower& a, const Tower& b) {
  const Bytes* x = EndpointOf(a);
  const Bytes* y = EndpointOf(b);
  return (x == nullptr && y == nullptr) || (x != nullptr && y != nullptr && *x == *y);
}

bool VersionMatches(std::uint32_t option, const SyntaxId& asked, const SyntaxId& entry) {
  switch (option) {
    case RPC_C_VERS_ALL:
      return true;
    case RPC_C_VERS_COMPATIBLE:
      return entry.major == asked.major && entry.minor >= asked.minor;
    case RPC_C_VERS_EXACT:
      return entry.major == asked.major && entry.minor == asked.minor;
    case RPC_C_VERS_MAJOR_ONLY:
      return entry.major == asked.major;
    case RPC_C_VERS_UPTO:
      return entry.major < asked.major ||
             (entry.major == asked.major && entry.minor <= asked.minor);
    default:
      return false;
  }
}

[[noreturn]] void ContextMismatch() {
  throw RpcException(static_cast<RPC_STATUS>(nca_s_fault_context_mismatch));
}

// --- marshalling ---------------------------------------------------------------------------

void WriteTower(ndr::Writer& w, const Bytes& tower) {
  w.Conformance(static_cast<std::uint32_t>(tower.size()));
  w.U32(static_cast<std::uint32_t>(tower.size()));
  w.Bytes(tower.data(), tower.size());
}

// A twr_t: the tower, or nothing when it is longer than the mapper takes.
Bytes ReadTower(ndr::Reader& r) {
  std::uint32_t max = r.Conformance(1);
  std::uint32_t length = r.U32();
  if (length != max) ndr::Reader::Bad();
  auto view = r.View(length);
  if (length > kMaxTowerBytes) return {};
  return Bytes(view.begin(), view.end());
}

// The entries of an array under construction (the caller's Construct defers the towers).
void WriteEntry(ndr::Writer& w, const EndpointEntry& e) {
  w.Align(4);
  w.Bytes(e.object.bytes.data(), e.object.bytes.size());
  w.EmbeddedPointer(!e.tower.empty(), [&w, &e] { WriteTower(w, e.tower); });
  std::size_t length = std::min(e.annotation.size(), kEptMaxAnnotation - 1);
  w.Variance(0, static_cast<std::uint32_t>(length + 1));
  w.Bytes(e.annotation.data(), length);
  w.U8(0);
}

void ReadEntry(ndr::Reader& r, EndpointEntry& e) {
  r.Align(4);
  r.Bytes(e.object.bytes.data(), e.object.bytes.size());
  r.EmbeddedPointer([&r, &e] { e.tower = ReadTower(r); });
  r.Align(4);
  std::uint32_t offset = r.U32();
  std::uint32_t actual = r.U32();
  if (offset != 0 || actual > kEptMaxAnnotation) ndr::Reader::Bad();
  auto text = r.View(actual);
  e.annotation.assign(text.begin(), std::find(text.begin(), text.end(), 0));
}

// [in] unsigned32 num_ents, [in, size_is(num_ents)] ept_entry_t entries[]; nullopt when there
// are more than `limit` (the rest is not read).
std::optional<std::vector<EndpointEntry>> ReadEntries(ndr::Reader& r, std::size_t limit) {
  std::uint32_t count = r.U32();
  if (count > limit) return std::nullopt;
  r.Conformance(kEntryWireSize, count);
  std::vector<EndpointEntry> entries(count);  // sized before the deferred towers point into it
  r.Construct([&] {
    for (auto& e : entries) ReadEntry(r, e);
  });
  return entries;
}

void WriteEntries(ndr::Writer& w, const std::vector<EndpointEntry>& entries) {
  w.U32(static_cast<std::uint32_t>(entries.size()));
  w.Conformance(static_cast<std::uint32_t>(entries.size()));
  w.Construct([&] {
    for (const auto& e : entries) WriteEntry(w, e);
  });
}

Uuid ReadUuid(ndr::Reader& r) {
  Uuid u;
  r.Align(4);
  r.Bytes(u.bytes.data(), u.bytes.size());
  return u;
}

// An ept_lookup_handle_t: its attributes (ignored) and UUID.
Uuid ReadHandle(ndr::Reader& r) {
  r.U32();
  return ReadUuid(r);
}

void WriteHandle(ndr::Writer& w, const Uuid& handle) {
  w.U32(0);
  w.Bytes(handle.bytes.data(), handle.bytes.size());
}

// --- the operations -------------------------------------------------------------------------

void InsertOp(EndpointMap& map, CallContext& call, ndr::Reader& in, ndr::Writer& out) {
  if (!IsLoopbackAddress(call.clientAddress)) {
    out.U32(RPC_S_ACCESS_DENIED);
    return;
  }
  auto entries = ReadEntries(in, map.limits().perRequest);
  if (!entries) {
    out.U32(EPT_S_CANT_PERFORM_OP);
    return;
  }
  bool replace = in.U32() != 0;
  out.U32(map.Insert(*entries, replace));
}

void DeleteOp(EndpointMap& map, CallContext& call, ndr::Reader& in, ndr::Writer& out) {
  if (!IsLoopbackAddress(call.clientAddress)) {
    out.U32(RPC_S_ACCESS_DENIED);
    return;
  }
  auto entries = ReadEntries(in, map.limits().perRequest);
  out.U32(entries ? map.Delete(*entries) : EPT_S_CANT_PERFORM_OP);
}

void LookupOp(EndpointMap& map, CallContext&, ndr::Reader& in, ndr::Writer& out) {
  EndpointMap::Query query;
  query.inquiry = in.U32();
  in.UniquePointer([&] { query.object = ReadUuid(in); });
  in.UniquePointer([&] {
    SyntaxId id;
    id.uuid = ReadUuid(in);
    id.major = in.U16();
    id.minor = in.U16();
    query.interfaceId = id;
  });
  query.versions = in.U32();
  Uuid handle = ReadHandle(in);
  std::uint32_t max = in.U32();
  std::vector<EndpointEntry> found;
  std::uint32_t status = map.Lookup(query, &handle, max, &found);
  WriteHandle(out, handle);
  out.U32(static_cast<std::uint32_t>(found.size()));
  out.Conformance(max);
  out.Variance(0, static_cast<std::uint32_t>(found.size()));
  out.Construct([&] {
    for (const auto& e : found) WriteEntry(out, e);
  });
  out.Align(4);
  out.U32(status);
}

void MapOp(EndpointMap& map, CallContext&, ndr::Reader& in, ndr::Writer& out) {
  Uuid object;
  in.UniquePointer([&] { object = ReadUuid(in); });
  Bytes tower;
  in.UniquePointer([&] { tower = ReadTower(in); });
  ReadHandle(in);  // answers are never continued: every ept_map gives all it has at once
  std::uint32_t maxTowers = in.U32();
  auto towers = map.Map(object, tower, maxTowers);
  WriteHandle(out, Uuid());
  out.U32(static_cast<std::uint32_t>(towers.size()));
  out.Conformance(maxTowers);
  out.Variance(0, static_cast<std::uint32_t>(towers.size()));
  out.Construct([&] {
    for (const auto& t : towers) out.EmbeddedPointer(true, [&out, &t] { WriteTower(out, t); });
  });
  out.Align(4);
  out.U32(towers.empty() ? ept_s_not_registered : 0);
}

void FreeOp(EndpointMap& map, CallContext&, ndr::Reader& in, ndr::Writer& out) {
  map.FreeLookup(ReadHandle(in));
  WriteHandle(out, Uuid());
  out.U32(0);
}

// --- the local mapper as a client ------------------------------------------------------------

RPC_STATUS CallLocalMapper(std::uint16_t opnum, const ndr::Writer& request) {
  Binding mapper(L"127.0.0.1", std::to_wstring(EndpointMapperPort()));
  mapper.SetComTimeout(RPC_C_BINDING_MIN_TIMEOUT);
  mapper.SetCallTimeout(kLocalMapperCallMs);
  Bytes answer;
  RPC_STATUS status =
      RpcTryExcept([&] { answer = mapper.Call(EndpointMapperSyntax(), opnum, request.Data()); });
  // Nobody listens on the port, or what does gives no answer: the mapper is not there.
  if (status == RPC_S_SERVER_UNAVAILABLE || status == RPC_S_CALL_CANCELLED)
    return EPT_S_CANT_PERFORM_OP;
  if (status != RPC_S_OK) return status;
  std::uint32_t mapperStatus = 0;
  status = RpcTryExcept([&] {
    ndr::Reader r(answer);
    mapperStatus = r.U32();
  });
  if (status != RPC_S_OK) return status;
  if (mapperStatus == ept_s_not_registered) return EPT_S_NOT_REGISTERED;
  return static_cast<RPC_STATUS>(mapperStatus);
}

}  // namespace

const SyntaxId& EndpointMapperSyntax() {
  static const SyntaxId id{Uuid::Of("e1af8308-5d1f-11c9-91a4-08002b14a0fa"), 3, 0};
  return id;
}

// --- towers -------------------------------------------------------------------------------

std::optional<Tower> ParseTower(std::span<const std::uint8_t> b) {
  if (b.size() < 2 || b.size() > kMaxTowerBytes) return std::nullopt;
  std::size_t at = 0;
  auto u16 = [&](std::uint16_t* v) {
    if (b.size() - at < 2) return false;
    *v = static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    at += 2;
    return true;
  };
  std::uint16_t floors = 0;
  u16(&floors);
  if (floors < 3 || floors > 8) return std::nullopt;
  Tower t;
  for (std::uint16_t f = 0; f < floors; ++f) {
    std::uint16_t lhsLength = 0;
    if (!u16(&lhsLength) || lhsLength == 0 || b.size() - at < lhsLength) return std::nullopt;
    auto lhs = b.subspan(at, lhsLength);
    at += lhsLength;
    std::uint16_t rhsLength = 0;
    if (!u16(&rhsLength) || b.size() - at < rhsLength) return std::nullopt;
    auto rhs = b.subspan(at, rhsLength);
    at += rhsLength;
    if (f < 2) {
      if (lhsLength != 19 || lhs[0] != 0x0D || rhsLength != 2) return std::nullopt;
      SyntaxId& s = f == 0 ? t.interfaceId : t.transfer;
      std::copy(lhs.begin() + 1, lhs.begin() + 17, s.uuid.bytes.begin());
      s.major = static_cast<std::uint16_t>(lhs[17] | (lhs[18] << 8));
      s.minor = static_cast<std::uint16_t>(rhs[0] | (rhs[1] << 8));
    } else {
      t.protocols.push_back(lhs[0]);
      t.data.emplace_back(rhs.begin(), rhs.end());
    }
  }
  return t;
}

std::vector<std::uint8_t> TcpTower(const SyntaxId& interfaceId, std::uint16_t port,
                                   const std::array<std::uint8_t, 4>& address) {
  Bytes tower{5, 0};
  PutSyntaxFloor(tower, interfaceId);
  PutSyntaxFloor(tower, Ndr20());
  const std::uint8_t rpc[] = {0x0B};
  const std::uint8_t zero[] = {0, 0};
  PutFloor(tower, rpc, zero);
  const std::uint8_t tcp[] = {0x07};
  const std::uint8_t portBytes[] = {static_cast<std::uint8_t>(port >> 8),
                                    static_cast<std::uint8_t>(port)};
  PutFloor(tower, tcp, portBytes);
  const std::uint8_t ip[] = {0x09};
  PutFloor(tower, ip, address);
  return tower;
}

std::uint16_t TcpPortOfTower(std::span<const std::uint8_t> bytes) {
  auto t = ParseTower(bytes);
  if (!t || t->protocols.size() < 2 || t->protocols[0] != 0x0B || t->protocols[1] != 0x07 ||
      t->data[1].size() != 2)
    return 0;
  return static_cast<std::uint16_t>((t->data[1][0] << 8) | t->data[1][1]);
}

// --- the map --------------------------------------------------------------------------------

EndpointMap::EndpointMap(const Limits& limits) : limits_(limits) {
  std::random_device random;
  for (std::size_t i = 0; i < handleSeed_.size(); i += 4) {
    std::uint32_t v = random();
    for (std::size_t k = 0; k < 4; ++k)
      handleSeed_[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
}

std::uint32_t EndpointMap::Insert(const std::vector<EndpointEntry>& entries, bool replace) {
  std::vector<Tower> towers;
  towers.reserve(entries.size());
  for (const auto& e : entries) {
    auto t = ParseTower(e.tower);
    if (!t || e.annotation.size() >= kEptMaxAnnotation) return EPT_S_INVALID_ENTRY;
    towers.push_back(std::move(*t));
  }
  std::lock_guard<std::mutex> guard(mutex_);
  std::set<std::uint64_t> removed;
  if (replace) {
    for (const auto& [sequence, s] : entries_) {
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const Tower& t = towers[i];
        if (s.entry.object == entries[i].object && s.tower.interfaceId.uuid == t.interfaceId.uuid &&
            s.tower.interfaceId.major == t.interfaceId.major && s.tower.protocols == t.protocols) {
          removed.insert(sequence);
          break;
        }
      }
    }
  }
  // An entry already there (or earlier in the request) only takes the new annotation.
  std::vector<std::pair<std::uint64_t, std::size_t>> updated;  // sequence, entry
  std::vector<std::size_t> fresh;
  auto same = [](const EndpointEntry& a, const EndpointEntry& b) {
    return a.object == b.object && a.tower == b.tower;
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto there = std::find_if(entries_.begin(), entries_.end(), [&](const auto& kv) {
      return !removed.count(kv.first) && same(kv.second.entry, entries[i]);
    });
    if (there != entries_.end()) {
      updated.emplace_back(there->first, i);
      continue;
    }
    auto earlier = std::find_if(fresh.begin(), fresh.end(),
                                [&](std::size_t k) { return same(entries[k], entries[i]); });
    if (earlier != fresh.end())
      *earlier = i;
    else
      fresh.push_back(i);
  }
  if (entries_.size() - removed.size() + fresh.size() > limits_.entries) return EPT_S_CANT_CREATE;
  for (std::uint64_t sequence : removed) entries_.erase(sequence);
  for (const auto& [sequence, i] : updated)
    entries_[sequence].entry.annotation = entries[i].annotation;
  for (std::size_t i : fresh) entries_[nextSequence_++] = Stored{entries[i], std::move(towers[i])};
  return 0;
}

std::uint32_t EndpointMap::Delete(const std::vector<EndpointEntry>& entries) {
  std::lock_guard<std::mutex> guard(mutex_);
  bool missing = false;
  for (const auto& e : entries) {
    auto t = ParseTower(e.tower);
    if (!t) {
      missing = true;
      continue;
    }
    std::size_t erased = std::erase_if(entries_, [&](const auto& kv) {
      const Stored& s = kv.second;
      return s.entry.object == e.object && s.tower.interfaceId == t->interfaceId &&
             SameBinding(s.tower, *t) && SameEndpoint(s.tower, *t);
    });
    if (erased == 0) missing = true;
  }
  return missing ? ept_s_not_registered : 0;
}

std::vector<std::vector<std::uint8_t>> EndpointMap::Map(const Uuid& object,
                                                        std::span<const std::uint8_t> tower,
                                                        std::size_t maxTowers) {
  std::vector<Bytes> found;
  auto asked = ParseTower(tower);
  if (!asked) return found;
  std::size_t most = std::min(maxTowers, limits_.batch);
  std::lock_guard<std::mutex> guard(mutex_);
  auto pick = [&](const Uuid& registeredFor) {
    for (const auto& [sequence, s] : entries_) {
      if (found.size() >= most) return;
      const SyntaxId& id = s.tower.interfaceId;
      if (s.entry.object == registeredFor && id.uuid == asked->interfaceId.uuid &&
          id.major == asked->interfaceId.major && id.minor >= asked->interfaceId.minor &&
          SameBinding(s.tower, *asked))
        found.push_back(s.entry.tower);
    }
  };
  pick(object);
  if (found.empty() && !object.IsNil()) pick(Uuid());
  return found;
}

bool EndpointMap::Matches(const Query& q, const Stored& s) const {
  bool byInterface = q.inquiry == RPC_C_EP_MATCH_BY_IF || q.inquiry == RPC_C_EP_MATCH_BY_BOTH;
  bool byObject = q.inquiry == RPC_C_EP_MATCH_BY_OBJ || q.inquiry == RPC_C_EP_MATCH_BY_BOTH;
  if (byObject && s.entry.object != q.object) return false;
  if (byInterface && q.interfaceId) {
    if (s.tower.interfaceId.uuid != q.interfaceId->uuid) return false;
    if (!VersionMatches(q.versions, *q.interfaceId, s.tower.interfaceId)) return false;
  }
  return true;
}

Uuid EndpointMap::NewHandle() {
  Uuid u;
  std::copy(handleSeed_.begin(), handleSeed_.end(), u.bytes.begin());
  std::uint64_t n = ++lookupClock_;
  for (std::size_t k = 0; k < 8; ++k) u.bytes[8 + k] = static_cast<std::uint8_t>(n >> (8 * k));
  return u;
}

std::uint32_t EndpointMap::Lookup(const Query& query, Uuid* handle, std::size_t max,
                                  std::vector<EndpointEntry>* found) {
  found->clear();
  std::lock_guard<std::mutex> guard(mutex_);
  Enumeration current;
  auto open = lookups_.end();
  if (handle->IsNil()) {
    if (query.inquiry > RPC_C_EP_MATCH_BY_BOTH || query.versions < RPC_C_VERS_ALL ||
        query.versions > RPC_C_VERS_UPTO)
      return EPT_S_CANT_PERFORM_OP;
    current.query = query;
  } else {
    open = lookups_.find(*handle);
    if (open == lookups_.end()) ContextMismatch();
    current = open->second;
  }
  if (max == 0) return 0;
  std::size_t most = std::min(max, limits_.batch);
  bool more = false;
  for (auto it = entries_.upper_bound(current.after); it != entries_.end(); ++it) {
    if (!Matches(current.query, it->second)) continue;
    if (found->size() == most) {
      more = true;
      break;
    }
    found->push_back(it->second.entry);
    current.after = it->first;
  }
  if (!more) {
    if (open != lookups_.end()) lookups_.erase(open);
    *handle = Uuid();
    return found->empty() ? ept_s_not_registered : 0;
  }
  current.used = ++lookupClock_;
  if (open == lookups_.end()) {
    if (lookups_.size() >= limits_.lookups && !lookups_.empty()) {
      auto oldest = std::min_element(
          lookups_.begin(), lookups_.end(),
          [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
      lookups_.erase(oldest);
    }
    *handle = NewHandle();
    lookups_[*handle] = current;
  } else {
    open->second = current;
  }
  return 0;
}

void EndpointMap::FreeLookup(const Uuid& handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  lookups_.erase(handle);
}

std::size_t EndpointMap::Size() {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

std::size_t EndpointMap::OpenLookups() {
  std::lock_guard<std::mutex> guard(mutex_);
  return lookups_.size();
}

// --- the interface --------------------------------------------------------------------------

bool IsLoopbackAddress(const std::wstring& address) {
  std::wstring a;
  for (wchar_t c : address) a += static_cast<wchar_t>(std::towlower(c));
  if (a == L"::1") return true;
  if (a.rfind(L"::ffff:", 0) == 0) a = a.substr(7);
  // A dotted IPv4 address whose first part is 127.
  unsigned parts = 0;
  unsigned value = 0;
  unsigned digits = 0;
  unsigned first = 0;
  for (std::size_t i = 0; i <= a.size(); ++i) {
    if (i == a.size() || a[i] == L'.') {
      if (digits == 0 || value > 255) return false;
      if (parts == 0) first = value;
      ++parts;
      value = 0;
      digits = 0;
    } else if (a[i] >= L'0' && a[i] <= L'9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(a[i] - L'0');
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4 && first == 127;
}

ServerInterface EndpointMapperInterface(std::shared_ptr<EndpointMap> map) {
  ServerInterface definition;
  definition.id = EndpointMapperSyntax();
  using Op = void (*)(EndpointMap&, CallContext&, ndr::Reader&, ndr::Writer&);
  for (Op op : {Op(InsertOp), Op(DeleteOp), Op(LookupOp), Op(MapOp), Op(FreeOp)}) {
    definition.operations.push_back([map, op](CallContext& call, ndr::Reader& in,
                                              ndr::Writer& out) { op(*map, call, in, out); });
  }
  return definition;
}

// --- clients --------------------------------------------------------------------------------

RPC_STATUS EptInsert(const std::vector<EndpointEntry>& entries, bool replace) {
  ndr::Writer w;
  WriteEntries(w, entries);
  w.Align(4);
  w.U32(replace ? 1 : 0);
  return CallLocalMapper(0, w);
}

RPC_STATUS EptDelete(const std::vector<EndpointEntry>& entries) {
  ndr::Writer w;
  WriteEntries(w, entries);
  return CallLocalMapper(1, w);
}

std::optional<std::uint16_t> RegisteredEndpointMapperPort() {
  platform::Registry& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kEndpointMapperKey,
                             platform::KEY_QUERY_VALUE, &key) != platform::ERROR_SUCCESS)
    return std::nullopt;
  platform::DWORD type = 0;
  std::uint8_t data[4] = {};
  platform::DWORD size = sizeof(data);
  platform::LONG rc = registry.RegQueryValueExW(key, kEndpointMapperPortValue, &type, data, &size);
  registry.RegCloseKey(key);
  if (rc != platform::ERROR_SUCCESS || type != platform::REG_DWORD || size != sizeof(data))
    return std::nullopt;
  std::uint32_t v =
      static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
      (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  if (v == 0 || v > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(v);
}

void SetEndpointMapperPort(std::uint16_t port) {
  chosenMapperPort = port;
}

std::uint16_t EndpointMapperPort() {
  std::uint32_t chosen = chosenMapperPort;
  if (chosen != 0) return static_cast<std::uint16_t>(chosen);
  return RegisteredEndpointMapperPort().value_or(kEndpointMapperDefaultPort);
}

RPC_STATUS EptMap(const std::wstring& host, const SyntaxId& interfaceId,
                  std::chrono::milliseconds timeout, std::uint16_t* port) {
  Binding mapper(host, std::to_wstring(EndpointMapperPort()));
  mapper.SetCallTimeout(static_cast<std::uint32_t>(timeout.count()));
  ndr::Writer w;
  w.UniquePointer(true, [&] { w.Bytes(Uuid().bytes.data(), 16); });  // object: nil
  Bytes tower = TcpTower(interfaceId, 0);
  w.UniquePointer(true, [&] { WriteTower(w, tower); });
  WriteHandle(w, Uuid());
  w.U32(4);  // max_towers
  Bytes answer;
  RPC_STATUS status =
      RpcTryExcept([&] { answer = mapper.Call(EndpointMapperSyntax(), 3, w.Data()); });
  if (status != RPC_S_OK) return status;
  std::uint16_t found = 0;
  status = RpcTryExcept([&] {
    ndr::Reader r(answer);
    ReadHandle(r);
    std::uint32_t numTowers = r.U32();
    std::uint32_t maxCount = r.U32();
    std::uint32_t offset = r.U32();
    std::uint32_t actual = r.U32();
    if (offset != 0 || actual > maxCount || actual != numTowers) ndr::Reader::Bad();
    r.CheckCount(actual, 4);
    std::vector<std::uint32_t> ids(actual);
    for (auto& id : ids) id = r.U32();
    for (auto id : ids) {
      if (id == 0) continue;
      std::uint32_t conformance = r.Conformance(1);
      std::uint32_t length = r.U32();
      if (length > conformance) ndr::Reader::Bad();
      auto bytes = r.View(length);
      if (found == 0) found = TcpPortOfTower(bytes);
    }
    r.Align(4);
    std::uint32_t mapStatus = r.U32();
    if (mapStatus != 0) found = 0;
  });
  if (status != RPC_S_OK) return status;
  if (found == 0) return EPT_S_NOT_REGISTERED;
  *port = found;
  return RPC_S_OK;
}

}  // namespace rpc
