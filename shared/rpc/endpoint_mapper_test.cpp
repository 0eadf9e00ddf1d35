// The endpoint mapper's operations run as the server runs them (with the caller's address in
// the call's context), on requests written here from the interface definition; then the
// registration of a server with a mapper served over the loopback. The independent peer
// (impacket) is in tests/endpoint_mapper_e2e.py.
#include "shared/rpc/endpoint_mapper.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

#include <cstring>

#include "shared/rpc/rpc.h"
#include "testing/machine_fixture.h"

namespace {

using namespace rpc;
using Bytes = std::vector<std::uint8_t>;

const SyntaxId kV10{Uuid::Of("6b1a0f3e-2c4d-4e5f-8a9b-0c1d2e3f4a5b"), 1, 0};
const SyntaxId kV11{kV10.uuid, 1, 1};
const SyntaxId kV12{kV10.uuid, 1, 2};
const SyntaxId kV20{kV10.uuid, 2, 0};
const SyntaxId kOther{Uuid::Of("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"), 1, 2};
const Uuid kObject = Uuid::Of("11111111-2222-3333-4444-555555555555");
const Uuid kStranger = Uuid::Of("99999999-2222-3333-4444-555555555555");

EndpointEntry Entry(const SyntaxId& id, std::uint16_t port, const Uuid& object = Uuid(),
                    std::string annotation = "") {
  return {object, TcpTower(id, port, {127, 0, 0, 1}), std::move(annotation)};
}

// [in] unsigned32 num_ents, [in, size_is(num_ents)] ept_entry_t entries[]: the count, the
// array's conformance, each entry (object, the tower's referent id, the annotation as a
// varying array with its zero), then the towers of the non-null referents in order.
void PutEntries(ndr::Writer& w, const std::vector<EndpointEntry>& entries) {
  w.U32(static_cast<std::uint32_t>(entries.size()));
  w.U32(static_cast<std::uint32_t>(entries.size()));
  std::uint32_t referent = 0x00020000;
  for (const auto& e : entries) {
    w.Bytes(e.object.bytes.data(), 16);
    w.U32(e.tower.empty() ? 0 : (referent += 4));
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(e.annotation.size() + 1));
    w.Bytes(e.annotation.data(), e.annotation.size());
    w.U8(0);
    w.Align(4);
  }
  for (const auto& e : entries) {
    if (e.tower.empty()) continue;
    w.U32(static_cast<std::uint32_t>(e.tower.size()));
    w.U32(static_cast<std::uint32_t>(e.tower.size()));
    w.Bytes(e.tower.data(), e.tower.size());
    w.Align(4);
  }
}

std::uint32_t LastWord(const Bytes& answer) {
  std::uint32_t v = 0;
  EXPECT_GE(answer.size(), 4u);
  if (answer.size() >= 4) std::memcpy(&v, answer.data() + answer.size() - 4, 4);
  return v;
}

class EndpointMapperTest : public ::testing::Test {
 protected:
  explicit EndpointMapperTest(EndpointMap::Limits limits = {})
      : map_(std::make_shared<EndpointMap>(limits)), mapper_(EndpointMapperInterface(map_)) {}

  // Runs an operation as the server does; its [out] stub data.
  Bytes Run(std::uint16_t opnum, const Bytes& stub, const std::wstring& from = L"127.0.0.1") {
    CallContext call;
    call.opnum = opnum;
    call.clientAddress = from;
    ndr::Reader in(stub);
    ndr::Writer out;
    mapper_.operations.at(opnum)(call, in, out);
    return out.Take();
  }
  RPC_STATUS RunStatus(std::uint16_t opnum, const Bytes& stub) {
    return RpcTryExcept([&] { Run(opnum, stub); });
  }

  std::uint32_t Insert(const std::vector<EndpointEntry>& entries, bool replace,
                       const std::wstring& from = L"127.0.0.1") {
    ndr::Writer w;
    PutEntries(w, entries);
    w.U32(replace ? 1 : 0);
    return LastWord(Run(0, w.Data(), from));
  }
  std::uint32_t Delete(const std::vector<EndpointEntry>& entries,
                       const std::wstring& from = L"127.0.0.1") {
    ndr::Writer w;
    PutEntries(w, entries);
    return LastWord(Run(1, w.Data(), from));
  }

  static Bytes MapRequest(const Uuid& object, const Bytes& tower, std::uint32_t maxTowers) {
    ndr::Writer w;
    w.U32(1);
    w.Bytes(object.bytes.data(), 16);
    w.U32(2);
    w.U32(static_cast<std::uint32_t>(tower.size()));
    w.U32(static_cast<std::uint32_t>(tower.size()));
    w.Bytes(tower.data(), tower.size());
    w.Align(4);
    w.Bytes(Bytes(20).data(), 20);
    w.U32(maxTowers);
    return w.Take();
  }

  // The ports of the towers ept_map answers for the interface; its status.
  std::vector<std::uint16_t> Map(const SyntaxId& id, const Uuid& object = Uuid(),
                                 std::uint32_t* status = nullptr, std::uint32_t maxTowers = 8,
                                 const std::wstring& from = L"127.0.0.1") {
    Bytes answer = Run(3, MapRequest(object, TcpTower(id, 0), maxTowers), from);
    ndr::Reader r(answer);
    Bytes handle(20);
    r.Bytes(handle.data(), 20);
    EXPECT_EQ(handle, Bytes(20));
    std::uint32_t count = r.U32();
    EXPECT_EQ(r.U32(), maxTowers);  // the array's maximum count
    EXPECT_EQ(r.U32(), 0u);
    EXPECT_EQ(r.U32(), count);
    std::vector<std::uint32_t> referents(count);
    for (auto& referent : referents) referent = r.U32();
    std::vector<std::uint16_t> ports;
    for (std::uint32_t i = 0; i < count; ++i) {
      EXPECT_NE(referents[i], 0u);
      std::uint32_t max = r.U32();
      EXPECT_EQ(r.U32(), max);
      auto tower = r.View(max);
      EXPECT_TRUE(ParseTower(tower).has_value());
      ports.push_back(TcpPortOfTower(tower));
      r.Align(4);
    }
    std::uint32_t s = r.U32();
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_EQ(s, ports.empty() ? ept_s_not_registered : 0u);
    if (status) *status = s;
    return ports;
  }

  struct Page {
    Bytes handle;
    std::vector<EndpointEntry> entries;
    std::uint32_t status = 0;
  };
  static Bytes LookupRequest(std::uint32_t inquiry, const std::optional<SyntaxId>& id,
                             std::uint32_t versions, const Bytes& handle, std::uint32_t max) {
    ndr::Writer w;
    w.U32(inquiry);
    w.U32(0);  // no object
    w.U32(id ? 1 : 0);
    if (id) {
      w.Bytes(id->uuid.bytes.data(), 16);
      w.U16(id->major);
      w.U16(id->minor);
    }
    w.U32(versions);
    w.Bytes(handle.data(), handle.size());
    w.U32(max);
    return w.Take();
  }
  Page Lookup(const Bytes& handle, std::uint32_t max, std::uint32_t inquiry = RPC_C_EP_ALL_ELTS,
              const std::optional<SyntaxId>& id = std::nullopt,
              std::uint32_t versions = RPC_C_VERS_ALL) {
    Bytes answer = Run(2, LookupRequest(inquiry, id, versions, handle, max));
    ndr::Reader r(answer);
    Page page;
    page.handle.resize(20);
    r.Bytes(page.handle.data(), 20);
    std::uint32_t count = r.U32();
    EXPECT_EQ(r.U32(), max);
    EXPECT_EQ(r.U32(), 0u);
    EXPECT_EQ(r.U32(), count);
    page.entries.resize(count);
    std::vector<std::uint32_t> referents(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      r.Bytes(page.entries[i].object.bytes.data(), 16);
      referents[i] = r.U32();
      EXPECT_EQ(r.U32(), 0u);
      auto text = r.View(r.U32());
      page.entries[i].annotation.assign(text.begin(), text.end() - 1);
      r.Align(4);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      if (referents[i] == 0) continue;
      std::uint32_t length = r.U32();
      EXPECT_EQ(r.U32(), length);
      auto tower = r.View(length);
      page.entries[i].tower.assign(tower.begin(), tower.end());
      r.Align(4);
    }
    page.status = r.U32();
    EXPECT_EQ(r.Remaining(), 0u);
    return page;
  }

  std::shared_ptr<EndpointMap> map_;
  ServerInterface mapper_;
};

TEST_F(EndpointMapperTest, InsertReplaceDeleteAndMap) {
  using Ports = std::vector<std::uint16_t>;
  EXPECT_EQ(Map(kV10), Ports{});
  // Replacing takes the place of the same interface's entry; adding keeps both.
  EXPECT_EQ(Insert({Entry(kV10, 5000)}, true), 0u);
  EXPECT_EQ(Map(kV10), Ports{5000});
  EXPECT_EQ(Insert({Entry(kV10, 5001)}, true), 0u);
  EXPECT_EQ(Map(kV10), Ports{5001});
  EXPECT_EQ(Insert({Entry(kV10, 5002)}, false), 0u);
  EXPECT_EQ(Map(kV10), (Ports{5001, 5002}));
  EXPECT_EQ(Insert({Entry(kV10, 5002, Uuid(), "again")}, false), 0u);  // no second copy
  EXPECT_EQ(Map(kV10), (Ports{5001, 5002}));
  EXPECT_EQ(Map(kV10, Uuid(), nullptr, 1), Ports{5001});
  // A newer minor version replaces the older ones of its major version, and is what a
  // client of an older minor version is given; not one of a newer minor or another major.
  EXPECT_EQ(Insert({Entry(kV11, 5003), Entry(kV11, 5004)}, true), 0u);
  EXPECT_EQ(Map(kV10), (Ports{5003, 5004}));
  EXPECT_EQ(Map(kV11), (Ports{5003, 5004}));
  EXPECT_EQ(Map(kV12), Ports{});
  EXPECT_EQ(Map(kV20), Ports{});
  EXPECT_EQ(Map(kOther), Ports{});
  // Deleting takes the entry of that port only; what is not there is not registered.
  EXPECT_EQ(Delete({Entry(kV11, 5003)}), 0u);
  EXPECT_EQ(Map(kV11), Ports{5004});
  EXPECT_EQ(Delete({Entry(kV11, 5003), Entry(kV11, 5004)}), ept_s_not_registered);
  EXPECT_EQ(Map(kV11), Ports{});
  EXPECT_EQ(map_->Size(), 0u);
  // An object's own entry, else the nil object's.
  EXPECT_EQ(Insert({Entry(kOther, 6000, kObject), Entry(kOther, 6001)}, true), 0u);
  EXPECT_EQ(Map(kOther, kObject), Ports{6000});
  EXPECT_EQ(Map(kOther), Ports{6001});
  EXPECT_EQ(Map(kOther, kStranger), Ports{6001});
  // Replacing for one object leaves the other's.
  EXPECT_EQ(Insert({Entry(kOther, 6002, kObject)}, true), 0u);
  EXPECT_EQ(Map(kOther, kObject), Ports{6002});
  EXPECT_EQ(Map(kOther), Ports{6001});
  // ept_lookup_handle_free answers with a null handle.
  Bytes handle(20, 0);
  EXPECT_EQ(LastWord(Run(4, handle)), 0u);
}

TEST_F(EndpointMapperTest, OnlyLoopbackCallersChangeTheMap) {
  struct Case {
    const wchar_t* from;
    bool allowed;
  };
  const Case cases[] = {
      {L"127.0.0.1", true},
      {L"127.8.9.10", true},
      {L"::1", true},
      {L"::ffff:127.0.0.1", true},
      {L"::FFFF:127.1.2.3", true},
      {L"10.0.0.5", false},
      {L"::ffff:10.0.0.5", false},
      {L"fe80::1", false},
      {L"", false},
      {L"127.0.0.1.5", false},
      {L"1270.0.0.1", false},
      {L"127.0.0.256", false},
      {L"128.0.0.1", false},
      {L"::2", false},
  };
  std::uint16_t port = 7000;
  std::uint16_t registered = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::string(c.from, c.from + std::wcslen(c.from)));
    EXPECT_EQ(IsLoopbackAddress(c.from), c.allowed);
    ++port;
    EXPECT_EQ(Insert({Entry(kV10, port)}, true, c.from), c.allowed ? 0u : 5u);
    if (c.allowed) registered = port;
    // Asking is for everybody; a refused insert or delete leaves the map as it was.
    EXPECT_EQ(Map(kV10, Uuid(), nullptr, 8, c.from), std::vector<std::uint16_t>{registered});
    if (!c.allowed) {
      EXPECT_EQ(Delete({Entry(kV10, registered)}, c.from), 5u);
      EXPECT_EQ(Map(kV10), std::vector<std::uint16_t>{registered});
    }
  }
}

class EndpointMapperLimitsTest : public EndpointMapperTest {
 protected:
  static EndpointMap::Limits Small() {
    EndpointMap::Limits limits;
    limits.entries = 3;
    limits.perRequest = 2;
    limits.lookups = 2;
    limits.batch = 1;
    return limits;
  }
  EndpointMapperLimitsTest() : EndpointMapperTest(Small()) {}
};

TEST_F(EndpointMapperLimitsTest, BoundsAndBadInput) {
  // More entries in one request than the limit: refused before they are read.
  {
    ndr::Writer w;
    w.U32(3);
    EXPECT_EQ(LastWord(Run(0, w.Data())), static_cast<std::uint32_t>(EPT_S_CANT_PERFORM_OP));
    EXPECT_EQ(LastWord(Run(1, w.Data())), static_cast<std::uint32_t>(EPT_S_CANT_PERFORM_OP));
  }
  // A full map takes no new entry, but a replacement.
  EXPECT_EQ(Insert({Entry(kV10, 1), Entry(kOther, 2)}, false), 0u);
  EXPECT_EQ(Insert({Entry(kV20, 3)}, false), 0u);
  EXPECT_EQ(Insert({Entry(kV10, 4)}, false), static_cast<std::uint32_t>(EPT_S_CANT_CREATE));
  EXPECT_EQ(Insert({Entry(kV10, 4)}, true), 0u);
  EXPECT_EQ(Map(kV10), std::vector<std::uint16_t>{4});
  EXPECT_EQ(map_->Size(), 3u);
  // ept_map gives at most its batch of towers.
  EXPECT_EQ(Delete({Entry(kV20, 3)}), 0u);
  EXPECT_EQ(Insert({Entry(kV10, 5)}, false), 0u);
  EXPECT_EQ(Map(kV10, Uuid(), nullptr, 100), std::vector<std::uint16_t>{4});

  // Towers that are not towers, or too long, are invalid entries; nothing of the request is
  // taken.
  Bytes tower = TcpTower(kV10, 9);
  Bytes truncated(tower.begin(), tower.end() - 3);
  Bytes oneFloor = {1, 0, 1, 0, 0x0B, 0, 0};
  Bytes noFloors = {0, 0};
  Bytes tooLong = tower;
  tooLong.resize(kMaxTowerBytes + 1);
  Bytes badInterface = tower;
  badInterface[4] = 0x0C;  // the first floor's protocol identifier
  for (const Bytes& bad : {truncated, oneFloor, noFloors, tooLong, badInterface, Bytes()}) {
    EXPECT_EQ(Insert({Entry(kOther, 7), {Uuid(), bad, ""}}, true),
              static_cast<std::uint32_t>(EPT_S_INVALID_ENTRY));
    EXPECT_EQ(LastWord(Run(3, MapRequest(Uuid(), bad, 4))), ept_s_not_registered);
  }
  EXPECT_EQ(Map(kOther), std::vector<std::uint16_t>{2});

  // Stub data that does not decode is a bad-stub fault.
  auto request = [&](auto write) {
    ndr::Writer w;
    write(w);
    return w.Take();
  };
  Bytes good = request([&](ndr::Writer& w) {
    PutEntries(w, {Entry(kV10, 8)});
    w.U32(0);
  });
  std::vector<Bytes> bad;
  bad.push_back(Bytes(good.begin(), good.end() - 5));  // cut short
  bad.push_back(good);
  bad.back()[4] = 2;  // conformance != count
  bad.push_back(good);
  bad.back()[4 + 4 + 16 + 4 + 4] = static_cast<std::uint8_t>(kEptMaxAnnotation + 1);
  bad.push_back(good);
  bad.back()[4 + 4 + 16 + 4] = 1;  // annotation offset
  bad.push_back(good);
  bad.back()[4 + 4 + 16 + 4 + 4 + 4 + 4 + 3] = 0x7F;  // a tower beyond the message
  bad.push_back(good);
  bad.back()[4 + 4 + 16 + 4 + 4 + 4 + 4 + 4] = 0x10;  // a tower's length != its count
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RunStatus(0, bad[i]), RPC_X_BAD_STUB_DATA);
  }
  Bytes huge = MapRequest(Uuid(), TcpTower(kV10, 0), 4);
  huge[4 + 16 + 4 + 3] = 0x7F;  // the tower's count
  EXPECT_EQ(RunStatus(3, huge), RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(RunStatus(2, Bytes(7)), RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(RunStatus(4, Bytes(19)), RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(mapper_.operations.size(), 5u);  // ept_inq_object and beyond: out of range
}

TEST_F(EndpointMapperTest, LookupEnumeratesInBatches) {
  Bytes nil(20, 0);
  auto page = Lookup(nil, 3);
  EXPECT_EQ(page.status, ept_s_not_registered);
  EXPECT_EQ(page.handle, nil);
  std::vector<EndpointEntry> entries;
  for (std::uint16_t port = 8000; port < 8005; ++port)
    entries.push_back(Entry(kV10, port, Uuid(), "first " + std::to_string(port)));
  entries.push_back(Entry(kV20, 8005, kObject, "second"));
  entries.push_back(Entry(kOther, 8006));
  EXPECT_EQ(Insert(entries, false), 0u);

  // Everything, three at a time, in the order of registration; the last page closes it.
  std::vector<EndpointEntry> seen;
  Bytes handle = nil;
  std::vector<std::size_t> sizes;
  do {
    page = Lookup(handle, 3);
    EXPECT_EQ(page.status, 0u);
    sizes.push_back(page.entries.size());
    seen.insert(seen.end(), page.entries.begin(), page.entries.end());
    handle = page.handle;
  } while (handle != nil && sizes.size() < 10);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 1}));
  ASSERT_EQ(seen.size(), entries.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].object, entries[i].object);
    EXPECT_EQ(seen[i].tower, entries[i].tower);
    EXPECT_EQ(seen[i].annotation, entries[i].annotation);
  }
  EXPECT_EQ(map_->OpenLookups(), 0u);

  // By interface and version.
  struct Case {
    SyntaxId asked;
    std::uint32_t versions;
    std::size_t count;
  };
  const Case cases[] = {{kV10, RPC_C_VERS_ALL, 6},        {kV11, RPC_C_VERS_COMPATIBLE, 0},
                        {kV10, RPC_C_VERS_COMPATIBLE, 5}, {kV10, RPC_C_VERS_EXACT, 5},
                        {kV11, RPC_C_VERS_MAJOR_ONLY, 5}, {kV11, RPC_C_VERS_UPTO, 5},
                        {kV20, RPC_C_VERS_UPTO, 6},       {kV20, RPC_C_VERS_EXACT, 1}};
  for (const auto& c : cases) {
    page = Lookup(nil, 100, RPC_C_EP_MATCH_BY_IF, c.asked, c.versions);
    EXPECT_EQ(page.entries.size(), c.count)
        << c.asked.major << "." << c.asked.minor << " " << c.versions;
    EXPECT_EQ(page.status, c.count == 0 ? ept_s_not_registered : 0u);
  }
  EXPECT_EQ(Lookup(nil, 100, 7).status, static_cast<std::uint32_t>(EPT_S_CANT_PERFORM_OP));

  // An enumeration left open can be freed; an unknown handle is a context mismatch fault.
  page = Lookup(nil, 1);
  ASSERT_NE(page.handle, nil);
  EXPECT_EQ(map_->OpenLookups(), 1u);
  Bytes freed = Run(4, page.handle);
  EXPECT_EQ(Bytes(freed.begin(), freed.begin() + 20), nil);
  EXPECT_EQ(map_->OpenLookups(), 0u);
  EXPECT_EQ(RunStatus(2, LookupRequest(0, std::nullopt, 1, page.handle, 3)),
            static_cast<RPC_STATUS>(nca_s_fault_context_mismatch));
  // Enumerations nobody finishes are bounded: the least recently used one goes.
  std::vector<Bytes> handles;
  for (int i = 0; i < 300; ++i) handles.push_back(Lookup(nil, 1).handle);
  EXPECT_EQ(map_->OpenLookups(), map_->limits().lookups);
  EXPECT_EQ(RunStatus(2, LookupRequest(0, std::nullopt, 1, handles.front(), 3)),
            static_cast<RPC_STATUS>(nca_s_fault_context_mismatch));
  EXPECT_EQ(Lookup(handles.back(), 1).entries.size(), 1u);
}

// A server registered with a mapper that an rpc::Server serves on the loopback, and found
// through it by a binding without endpoint.
class EndpointMapperServerTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(mapperServer_.UseProtseq(L"ncacn_ip_tcp", 10), RPC_S_OK);
    ASSERT_EQ(mapperServer_.RegisterIf(EndpointMapperInterface(map_), 0, 1234), RPC_S_OK);
    ASSERT_EQ(mapperServer_.Listen(1, 1234, true), RPC_S_OK);
    SetEndpointMapperPort(mapperServer_.Ports().at(0));
    ASSERT_EQ(server_.UseProtseq(L"ncacn_ip_tcp", 10), RPC_S_OK);
    ASSERT_EQ(server_.RegisterIf(Echo(), 0, 1234), RPC_S_OK);
    ASSERT_EQ(server_.Listen(1, 1234, true), RPC_S_OK);
  }
  void TearDown() override { SetEndpointMapperPort(0); }

  static ServerInterface Echo() {
    ServerInterface definition;
    definition.id = kOther;
    definition.operations.push_back(
        [](CallContext&, ndr::Reader& in, ndr::Writer& out) { out.U32(in.U32() + 1); });
    return definition;
  }

  std::shared_ptr<EndpointMap> map_ = std::make_shared<EndpointMap>();
  Server mapperServer_;
  Server server_;
};

TEST_F(EndpointMapperServerTest, RegisterMapCallAndUnregister) {
  RPC_BINDING_VECTOR bindings;
  ASSERT_EQ(server_.InqBindings(&bindings), RPC_S_OK);
  std::uint16_t port = server_.Ports().at(0);
  EXPECT_EQ(RpcEpRegisterW(Echo(), bindings, nullptr, L"Serviço de teste"), RPC_S_OK);
  // Registering again replaces, and the entry names the machine's address.
  EXPECT_EQ(RpcEpRegisterW(Echo(), bindings, nullptr, L"Serviço de teste"), RPC_S_OK);
  std::vector<EndpointEntry> entries;
  Uuid handle;
  EXPECT_EQ(map_->Lookup({}, &handle, 10, &entries), 0u);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].annotation, "Servi\xe7o de teste");
  EXPECT_EQ(entries[0].tower, TcpTower(kOther, port, {127, 0, 0, 1}));

  std::uint16_t found = 0;
  EXPECT_EQ(EptMap(L"127.0.0.1", kOther, std::chrono::seconds(5), &found), RPC_S_OK);
  EXPECT_EQ(found, port);
  RPC_BINDING_HANDLE b = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(L"ncacn_ip_tcp:127.0.0.1", &b), RPC_S_OK);
  ndr::Writer w;
  w.U32(41);
  auto answer = NdrClientCall(b, kOther, 0, w);
  ndr::Reader r(answer);
  EXPECT_EQ(r.U32(), 42u);
  RpcBindingFree(&b);

  EXPECT_EQ(RpcEpUnregister(Echo(), bindings, nullptr), RPC_S_OK);
  EXPECT_EQ(EptMap(L"127.0.0.1", kOther, std::chrono::seconds(5), &found), EPT_S_NOT_REGISTERED);
  EXPECT_EQ(RpcEpUnregister(Echo(), bindings, nullptr), EPT_S_NOT_REGISTERED);

  // Objects: one entry for each.
  std::vector<Uuid> objects{kObject, kStranger};
  EXPECT_EQ(RpcEpRegisterW(Echo(), bindings, &objects, nullptr), RPC_S_OK);
  EXPECT_EQ(map_->Size(), 2u);
  EXPECT_EQ(RpcEpUnregister(Echo(), bindings, &objects), RPC_S_OK);
  EXPECT_EQ(map_->Size(), 0u);

  // Bindings that are no TCP endpoints.
  struct Case {
    RPC_BINDING_VECTOR bindings;
    RPC_STATUS status;
  };
  const Case cases[] = {{{}, RPC_S_NO_BINDINGS},
                        {{L"ncalrpc:[x]"}, RPC_S_PROTSEQ_NOT_SUPPORTED},
                        {{L"ncacn_ip_tcp:host[0]"}, RPC_S_INVALID_ENDPOINT_FORMAT},
                        {{L"ncacn_ip_tcp:host[65536]"}, RPC_S_INVALID_ENDPOINT_FORMAT},
                        {{L"ncacn_ip_tcp:host"}, RPC_S_INVALID_ENDPOINT_FORMAT},
                        {{L"no binding"}, RPC_S_INVALID_STRING_BINDING}};
  for (const auto& c : cases) {
    EXPECT_EQ(RpcEpRegisterW(Echo(), c.bindings, nullptr, nullptr), c.status);
    EXPECT_EQ(RpcEpUnregister(Echo(), c.bindings, nullptr), c.status);
  }
  EXPECT_EQ(map_->Size(), 0u);

  // A mapper that does not run: Windows's status for an unreachable mapper.
  mapperServer_.StopListening();
  mapperServer_.WaitListen();
  EXPECT_EQ(RpcEpRegisterW(Echo(), bindings, nullptr, nullptr), EPT_S_CANT_PERFORM_OP);
  EXPECT_EQ(RpcEpUnregister(Echo(), bindings, nullptr), EPT_S_CANT_PERFORM_OP);
}

}  // namespace
