// tollnotify: the reference workstation notifier. Serves WorkstationNotifier and
// WorkstationConfirm on TCP port 7001 (--port N; 0 for a dynamic port) and prints each call
// it receives as one JSON line on standard output. Every call is answered at once (the calls
// carry no results); the notifier runs until it is ended, or after --exit-after N calls.
#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include "shared/rpc/rpc.h"
#include "tools/tollnotify/notifier.h"

namespace {

int Usage() {
  std::cerr << "usage: tollnotify [--port N] [--exit-after N]\n";
  return 2;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 7001;
  unsigned long exitAfter = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 65535, &port)) return Usage();
    } else if (arg == "--exit-after" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 0xFFFFFFFFul, &exitAfter)) return Usage();
    } else {
      return Usage();
    }
  }

  std::mutex lock;
  std::condition_variable done;
  unsigned long calls = 0;
  auto sink = [&](const std::string& json) {
    std::lock_guard<std::mutex> guard(lock);
    std::cout << json << '\n' << std::flush;
    ++calls;
    if (exitAfter != 0 && calls >= exitAfter) done.notify_all();
  };

  rpc::Server server;
  // The workstation's calls carry a few texts, account lists and a key: 64 KiB is plenty.
  server.SetMaxMessage(64u << 10);
  rpc::RPC_STATUS status =
      port == 0 ? server.UseProtseq(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT)
                : server.UseProtseqEp(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                      std::to_wstring(port));
  if (status != rpc::RPC_S_OK) {
    std::cerr << "tollnotify: cannot use port " << port << ": RPC status " << status << "\n";
    return 1;
  }
  server.RegisterIf(tollnotify::WorkstationNotifier(sink), rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                    rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
  server.RegisterIf(tollnotify::WorkstationConfirm(sink), rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                    rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
  status = server.Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
  if (status != rpc::RPC_S_OK) {
    std::cerr << "tollnotify: cannot listen: RPC status " << status << "\n";
    return 1;
  }
  std::cerr << "tollnotify: listening on ncacn_ip_tcp port " << server.Ports().at(0) << "\n"
            << std::flush;
  std::unique_lock<std::mutex> guard(lock);
  done.wait(guard, [&] { return exitAfter != 0 && calls >= exitAfter; });
  guard.unlock();
  server.StopListening();
  server.WaitListen();
  return 0;
}
