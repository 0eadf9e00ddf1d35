// The runtime's calls with the names and meanings of the Microsoft RPC API, for the interface
// code and its callers. Strings are wide; optional arguments are null pointers. A failing call
// returns its RPC status; a failing remote call throws RpcException (see status.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/rpc/client.h"
#include "shared/rpc/endpoint_mapper.h"
#include "shared/rpc/ndr.h"
#include "shared/rpc/server.h"
#include "shared/rpc/status.h"
#include "shared/rpc/uuid.h"

namespace rpc {

using RPC_BINDING_HANDLE = Binding*;
using RPC_BINDING_VECTOR = std::vector<std::wstring>;  // string bindings

inline constexpr unsigned long RPC_C_OPT_CALL_TIMEOUT = 12;
inline constexpr unsigned long RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr unsigned long RPC_C_AUTHN_LEVEL_CONNECT = 2;
inline constexpr unsigned long RPC_C_AUTHN_NONE = 0;
inline constexpr unsigned long RPC_C_AUTHN_WINNT = 10;

// "[object@]protseq:address[endpoint]"; any argument may be null.
RPC_STATUS RpcStringBindingComposeW(const wchar_t* objectUuid, const wchar_t* protseq,
                                    const wchar_t* networkAddress, const wchar_t* endpoint,
                                    const wchar_t* options, std::wstring* stringBinding);
RPC_STATUS RpcStringBindingParseW(const std::wstring& stringBinding, std::wstring* objectUuid,
                                  std::wstring* protseq, std::wstring* networkAddress,
                                  std::wstring* endpoint, std::wstring* options);
RPC_STATUS RpcStringFreeW(std::wstring* text);

// A binding handle from a string binding: RPC_S_INVALID_STRING_BINDING,
// RPC_S_PROTSEQ_NOT_SUPPORTED (only "ncacn_ip_tcp"), RPC_S_INVALID_ENDPOINT_FORMAT (a port
// 1-65535 or empty), RPC_S_INVALID_STRING_UUID. Nothing is connected yet.
RPC_STATUS RpcBindingFromStringBindingW(const std::wstring& stringBinding,
                                        RPC_BINDING_HANDLE* binding);
// The communication time-out level (0 to 10): how long a connection may take.
RPC_STATUS RpcMgmtSetComTimeout(RPC_BINDING_HANDLE binding, unsigned level);
// RPC_C_OPT_CALL_TIMEOUT: the call time-out in milliseconds (0 for none).
RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option,
                               std::uintptr_t value);
RPC_STATUS RpcBindingSetObject(RPC_BINDING_HANDLE binding, const Uuid* object);
// Only RPC_C_AUTHN_NONE / RPC_C_AUTHN_LEVEL_NONE is offered: anything else is
// RPC_S_UNKNOWN_AUTHN_SERVICE.
RPC_STATUS RpcBindingSetAuthInfoW(RPC_BINDING_HANDLE binding, const wchar_t* serverPrincipal,
                                  unsigned long authnLevel, unsigned long authnService);
// Closes the binding's connection and frees it; sets the handle to null.
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);

// What a client stub does for one call: the marshalled [in] parameters out, the [out] stub
// data back. Throws RpcException.
std::vector<std::uint8_t> NdrClientCall(RPC_BINDING_HANDLE binding, const SyntaxId& interfaceId,
                                        std::uint16_t opnum, const ndr::Writer& in);

// The process's server.
Server& ProcessServer();
RPC_STATUS RpcServerUseProtseqEpW(const std::wstring& protseq, unsigned maxCalls,
                                  const std::wstring& endpoint);
RPC_STATUS RpcServerUseProtseqW(const std::wstring& protseq, unsigned maxCalls);
RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR* bindings);
// Registers the interface at each binding's TCP port ("ncacn_ip_tcp:HOST[port]", as
// RpcServerInqBindings gives them), for each object (the nil object when null or empty), with
// the local machine's endpoint mapper (ept_insert with replace on 127.0.0.1 at
// EndpointMapperPort()): the entries of the same interface, object and protocol there go.
// The annotation is cut to 63 characters. RPC_S_OK; RPC_S_NO_BINDINGS, the status of a
// binding that does not parse or is not ncacn_ip_tcp with a port; EPT_S_CANT_PERFORM_OP when
// the mapper cannot be reached; or the mapper's status (RPC_S_ACCESS_DENIED, …).
RPC_STATUS RpcEpRegisterW(const ServerInterface& definition, const RPC_BINDING_VECTOR& bindings,
                          const std::vector<Uuid>* objects, const wchar_t* annotation);
// Removes those entries again (ept_delete): the same statuses, and EPT_S_NOT_REGISTERED when
// one of them was not registered.
RPC_STATUS RpcEpUnregister(const ServerInterface& definition, const RPC_BINDING_VECTOR& bindings,
                           const std::vector<Uuid>* objects);
RPC_STATUS RpcServerRegisterIfEx(const ServerInterface& definition, unsigned flags,
                                 unsigned maxCalls);
// Null: every interface.
RPC_STATUS RpcServerUnregisterIf(const ServerInterface* definition, bool waitForCallsToComplete);
RPC_STATUS RpcServerListen(unsigned minThreads, unsigned maxCalls, bool dontWait);
RPC_STATUS RpcMgmtStopServerListening();
RPC_STATUS RpcMgmtWaitServerListen();

}  // namespace rpc
