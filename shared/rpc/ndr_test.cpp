#include "shared/rpc/ndr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/rpc/pdu.h"
#include "shared/rpc/uuid.h"

namespace {

using rpc::RpcException;
using rpc::ndr::Reader;
using rpc::ndr::Writer;

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

template <typename F>
rpc::RPC_STATUS StatusOf(F&& f) {
  return rpc::RpcTryExcept(std::forward<F>(f));
}

struct Account {
  std::wstring id;
  std::wstring name;
  std::int32_t requireItem = 0;
};

void WriteAccounts(Writer& w, const std::vector<Account>& accounts) {
  w.UniquePointer(!accounts.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(accounts.size()));
    for (const auto& a : accounts) {
      w.EmbeddedPointer(true, [&w, &a] { w.WideString(a.id); });
      w.EmbeddedPointer(true, [&w, &a] { w.WideString(a.name); });
      w.I32(a.requireItem);
    }
  });
}

std::vector<Account> ReadAccounts(Reader& r, std::int32_t count) {
  std::vector<Account> accounts;
  r.UniquePointer([&] {
    std::uint32_t n = r.Conformance(12, static_cast<std::uint32_t>(count));
    accounts.resize(n);
    for (auto& a : accounts) {
      r.EmbeddedPointer([&r, &a] { a.id = r.WideString(); });
      r.EmbeddedPointer([&r, &a] { a.name = r.WideString(); });
      a.requireItem = r.I32();
    }
  });
  return accounts;
}

TEST(Ndr, ArrayOfStructuresDefersTheirStringsAfterTheArray) {
  Writer w;
  WriteAccounts(w, {{L"A", L"B", 1}});
  EXPECT_EQ(w.Data(), Hex("00000200 01000000 04000200 08000200 01000000"
                          "02000000 00000000 02000000 41000000"
                          "02000000 00000000 02000000 42000000"));
  Reader r(w.Data());
  auto back = ReadAccounts(r, 1);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].id, L"A");
  EXPECT_EQ(back[0].name, L"B");
  EXPECT_EQ(back[0].requireItem, 1);
  EXPECT_EQ(r.Remaining(), 0u);

  Writer empty;
  WriteAccounts(empty, {});
  EXPECT_EQ(empty.Data(), Hex("00000000"));
}

TEST(Ndr, NestedReferentsFollowTheirOwnParentFirst) {
  // An array of two pointers to structures that each hold a string pointer: each structure
  // is followed by its own string before the next structure.
  Writer w;
  w.Construct([&] {
    for (const char* text : {"x", "y"}) {
      w.EmbeddedPointer(true, [&w, text] {
        w.U32(7);
        w.EmbeddedPointer(true, [&w, text] { w.String(text); });
      });
    }
  });
  EXPECT_EQ(w.Data(), Hex("00000200 04000200"
                          "07000000 08000200 02000000 00000000 02000000 7800 0000"
                          "07000000 0c000200 02000000 00000000 02000000 7900"));
}

TEST(Ndr, ScalarsAlignToTheirSize) {
  Writer w;
  w.U8(1);
  w.Double(1.5);
  w.U8(2);
  w.I16(-2);
  w.I64(-3);
  EXPECT_EQ(w.Size(), 32u);  // 1, pad 7, 8, 1, pad 1, 2, pad 4, 8
  Reader r(w.Data());
  EXPECT_EQ(r.U8(), 1);
  EXPECT_EQ(r.Double(), 1.5);
  EXPECT_EQ(r.U8(), 2);
  EXPECT_EQ(r.I16(), -2);
  EXPECT_EQ(r.I64(), -3);
}

TEST(Ndr, WideTextIsUtf16WithSurrogatePairs) {
  std::wstring text = L"Aten\u00e7\u00e3o \u20ac";
  if constexpr (sizeof(wchar_t) == 4)
    text += static_cast<wchar_t>(0x1F5A8);  // a character beyond the first plane
  Writer w;
  w.WideString(text);
  Reader r(w.Data());
  EXPECT_EQ(r.WideString(), text);
  auto units = rpc::ndr::Utf16FromWide(text);
  EXPECT_EQ(units[4], u'\u00e7');
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_EQ(units.size(), text.size() + 1);
    EXPECT_EQ(units[units.size() - 2], 0xD83D);
  }
}

TEST(Ndr, BadStubDataIsRejectedWithoutAllocating) {
  struct Case {
    const char* name;
    std::string hex;
    std::function<void(Reader&)> read;
  };
  auto wide = [](Reader& r) { r.WideString(); };
  auto narrow = [](Reader& r) { r.String(); };
  std::vector<Case> cases = {
      {"offset not 0", "02000000 01000000 01000000 4100", wide},
      {"actual above max", "01000000 00000000 02000000 41000000", wide},
      {"no terminator", "02000000 00000000 02000000 41004100", wide},
      {"empty without terminator", "00000000 00000000 00000000", narrow},
      {"4 GB string", "ffffffff 00000000 ffffffff 41", narrow},
      {"truncated", "05000000 00000000 05000000 4142", narrow},
      {"4 GB array", "ffffffff 00", [](Reader& r) { r.ConformantBytes(); }},
      {"short scalar", "0100", [](Reader& r) { r.U32(); }},
      {"count mismatch", "02000000 0000", [](Reader& r) { r.Conformance(1, 3); }},
  };
  for (const auto& c : cases) {
    auto bytes = Hex(c.hex);
    Reader r(bytes);
    EXPECT_EQ(StatusOf([&] { c.read(r); }), rpc::RPC_X_BAD_STUB_DATA) << c.name;
  }
}

TEST(Uuid, TextAndWireForm) {
  auto u = rpc::Uuid::Parse(std::string_view("8a885d04-1ceb-11c9-9fe8-08002b104860"));
  ASSERT_TRUE(u);
  std::vector<std::uint8_t> wire(u->bytes.begin(), u->bytes.end());
  EXPECT_EQ(wire, Hex("045d888a eb1c c911 9fe8 08002b104860"));
  EXPECT_EQ(u->ToString(), "8a885d04-1ceb-11c9-9fe8-08002b104860");
  EXPECT_FALSE(rpc::Uuid::Parse(std::string_view("8a885d04-1ceb-11c9-9fe8-08002b10486")));
  EXPECT_FALSE(rpc::Uuid::Parse(std::string_view("8a885d04x1ceb-11c9-9fe8-08002b104860")));
  EXPECT_TRUE(rpc::Uuid().IsNil());
}

TEST(Pdu, FragmentSizeNegotiation) {
  using rpc::pdu::NegotiateFragment;
  EXPECT_EQ(NegotiateFragment(4280, 4280), 4280);
  EXPECT_EQ(NegotiateFragment(5840, 65535), 5840);
  EXPECT_EQ(NegotiateFragment(65535, 65535), 5840);
  EXPECT_EQ(NegotiateFragment(1024, 1432), 1432);
  EXPECT_EQ(NegotiateFragment(1432, 5840), 1432);  // the least a peer may offer is taken
  EXPECT_EQ(NegotiateFragment(2047, 5840), 2040);
  EXPECT_EQ(NegotiateFragment(65535, 4283), 4280);
}

TEST(Pdu, RequestFragmentsReassembleToTheStub) {
  std::vector<std::uint8_t> stub(10001);
  for (std::size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<std::uint8_t>(i * 7);
  auto object = rpc::Uuid::Of("a6fc6445-3f19-4196-b293-cd8af088925a");
  std::vector<std::uint8_t> wire;
  rpc::pdu::AppendRequest(wire, 9, 1, 4, object, stub, 2048);
  std::vector<std::uint8_t> back;
  std::size_t at = 0;
  int fragments = 0;
  while (at < wire.size()) {
    std::span<const std::uint8_t> rest(wire.data() + at, wire.size() - at);
    auto h = rpc::pdu::ParseHeader(rest);
    ASSERT_LE(h.fragLength, 2048);
    auto fragment = rest.first(h.fragLength);
    auto request = rpc::pdu::DecodeRequest(fragment, h);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->opnum, 4);
    EXPECT_EQ(request->contextId, 1);
    EXPECT_EQ(h.callId, 9u);
    EXPECT_EQ(request->object, object);
    EXPECT_EQ(request->allocHint, stub.size() - back.size());
    EXPECT_EQ((h.flags & rpc::pdu::PFC_FIRST_FRAG) != 0, fragments == 0);
    bool last = (h.flags & rpc::pdu::PFC_LAST_FRAG) != 0;
    EXPECT_EQ(last, at + h.fragLength == wire.size());
    if (!last) {
      EXPECT_EQ(request->stub.size() % 8, 0u);
    }
    back.insert(back.end(), request->stub.begin(), request->stub.end());
    at += h.fragLength;
    ++fragments;
  }
  EXPECT_EQ(back, stub);
  EXPECT_EQ(fragments, 5);
}

TEST(Pdu, BindAckRoundTripAndTruncation) {
  rpc::pdu::BindAck ack;
  ack.maxXmitFrag = ack.maxRecvFrag = 4280;
  ack.assocGroup = 0x1234;
  ack.secondaryAddress = "7001";
  ack.results.push_back({rpc::pdu::kAcceptance, 0, rpc::Ndr20()});
  ack.results.push_back({rpc::pdu::kProviderRejection, rpc::pdu::kAbstractSyntaxNotSupported, {}});
  auto bytes = rpc::pdu::EncodeBindAck(rpc::pdu::kBindAck, 3, ack);
  EXPECT_EQ(bytes.size() % 4, 0u);
  auto back = rpc::pdu::DecodeBindAck(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->secondaryAddress, "7001");
  ASSERT_EQ(back->results.size(), 2u);
  EXPECT_EQ(back->results[0].transfer, rpc::Ndr20());
  EXPECT_EQ(back->results[1].reason, rpc::pdu::kAbstractSyntaxNotSupported);
  for (std::size_t n = rpc::pdu::kHeaderSize; n < bytes.size(); ++n) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    EXPECT_FALSE(rpc::pdu::DecodeBindAck(cut)) << n;
  }
}

}  // namespace
