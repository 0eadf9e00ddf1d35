// The endpoint mapper, interface e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0: the map of the
// endpoints registered on a machine, the mapper's server interface over it, the protocol
// towers that name an endpoint, and the calls that register with the local machine's mapper.
//
// The interface, as the mapper answers it (pointer_default(ptr); a tower is
// `typedef struct { unsigned32 tower_length; [size_is(tower_length)] byte tower_octet_string[]; }
// twr_t;`, an entry `typedef struct { uuid_t object; twr_t* tower; [string] char annotation[64]; }
// ept_entry_t;`, a lookup handle a context handle of 20 bytes):
//   0 ept_insert([in] unsigned32 num_ents, [in, size_is(num_ents)] ept_entry_t entries[],
//                [in] boolean32 replace, [out] error_status_t* status)
//   1 ept_delete([in] unsigned32 num_ents, [in, size_is(num_ents)] ept_entry_t entries[],
//                [out] error_status_t* status)
//   2 ept_lookup([in] unsigned32 inquiry_type, [in] uuid_t* object, [in] rpc_if_id_t* interface_id,
//                [in] unsigned32 vers_option, [in, out] ept_lookup_handle_t* entry_handle,
//                [in] unsigned32 max_ents, [out] unsigned32* num_ents,
//                [out, length_is(*num_ents), size_is(max_ents)] ept_entry_t entries[],
//                [out] error_status_t* status)
//   3 ept_map([in] uuid_t* object, [in] twr_t* map_tower, [in, out] ept_lookup_handle_t*
//   entry_handle,
//             [in] unsigned32 max_towers, [out] unsigned32* num_towers,
//             [out, length_is(*num_towers), size_is(max_towers)] twr_t* towers[],
//             [out] error_status_t* status)
//   4 ept_lookup_handle_free([in, out] ept_lookup_handle_t* entry_handle,
//                            [out] error_status_t* status)
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/rpc/server.h"
#include "shared/rpc/status.h"
#include "shared/rpc/uuid.h"

namespace rpc {

const SyntaxId& EndpointMapperSyntax();

// The mapper's status when it has no entry that matches, as it goes on the wire (the DCE
// code; a caller of this runtime sees EPT_S_NOT_REGISTERED).
inline constexpr std::uint32_t ept_s_not_registered = 0x16C9A0D6;

// The largest tower the mapper takes.
inline constexpr std::size_t kMaxTowerBytes = 1024;
// The longest annotation, with its terminating zero.
inline constexpr std::size_t kEptMaxAnnotation = 64;

// A protocol tower: a 16-bit floor count, then per floor a 16-bit length and the left-hand
// side (its first byte the protocol identifier), a 16-bit length and the right-hand side.
// The first two floors are the interface and the transfer syntax (identifier 0x0D, the UUID,
// the major version; the minor version on the right); ncacn_ip_tcp continues with 0x0B
// (connection-oriented RPC), 0x07 (the TCP port, big-endian) and 0x09 (the IPv4 address).
struct Tower {
  SyntaxId interfaceId;
  SyntaxId transfer;
  std::vector<std::uint8_t> protocols;          // of the floors after the first two
  std::vector<std::vector<std::uint8_t>> data;  // their right-hand sides
};
// Nullopt for a tower that does not decode, is longer than kMaxTowerBytes, has fewer than
// three floors or more than eight.
std::optional<Tower> ParseTower(std::span<const std::uint8_t> bytes);
// The tower of ncacn_ip_tcp over NDR 2.0.
std::vector<std::uint8_t> TcpTower(const SyntaxId& interfaceId, std::uint16_t port,
                                   const std::array<std::uint8_t, 4>& address = {});
// The TCP port of an ncacn_ip_tcp tower; 0 for any other tower.
std::uint16_t TcpPortOfTower(std::span<const std::uint8_t> bytes);

struct EndpointEntry {  // ept_entry_t
  Uuid object;
  std::vector<std::uint8_t> tower;
  std::string annotation;  // up to the first zero
};

// What ept_lookup asks for.
inline constexpr std::uint32_t RPC_C_EP_ALL_ELTS = 0;
inline constexpr std::uint32_t RPC_C_EP_MATCH_BY_IF = 1;
inline constexpr std::uint32_t RPC_C_EP_MATCH_BY_OBJ = 2;
inline constexpr std::uint32_t RPC_C_EP_MATCH_BY_BOTH = 3;
inline constexpr std::uint32_t RPC_C_VERS_ALL = 1;
inline constexpr std::uint32_t RPC_C_VERS_COMPATIBLE = 2;
inline constexpr std::uint32_t RPC_C_VERS_EXACT = 3;
inline constexpr std::uint32_t RPC_C_VERS_MAJOR_ONLY = 4;
inline constexpr std::uint32_t RPC_C_VERS_UPTO = 5;

// The entries of one machine, in the order they were made. Every operation takes the map's
// lock; the map holds at most `Limits::entries` entries and `Limits::lookups` enumerations.
class EndpointMap {
 public:
  struct Limits {
    std::size_t entries = 4096;    // entries kept
    std::size_t perRequest = 512;  // entries of one ept_insert or ept_delete
    std::size_t lookups = 256;     // open enumerations; beyond, the least recently used goes
    std::size_t batch = 500;       // entries of an ept_lookup answer, towers of an ept_map one
  };
  EndpointMap() : EndpointMap(Limits()) {}
  explicit EndpointMap(const Limits& limits);

  const Limits& limits() const { return limits_; }

  // ept_insert. With `replace`, the entries of the same interface (UUID and major version),
  // object and protocols as a new one go first. An entry equal to one already there (object
  // and tower) only takes its annotation. 0; EPT_S_INVALID_ENTRY when a tower does not
  // decode; EPT_S_CANT_CREATE when the map would hold more than its limit. Nothing changes
  // unless every entry is taken.
  std::uint32_t Insert(const std::vector<EndpointEntry>& entries, bool replace);
  // ept_delete: the entries of the same object, interface, protocols and endpoint (the data
  // of the floor after the protocol's). 0, or ept_s_not_registered when one of them was not
  // there (the others are deleted).
  std::uint32_t Delete(const std::vector<EndpointEntry>& entries);
  // ept_map: the towers registered for the interface of `tower` (the same UUID and major
  // version, a minor version not below the one asked for), its transfer syntax and its
  // protocols; for `object`, or when none is registered for a non-nil object, for the nil
  // object. At most `maxTowers` (and the batch limit) of them.
  std::vector<std::vector<std::uint8_t>> Map(const Uuid& object,
                                             std::span<const std::uint8_t> tower,
                                             std::size_t maxTowers);

  struct Query {
    std::uint32_t inquiry = RPC_C_EP_ALL_ELTS;
    Uuid object;
    std::optional<SyntaxId> interfaceId;
    std::uint32_t versions = RPC_C_VERS_ALL;
  };
  // ept_lookup: the next entries (at most `max` and the batch limit) of the enumeration
  // `*handle` (nil: a new one of `query`; an open one goes on with its own query). `*handle`
  // becomes the enumeration to go on with, or nil when none is left. 0; ept_s_not_registered
  // when nothing was left to give; EPT_S_CANT_PERFORM_OP for an unknown inquiry or version
  // option. An unknown handle raises the context mismatch fault.
  std::uint32_t Lookup(const Query& query, Uuid* handle, std::size_t max,
                       std::vector<EndpointEntry>* found);
  // ept_lookup_handle_free.
  void FreeLookup(const Uuid& handle);

  std::size_t Size();
  std::size_t OpenLookups();

 private:
  struct Stored {
    EndpointEntry entry;
    Tower tower;
  };
  struct Enumeration {
    Query query;
    std::uint64_t after = 0;  // the sequence number of the last entry given
    std::uint64_t used = 0;
  };
  bool Matches(const Query& query, const Stored& s) const;
  Uuid NewHandle();

  Limits limits_;
  std::mutex mutex_;
  std::map<std::uint64_t, Stored> entries_;  // by sequence number
  std::uint64_t nextSequence_ = 1;
  std::map<Uuid, Enumeration> lookups_;
  std::uint64_t lookupClock_ = 0;
  std::array<std::uint8_t, 8> handleSeed_{};
};

// Whether an address text (as the server gives a caller's) is of the loopback: 127.0.0.0/8,
// ::1, or ::ffff:127.x.x.x.
bool IsLoopbackAddress(const std::wstring& address);

// The mapper's interface over `map`. ept_insert and ept_delete from a caller that is not on
// the loopback are answered with the status RPC_S_ACCESS_DENIED; a request with more
// entries than the map's limit with EPT_S_CANT_PERFORM_OP.
ServerInterface EndpointMapperInterface(std::shared_ptr<EndpointMap> map);

// ept_insert and ept_delete on the local machine's mapper (127.0.0.1 at
// EndpointMapperPort()): RPC_S_OK, the mapper's status (EPT_S_NOT_REGISTERED for its
// ept_s_not_registered), EPT_S_CANT_PERFORM_OP when the mapper cannot be reached or does not
// answer, or the status of the failed call.
RPC_STATUS EptInsert(const std::vector<EndpointEntry>& entries, bool replace);
RPC_STATUS EptDelete(const std::vector<EndpointEntry>& entries);

// Where the mapper of the machine is: the registry value that holds its TCP port, and the
// port of the mapper when that value is absent (on Windows it is absent: 135).
inline constexpr wchar_t kEndpointMapperKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\RpcEptMapper\\Parameters";
inline constexpr wchar_t kEndpointMapperPortValue[] = L"TcpPort";
inline constexpr std::uint16_t kEndpointMapperDefaultPort = 135;
// The port in the registry value: a DWORD of 1 to 65535; nullopt otherwise.
std::optional<std::uint16_t> RegisteredEndpointMapperPort();

}  // namespace rpc
