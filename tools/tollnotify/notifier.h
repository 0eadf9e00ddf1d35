// The workstation's two interfaces as served by the reference notifier, with the agent's own
// definitions of them (agent/rpc/interfaces.h): every call is decoded parameter by parameter
// and handed on as one JSON object (UTF-8, one line).
#pragma once

#include <functional>
#include <string>

#include "shared/rpc/server.h"

namespace tollnotify {

const rpc::SyntaxId& WorkstationNotifierId();
const rpc::SyntaxId& WorkstationConfirmId();

// Receives the JSON text of each call; called from the runtime's call threads, one at a time.
using CallSink = std::function<void(const std::string& json)>;

rpc::ServerInterface WorkstationNotifier(CallSink sink);
rpc::ServerInterface WorkstationConfirm(CallSink sink);

// UTF-8 of a wide text.
std::string Utf8(const std::wstring& text);
std::string Base64(const std::vector<std::uint8_t>& bytes);

}  // namespace tollnotify
