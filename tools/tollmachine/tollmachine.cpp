#include "tools/tollmachine/tollmachine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_server.h"
#include "platform/sim/spooler.h"
#include "shared/rpc/endpoint_mapper.h"
#include "shared/rpc/server.h"

namespace tollgate::tollmachine {
namespace {

using namespace platform;

constexpr char kUsage[] =
    "usage: tollmachine [--machine DIR] COMMAND ...\n"
    "  start | stop | status\n"
    "  sc query|queryex|qc|start|stop|delete NAME\n"
    "  sc create|config NAME [binPath= PATH] [start= auto|demand|disabled] [DisplayName= TEXT]\n"
    "  reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "  reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  reg query KEY [/v NAME | /ve] [/s]\n"
    "  reg import FILE | reg export KEY FILE [/y]\n"
    "  events [--follow] [--log System|Application]\n"
    "  print -P QUEUE [-U USER] [-H MACHINE] [-T TITLE] [-o NAME=VALUE]... [FILE|-]\n"
    "  jobs [QUEUE]\n"
    "  pause|resume|cancel JOB\n"
    "  crash SERVICE\n"
    "  watch QUEUE [--count N] [--seconds S]\n"
    "  install --server HOST [--port PORT] [--no-start]\n";

std::wstring W(const std::string& s) {
  return platform::system().MultiByteToWideChar(CP_UTF8, s);
}
std::string U(const std::wstring& s) {
  return platform::system().WideCharToMultiByte(CP_UTF8, s);
}

std::string ErrorText(DWORD code) {
  auto text = kernel().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | 0xFF, code, LANG_USER_DEFAULT);
  std::string t = text ? U(*text) : "Unknown error.";
  while (!t.empty() && (t.back() == ' ' || t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

int Failed(const std::string& call, DWORD code) {
  std::cout << "[SC] " << call << " FAILED " << code << ":\n\n" << ErrorText(code) << "\n\n";
  return 1;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// --- sc -------------------------------------------------------------------------------

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

const char* StartName(DWORD start) {
  switch (start) {
    case 0:
      return "BOOT_START";
    case 1:
      return "SYSTEM_START";
    case SERVICE_AUTO_START:
      return "AUTO_START";
    case SERVICE_DEMAND_START:
      return "DEMAND_START";
    case SERVICE_DISABLED:
      return "DISABLED";
    default:
      return "UNKNOWN";
  }
}

void PrintStatus(const std::string& name, const ServiceStatus& s, const std::optional<DWORD>& pid) {
  char line[128];
  std::cout << "\nSERVICE_NAME: " << name << "\n";
  std::snprintf(line, sizeof line, "        TYPE               : %x  %s\n", s.dwServiceType,
                s.dwServiceType == SERVICE_WIN32_OWN_PROCESS ? "WIN32_OWN_PROCESS " : "WIN32 ");
  std::cout << line;
  std::snprintf(line, sizeof line, "        STATE              : %u  %s\n", s.dwCurrentState,
                StateName(s.dwCurrentState));
  std::cout << line;
  std::cout << "                                ("
            << ((s.dwControlsAccepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE")
            << ", "
            << ((s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE"
                                                                       : "NOT_PAUSABLE")
            << ", "
            << ((s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN"
                                                                 : "IGNORES_SHUTDOWN")
            << ")\n";
  std::snprintf(line, sizeof line, "        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.dwWin32ExitCode,
                s.dwWin32ExitCode);
  std::cout << line;
  std::snprintf(line, sizeof line, "        SERVICE_EXIT_CODE  : %u  (0x%x)\n",
                s.dwServiceSpecificExitCode, s.dwServiceSpecificExitCode);
  std::cout << line;
  std::snprintf(line, sizeof line, "        CHECKPOINT         : 0x%x\n", s.dwCheckPoint);
  std::cout << line;
  std::snprintf(line, sizeof line, "        WAIT_HINT          : 0x%x\n", s.dwWaitHint);
  std::cout << line;
  if (pid) {
    std::cout << "        PID                : " << *pid << "\n";
    std::cout << "        FLAGS              : \n";
  }
}

// "key= value" pairs of sc's create and config.
std::map<std::string, std::string> ScOptions(const std::vector<std::string>& args, std::size_t from,
                                             std::string* error) {
  std::map<std::string, std::string> options;
  for (std::size_t i = from; i < args.size(); ++i) {
    std::string a = args[i];
    std::size_t eq = a.find('=');
    if (eq == std::string::npos) {
      *error = "unexpected argument " + a;
      return {};
    }
    std::string key = Upper(a.substr(0, eq));
    std::string value = a.substr(eq + 1);
    if (value.empty()) {
      if (i + 1 >= args.size()) {
        *error = "no value for " + a;
        return {};
      }
      value = args[++i];
    }
    options[key] = value;
  }
  return options;
}

int Sc(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    std::cerr << kUsage;
    return 2;
  }
  std::string verb = args[0];
  std::string name = args[1];
  Services& scm = services();
  SC_HANDLE manager = scm.OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return Failed("OpenSCManager", kernel().GetLastError());
  auto close = [&](SC_HANDLE h) {
    if (h != nullptr) scm.CloseServiceHandle(h);
  };
  if (verb == "create") {
    std::string error;
    auto options = ScOptions(args, 2, &error);
    if (!error.empty()) {
      std::cerr << "tollmachine sc create: " << error << "\n";
      close(manager);
      return 2;
    }
    ServiceConfig config;
    config.lpBinaryPathName = W(options["BINPATH"]);
    config.lpDisplayName = W(options.count("DISPLAYNAME") ? options["DISPLAYNAME"] : name);
    std::string start = Upper(options.count("START") ? options["START"] : "DEMAND");
    config.dwStartType = start == "AUTO"       ? SERVICE_AUTO_START
                         : start == "DISABLED" ? SERVICE_DISABLED
                                               : SERVICE_DEMAND_START;
    SC_HANDLE svc = scm.CreateServiceW(manager, W(name), config);
    int rc = 0;
    if (svc == nullptr) {
      rc = Failed("CreateService", kernel().GetLastError());
    } else {
      std::cout << "[SC] CreateService SUCCESS\n";
    }
    close(svc);
    close(manager);
    return rc;
  }
  SC_HANDLE svc = scm.OpenServiceW(manager, W(name), SERVICE_ALL_ACCESS);
  if (svc == nullptr) {
    int rc = Failed("OpenService", kernel().GetLastError());
    close(manager);
    return rc;
  }
  int rc = 0;
  if (verb == "query" || verb == "queryex") {
    ServiceStatusProcess s;
    if (!scm.QueryServiceStatusEx(svc, &s)) {
      rc = Failed("QueryService", kernel().GetLastError());
    } else {
      PrintStatus(name, s.status,
                  verb == "queryex" ? std::optional<DWORD>(s.dwProcessId) : std::nullopt);
    }
  } else if (verb == "qc") {
    ServiceConfig c;
    if (!scm.QueryServiceConfigW(svc, &c)) {
      rc = Failed("QueryServiceConfig", kernel().GetLastError());
    } else {
      char line[64];
      std::cout << "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: " << name << "\n";
      std::snprintf(line, sizeof line, "        TYPE               : %x  %s\n", c.dwServiceType,
                    c.dwServiceType == SERVICE_WIN32_OWN_PROCESS ? "WIN32_OWN_PROCESS " : "WIN32 ");
      std::cout << line;
      std::cout << "        START_TYPE         : " << c.dwStartType << "   "
                << StartName(c.dwStartType) << "\n";
      std::cout << "        ERROR_CONTROL      : 1   NORMAL\n";
      std::cout << "        BINARY_PATH_NAME   : " << U(c.lpBinaryPathName) << "\n";
      std::cout << "        LOAD_ORDER_GROUP   : \n        TAG                : 0\n";
      std::cout << "        DISPLAY_NAME       : " << U(c.lpDisplayName) << "\n";
      std::cout << "        DEPENDENCIES       : \n        SERVICE_START_NAME : LocalSystem\n";
    }
  } else if (verb == "start") {
    std::vector<std::wstring> startArgs;
    for (std::size_t i = 2; i < args.size(); ++i) startArgs.push_back(W(args[i]));
    if (!scm.StartServiceW(svc, startArgs)) {
      rc = Failed("StartService", kernel().GetLastError());
    } else {
      ServiceStatusProcess s;
      scm.QueryServiceStatusEx(svc, &s);
      PrintStatus(name, s.status, s.dwProcessId);
    }
  } else if (verb == "stop") {
    ServiceStatus s;
    if (!scm.ControlService(svc, SERVICE_CONTROL_STOP, &s)) {
      rc = Failed("ControlService", kernel().GetLastError());
    } else {
      scm.QueryServiceStatus(svc, &s);
      PrintStatus(name, s, std::nullopt);
    }
  } else if (verb == "config") {
    std::string error;
    auto options = ScOptions(args, 2, &error);
    if (!error.empty()) {
      std::cerr << "tollmachine sc config: " << error << "\n";
      rc = 2;
    } else {
      DWORD start = SERVICE_NO_CHANGE;
      if (options.count("START")) {
        std::string s = Upper(options["START"]);
        start = s == "AUTO"       ? SERVICE_AUTO_START
                : s == "DISABLED" ? SERVICE_DISABLED
                                  : SERVICE_DEMAND_START;
      }
      if (!scm.ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, start, W(options["BINPATH"]),
                                    W(options["DISPLAYNAME"]))) {
        rc = Failed("ChangeServiceConfig", kernel().GetLastError());
      } else {
        std::cout << "[SC] ChangeServiceConfig SUCCESS\n";
      }
    }
  } else if (verb == "delete") {
    if (!scm.DeleteService(svc)) {
      rc = Failed("DeleteService", kernel().GetLastError());
    } else {
      std::cout << "[SC] DeleteService SUCCESS\n";
    }
  } else {
    std::cerr << kUsage;
    rc = 2;
  }
  close(svc);
  close(manager);
  return rc;
}

// --- install --------------------------------------------------------------------------

// The services an installer registers: the agent and its supervisor, from the programs beside
// this one.
constexpr wchar_t kAgentService[] = L"tollgate client";
constexpr wchar_t kAgentDisplayName[] = L"Tollgate Client";
constexpr wchar_t kSupervisorService[] = L"tollwarden";
constexpr wchar_t kSupervisorDisplayName[] = L"Tollgate Client Supervisor";

std::filesystem::path SelfPath();

// Creates the service, or sets an existing one to the new image path and automatic start (an
// installer run again over an earlier installation).
int InstallService(SC_HANDLE manager, const std::wstring& name, const std::wstring& displayName,
                   const std::wstring& imagePath) {
  Services& scm = services();
  ServiceConfig config{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, imagePath, displayName};
  SC_HANDLE svc = scm.CreateServiceW(manager, name, config);
  if (svc == nullptr && kernel().GetLastError() == ERROR_SERVICE_EXISTS) {
    svc = scm.OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (svc == nullptr) return Failed("OpenService", kernel().GetLastError());
    if (!scm.ChangeServiceConfigW(svc, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, imagePath,
                                  displayName)) {
      DWORD code = kernel().GetLastError();
      scm.CloseServiceHandle(svc);
      return Failed("ChangeServiceConfig", code);
    }
  }
  if (svc == nullptr) return Failed("CreateService", kernel().GetLastError());
  scm.CloseServiceHandle(svc);
  std::cout << "installed " << U(name) << ": " << U(imagePath) << "\n";
  return 0;
}

int StartInstalled(SC_HANDLE manager, const std::wstring& name) {
  Services& scm = services();
  SC_HANDLE svc = scm.OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
  if (svc == nullptr) return Failed("OpenService", kernel().GetLastError());
  int rc = 0;
  if (!scm.StartServiceW(svc, {}) && kernel().GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    rc = Failed("StartService", kernel().GetLastError());
  } else {
    std::cout << "started " << U(name) << "\n";
  }
  scm.CloseServiceHandle(svc);
  return rc;
}

int Install(const std::vector<std::string>& args) {
  std::string server, port;
  bool start = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--server" && i + 1 < args.size()) {
      server = args[++i];
    } else if (args[i] == "--port" && i + 1 < args.size()) {
      port = args[++i];
    } else if (args[i] == "--no-start") {
      start = false;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  // The image path is one command line: a host or port with a space or quote could not be
  // told from the next argument.
  auto plain = [](const std::string& v) { return v.find_first_of(" \t\"") == std::string::npos; };
  if (server.empty() || !plain(server) || !plain(port)) {
    std::cerr << "tollmachine install: --server HOST is needed; HOST and PORT without spaces or "
                 "quotes\n";
    return 2;
  }
  std::filesystem::path bin = SelfPath().parent_path();
  std::wstring agentPath =
      L"\"" + W((bin / "tollagent").string()) + L"\" /servicerun /server " + W(server);
  if (!port.empty()) agentPath += L" /port " + W(port);
  std::wstring supervisorPath = L"\"" + W((bin / "tollwarden").string()) + L"\"";

  SC_HANDLE manager = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return Failed("OpenSCManager", kernel().GetLastError());
  int rc = InstallService(manager, kAgentService, kAgentDisplayName, agentPath);
  if (rc == 0)
    rc = InstallService(manager, kSupervisorService, kSupervisorDisplayName, supervisorPath);
  if (rc == 0 && start) rc = StartInstalled(manager, kAgentService);
  if (rc == 0 && start) rc = StartInstalled(manager, kSupervisorService);
  services().CloseServiceHandle(manager);
  return rc;
}

// --- reg ------------------------------------------------------------------------------

// "HKLM\X" or "HKEY_LOCAL_MACHINE\X" → "X"; false for other hives.
bool KeyPath(const std::string& key, std::wstring* path) {
  std::string u = Upper(key);
  for (const char* root : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
    std::string r(root);
    if (u == r) {
      path->clear();
      return true;
    }
    if (u.rfind(r + "\\", 0) == 0) {
      *path = W(key.substr(r.size() + 1));
      return true;
    }
  }
  return false;
}

const std::map<std::string, DWORD>& RegTypes() {
  static const std::map<std::string, DWORD> types{
      {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
      {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
      {"REG_QWORD", REG_QWORD}};
  return types;
}

std::string TypeName(DWORD type) {
  for (const auto& [name, value] : RegTypes()) {
    if (value == type) return name;
  }
  return "REG_UNKNOWN";
}

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
  std::vector<std::uint8_t> out;
  for (wchar_t c : text) {
    auto v = static_cast<std::uint32_t>(c);
    auto put = [&out](std::uint32_t u) {
      out.push_back(static_cast<std::uint8_t>(u));
      out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    if (v >= 0x10000) {
      v -= 0x10000;
      put(0xD800 + (v >> 10));
      put(0xDC00 + (v & 0x3FF));
    } else {
      put(v);
    }
  }
  return out;
}

std::wstring FromUtf16(const std::vector<std::uint8_t>& data) {
  std::wstring out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    std::uint32_t u = data[i] | (data[i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < data.size()) {
      std::uint32_t lo = data[i + 2] | (data[i + 3] << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    out += static_cast<wchar_t>(u);
  }
  return out;
}

bool EncodeData(DWORD type, const std::string& text, std::vector<std::uint8_t>* data) {
  data->clear();
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    *data = Utf16(W(text));
    data->insert(data->end(), {0, 0});
    return true;
  }
  if (type == REG_MULTI_SZ) {
    // Entries separated by "\0", as reg.exe takes them.
    std::wstring all = W(text);
    std::wstring out;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i] == L'\\' && i + 1 < all.size() && all[i + 1] == L'0') {
        out += L'\0';
        ++i;
      } else {
        out += all[i];
      }
    }
    *data = Utf16(out);
    data->insert(data->end(), {0, 0, 0, 0});
    return true;
  }
  if (type == REG_DWORD || type == REG_QWORD) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || (type == REG_DWORD && v > 0xFFFFFFFFull)) return false;
    int bytes = type == REG_DWORD ? 4 : 8;
    for (int k = 0; k < bytes; ++k) data->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    return true;
  }
  if (type == REG_BINARY || type == REG_NONE) {
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
      char* end = nullptr;
      std::string pair = text.substr(i, 2);
      unsigned long v = std::strtoul(pair.c_str(), &end, 16);
      if (*end != '\0') return false;
      data->push_back(static_cast<std::uint8_t>(v));
    }
    return true;
  }
  return false;
}

std::string DecodeData(DWORD type, const std::vector<std::uint8_t>& data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::wstring text = FromUtf16(data);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    std::string out;
    for (wchar_t c : text) out += c == L'\0' ? std::string("\\0") : U(std::wstring(1, c));
    return out;
  }
  if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
    unsigned long long v = 0;
    for (std::size_t k = 0; k < data.size(); ++k)
      v |= static_cast<unsigned long long>(data[k]) << (8 * k);
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", v);
    return text;
  }
  std::string out;
  char hex[3];
  for (std::uint8_t b : data) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    out += hex;
  }
  return out;
}

int RegError(const std::string& text) {
  std::cerr << "ERROR: " << text << "\n";
  return 1;
}

std::wstring UpperAsciiImpl(const std::wstring& s) {
  std::wstring u = s;
  for (wchar_t& c : u) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
  }
  return u;
}

void QueryKey(HKEY key, const std::wstring& path, const std::optional<std::wstring>& only,
              bool recurse) {
  Registry& reg = registry();
  std::cout << "\nHKEY_LOCAL_MACHINE" << (path.empty() ? "" : "\\") << U(path) << "\n";
  std::wstring name;
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  for (DWORD i = 0; reg.RegEnumValueW(key, i, &name, &type, &data) == ERROR_SUCCESS; ++i) {
    if (only && UpperAsciiImpl(name) != UpperAsciiImpl(*only)) continue;
    std::cout << "    " << (name.empty() ? "(Default)" : U(name)) << "    " << TypeName(type)
              << "    " << DecodeData(type, data) << "\n";
  }
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0; reg.RegEnumKeyExW(key, i, &name) == ERROR_SUCCESS; ++i) subkeys.push_back(name);
  if (!recurse) {
    if (!only) {
      std::cout << "\n";
      for (const auto& s : subkeys) {
        std::cout << "HKEY_LOCAL_MACHINE\\" << U(path.empty() ? s : path + L"\\" + s) << "\n";
      }
    }
    return;
  }
  for (const auto& s : subkeys) {
    HKEY sub = nullptr;
    if (reg.RegOpenKeyExW(key, s, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    QueryKey(sub, path.empty() ? s : path + L"\\" + s, only, true);
    reg.RegCloseKey(sub);
  }
}

void DeleteTree(HKEY parent, const std::wstring& name) {
  Registry& reg = registry();
  HKEY key = nullptr;
  if (reg.RegOpenKeyExW(parent, name, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  std::vector<std::wstring> subs;
  std::wstring s;
  for (DWORD i = 0; reg.RegEnumKeyExW(key, i, &s) == ERROR_SUCCESS; ++i) subs.push_back(s);
  for (const auto& sub : subs) DeleteTree(key, sub);
  reg.RegCloseKey(key);
  reg.RegDeleteKeyW(parent, name);
}

int Reg(platform::sim::Machine& machine, const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  std::string verb = args[0];
  Registry& reg = registry();
  if (verb == "import") {
    if (args.size() != 2) return RegError("Invalid syntax.");
    std::ifstream in(args[1], std::ios::binary);
    if (!in) return RegError("Error opening the file. There may be a disk or file system error.");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (auto error = machine.ImportRegistry(bytes.str())) {
      return RegError("Error accessing the registry: " + *error);
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  if (args.size() < 2) return RegError("Invalid syntax.");
  std::wstring path;
  if (!KeyPath(args[1], &path)) return RegError("Invalid key name.");
  std::optional<std::wstring> valueName;
  bool allValues = false, recurse = false, force = false;
  std::string typeName = "REG_SZ", data;
  bool hasData = false;
  std::vector<std::string> positional;
  for (std::size_t i = 2; i < args.size(); ++i) {
    std::string a = Upper(args[i]);
    auto next = [&](std::string* into) {
      if (i + 1 >= args.size()) return false;
      *into = args[++i];
      return true;
    };
    std::string value;
    if (a == "/V") {
      if (!next(&value)) return RegError("Invalid syntax.");
      valueName = W(value);
    } else if (a == "/VE") {
      valueName = L"";
    } else if (a == "/VA") {
      allValues = true;
    } else if (a == "/T") {
      if (!next(&typeName)) return RegError("Invalid syntax.");
      typeName = Upper(typeName);
    } else if (a == "/D") {
      if (!next(&data)) return RegError("Invalid syntax.");
      hasData = true;
    } else if (a == "/S") {
      recurse = true;
    } else if (a == "/F" || a == "/Y") {
      force = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  (void)force;
  if (verb == "add") {
    HKEY key = nullptr;
    LONG rc = reg.RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &key, nullptr);
    if (rc != ERROR_SUCCESS) return RegError(ErrorText(static_cast<DWORD>(rc)));
    if (valueName || hasData) {
      auto type = RegTypes().find(typeName);
      std::vector<std::uint8_t> bytes;
      if (type == RegTypes().end() || !EncodeData(type->second, data, &bytes)) {
        reg.RegCloseKey(key);
        return RegError("Invalid syntax.");
      }
      rc = reg.RegSetValueExW(key, valueName.value_or(L""), type->second, bytes.data(),
                              static_cast<DWORD>(bytes.size()));
    }
    reg.RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return RegError(ErrorText(static_cast<DWORD>(rc)));
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  if (verb == "delete") {
    if (valueName || allValues) {
      HKEY key = nullptr;
      if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return RegError("The system was unable to find the specified registry key or value.");
      }
      LONG rc = ERROR_SUCCESS;
      if (allValues) {
        std::wstring name;
        DWORD type = 0;
        std::vector<std::uint8_t> bytes;
        while (reg.RegEnumValueW(key, 0, &name, &type, &bytes) == ERROR_SUCCESS &&
               reg.RegDeleteValueW(key, name) == ERROR_SUCCESS) {
        }
      } else {
        rc = reg.RegDeleteValueW(key, *valueName);
      }
      reg.RegCloseKey(key);
      if (rc != ERROR_SUCCESS) {
        return RegError("The system was unable to find the specified registry key or value.");
      }
    } else {
      HKEY probe = nullptr;
      if (path.empty() ||
          reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &probe) != ERROR_SUCCESS) {
        return RegError("The system was unable to find the specified registry key or value.");
      }
      reg.RegCloseKey(probe);
      DeleteTree(HKEY_LOCAL_MACHINE, path);
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  if (verb == "query") {
    HKEY key = nullptr;
    if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &key) != ERROR_SUCCESS) {
      return RegError("The system was unable to find the specified registry key or value.");
    }
    if (valueName) {
      DWORD type = 0;
      if (reg.RegQueryValueExW(key, *valueName, &type, nullptr, nullptr) != ERROR_SUCCESS) {
        reg.RegCloseKey(key);
        return RegError("The system was unable to find the specified registry key or value.");
      }
    }
    QueryKey(key, path, valueName, recurse);
    reg.RegCloseKey(key);
    std::cout << "\n";
    return 0;
  }
  if (verb == "export") {
    if (positional.size() != 1) return RegError("Invalid syntax.");
    HKEY probe = nullptr;
    if (reg.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &probe) != ERROR_SUCCESS) {
      return RegError("The system was unable to find the specified registry key or value.");
    }
    reg.RegCloseKey(probe);
    std::string bytes = machine.ExportRegistry();
    // Only the sections of the key and below.
    bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
    std::wstring text = utf16 ? FromUtf16(std::vector<std::uint8_t>(bytes.begin() + 2, bytes.end()))
                              : platform::system().MultiByteToWideChar(CP_ACP, bytes);
    std::wstring prefix =
        UpperAsciiImpl(L"[HKEY_LOCAL_MACHINE" + (path.empty() ? L"" : L"\\" + path));
    std::wstring out;
    bool keep = true;
    std::size_t at = 0;
    bool header = true;
    while (at < text.size()) {
      std::size_t end = text.find(L'\n', at);
      if (end == std::wstring::npos) end = text.size() - 1;
      std::wstring line = text.substr(at, end - at + 1);
      at = end + 1;
      if (header) {
        out += line;
        if (line == L"\r\n") header = false;
        continue;
      }
      if (!line.empty() && line[0] == L'[') {
        std::wstring u = UpperAsciiImpl(line);
        keep = u.rfind(prefix + L"]", 0) == 0 || u.rfind(prefix + L"\\", 0) == 0;
      }
      if (keep) out += line;
    }
    std::string file;
    if (utf16) {
      std::vector<std::uint8_t> b = Utf16(out);
      file = "\xFF\xFE" + std::string(b.begin(), b.end());
    } else {
      file = platform::system().WideCharToMultiByte(CP_ACP, out);
    }
    std::ofstream o(positional[0], std::ios::binary | std::ios::trunc);
    o << file;
    if (!o) return RegError("Error opening the file. There may be a disk or file system error.");
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  std::cerr << kUsage;
  return 2;
}

// --- events ---------------------------------------------------------------------------

const char* EventTypeName(std::uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "audit-success";
    case EVENTLOG_AUDIT_FAILURE:
      return "audit-failure";
    default:
      return "success";
  }
}

std::string EventLine(const EventLogRecord& e) {
  std::time_t t = static_cast<std::time_t>(e.TimeGenerated);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(time) + "\t" + U(e.SourceName) + "\t" + std::to_string(e.EventID) +
                     "\t" + EventTypeName(e.EventType);
  // One record a line: the line breaks and tabs of an insertion string (a system text ends
  // with CR LF) are written as \r, \n and \t.
  for (const auto& s : e.Strings) {
    line += "\t";
    for (char c : U(s)) {
      if (c == '\r') {
        line += "\\r";
      } else if (c == '\n') {
        line += "\\n";
      } else if (c == '\t') {
        line += "\\t";
      } else {
        line += c;
      }
    }
  }
  return line;
}

int Events(const std::vector<std::string>& args) {
  bool follow = false;
  std::string log = "System";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--follow" || args[i] == "-f") {
      follow = true;
    } else if (args[i] == "--log" && i + 1 < args.size()) {
      log = args[++i];
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  EventLog& events = eventLog();
  HANDLE h = events.OpenEventLogW(W(log));
  if (h == nullptr) {
    std::cerr << "tollmachine events: " << ErrorText(kernel().GetLastError()) << "\n";
    return 1;
  }
  HANDLE changed = nullptr;
  if (follow) {
    changed = kernel().CreateEventW(false, false);
    events.NotifyChangeEventLog(h, changed);
  }
  for (;;) {
    std::vector<EventLogRecord> records;
    DWORD read = 0, needed = 0;
    while (events.ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, 65536,
                                &records, &read, &needed)) {
      for (const auto& e : records) std::cout << EventLine(e) << "\n";
    }
    std::cout.flush();
    if (!follow) break;
    if (kernel().WaitForSingleObject(changed, 1000) == WAIT_FAILED) break;
  }
  events.CloseEventLog(h);
  return 0;
}

// --- the spooler ----------------------------------------------------------------------

std::string StatusWords(DWORD s) {
  static const std::pair<DWORD, const char*> bits[] = {
      {JOB_STATUS_PAUSED, "paused"},
      {JOB_STATUS_ERROR, "error"},
      {JOB_STATUS_DELETING, "deleting"},
      {JOB_STATUS_SPOOLING, "spooling"},
      {JOB_STATUS_PRINTING, "printing"},
      {JOB_STATUS_OFFLINE, "offline"},
      {JOB_STATUS_PAPEROUT, "paper-out"},
      {JOB_STATUS_PRINTED, "printed"},
      {JOB_STATUS_DELETED, "deleted"},
      {JOB_STATUS_BLOCKED_DEVQ, "blocked"},
      {JOB_STATUS_USER_INTERVENTION, "user-intervention"},
      {JOB_STATUS_RESTART, "restarting"},
      {JOB_STATUS_COMPLETE, "complete"}};
  std::string words;
  for (const auto& [bit, word] : bits) {
    if ((s & bit) != 0) words += (words.empty() ? "" : ",") + std::string(word);
  }
  return words.empty() ? "spooled" : words;
}

std::vector<std::wstring> QueueNames() {
  std::vector<PrinterInfo2> printers;
  std::vector<std::wstring> names;
  if (!spooler().EnumPrintersW(PRINTER_ENUM_LOCAL, L"", &printers)) return names;
  for (const auto& p : printers) names.push_back(p.pPrinterName);
  return names;
}

int SpoolerError(const std::string& what) {
  std::cerr << "tollmachine " << what << ": " << ErrorText(kernel().GetLastError()) << "\n";
  return 1;
}

int Jobs(const std::vector<std::string>& args) {
  std::vector<std::wstring> queues;
  if (args.size() > 1) {
    std::cerr << kUsage;
    return 2;
  }
  if (args.size() == 1) {
    queues.push_back(W(args[0]));
  } else {
    queues = QueueNames();
    if (queues.empty() && kernel().GetLastError() != 0) return SpoolerError("jobs");
  }
  std::cout << "ID\tQUEUE\tUSER\tDOCUMENT\tSTATUS\tSTATUS TEXT\tPAGES\tSIZE\n";
  for (const auto& q : queues) {
    HANDLE h = nullptr;
    if (!spooler().OpenPrinterW(q, &h, nullptr)) return SpoolerError("jobs");
    std::vector<JobInfo2> jobs;
    bool ok = spooler().EnumJobsW(h, 0, 0xFFFFFFFF, &jobs);
    spooler().ClosePrinter(h);
    if (!ok) return SpoolerError("jobs");
    for (const auto& j : jobs) {
      std::cout << j.JobId << "\t" << U(j.pPrinterName) << "\t" << U(j.pUserName) << "\t"
                << U(j.pDocument) << "\t" << StatusWords(j.Status) << "\t" << U(j.pStatus) << "\t"
                << j.TotalPages << "\t" << j.Size << "\n";
    }
  }
  return 0;
}

int JobCommand(const std::string& verb, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::cerr << kUsage;
    return 2;
  }
  char* end = nullptr;
  unsigned long id = std::strtoul(args[0].c_str(), &end, 10);
  if (*end != '\0' || id == 0 || id > 0xFFFFFFFFul) {
    std::cerr << "tollmachine " << verb << ": not a job id: " << args[0] << "\n";
    return 2;
  }
  DWORD command = verb == "pause"    ? JOB_CONTROL_PAUSE
                  : verb == "resume" ? JOB_CONTROL_RESUME
                                     : JOB_CONTROL_CANCEL;
  for (const auto& q : QueueNames()) {
    HANDLE h = nullptr;
    if (!spooler().OpenPrinterW(q, &h, nullptr)) continue;
    if (spooler().GetJobW(h, static_cast<DWORD>(id), nullptr)) {
      bool ok = spooler().SetJobW(h, static_cast<DWORD>(id), 0, nullptr, command);
      DWORD error = kernel().GetLastError();
      spooler().ClosePrinter(h);
      if (!ok) {
        std::cerr << "tollmachine " << verb << ": " << ErrorText(error) << "\n";
        return 1;
      }
      return 0;
    }
    spooler().ClosePrinter(h);
  }
  std::cerr << "tollmachine " << verb << ": no job " << id << "\n";
  return 1;
}

bool IsPlainEmf(const std::string& bytes) {
  // EMR_HEADER first, with the " EMF" signature at offset 40.
  return bytes.size() >= 88 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0 &&
         bytes.compare(40, 4, " EMF") == 0;
}

int Print(platform::sim::Machine& machine, const std::vector<std::string>& args) {
  std::string queue, user, client, title, file;
  std::map<std::string, std::string> options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&](std::string* into) {
      if (i + 1 >= args.size()) return false;
      *into = args[++i];
      return true;
    };
    std::string option;
    if (a == "-P") {
      if (!next(&queue)) return 2;
    } else if (a == "-U") {
      if (!next(&user)) return 2;
    } else if (a == "-H") {
      if (!next(&client)) return 2;
    } else if (a == "-T") {
      if (!next(&title)) return 2;
    } else if (a == "-o") {
      if (!next(&option)) return 2;
      std::size_t eq = option.find('=');
      if (eq == std::string::npos) {
        std::cerr << "tollmachine print: an option is NAME=VALUE: " << option << "\n";
        return 2;
      }
      options[option.substr(0, eq)] = option.substr(eq + 1);
    } else if (file.empty()) {
      file = a;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (queue.empty()) {
    std::cerr << "tollmachine print: no queue (-P QUEUE)\n";
    return 2;
  }
  for (const auto& [name, value] : options) {
    static const char* known[] = {"datatype", "copies", "color",         "duplex", "paper",
                                  "pages",    "notify", "devmode-extra", "rate"};
    bool ok = false;
    for (const char* k : known) ok = ok || name == k;
    if (!ok) {
      std::cerr << "tollmachine print: unknown option " << name << "\n";
      return 2;
    }
  }
  std::string bytes;
  if (file.empty() || file == "-") {
    std::ostringstream all;
    all << std::cin.rdbuf();
    bytes = all.str();
    if (title.empty()) title = "stdin";
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::cerr << "tollmachine print: cannot read " << file << "\n";
      return 2;
    }
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    if (title.empty()) title = std::filesystem::path(file).filename().string();
  }
  auto number = [&](const char* name, long min, long max, long* out) {
    auto it = options.find(name);
    if (it == options.end()) return true;
    char* end = nullptr;
    long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || v < min || v > max) {
      std::cerr << "tollmachine print: bad " << name << ": " << it->second << "\n";
      return false;
    }
    *out = v;
    return true;
  };
  Spooler& sp = spooler();
  HANDLE probe = nullptr;
  if (!sp.OpenPrinterW(W(queue), &probe, nullptr)) return SpoolerError("print");
  PrinterInfo2 info;
  sp.GetPrinterW(probe, &info);
  sp.ClosePrinter(probe);
  DevMode dm = info.pDevMode.value_or(DevMode{});
  long copies = dm.dmCopies, paper = dm.dmPaperSize, pages = 0, rate = 0;
  if (!number("copies", 1, 9999, &copies) || !number("paper", 1, 32767, &paper) ||
      !number("pages", 0, 1000000, &pages) || !number("rate", 1, 1L << 30, &rate)) {
    return 2;
  }
  dm.dmCopies = static_cast<std::int16_t>(copies);
  dm.dmPaperSize = static_cast<std::int16_t>(paper);
  dm.dmFields |= DM_COPIES | DM_PAPERSIZE;
  if (options.count("color")) {
    std::string c = options["color"];
    if (c != "yes" && c != "no") {
      std::cerr << "tollmachine print: color is yes or no\n";
      return 2;
    }
    dm.dmColor = c == "yes" ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
    dm.dmFields |= DM_COLOR;
  }
  if (options.count("duplex")) {
    std::string d = options["duplex"];
    if (d != "none" && d != "long" && d != "short") {
      std::cerr << "tollmachine print: duplex is none, long or short\n";
      return 2;
    }
    dm.dmDuplex = d == "none" ? DMDUP_SIMPLEX : d == "long" ? DMDUP_VERTICAL : DMDUP_HORIZONTAL;
    dm.dmFields |= DM_DUPLEX;
  }
  if (options.count("devmode-extra")) {
    std::string hex = options["devmode-extra"];
    std::vector<std::uint8_t> extra;
    if (hex.size() % 2 != 0 || hex.size() > 2 * 0xFFFF) {
      std::cerr << "tollmachine print: devmode-extra is hex bytes\n";
      return 2;
    }
    for (std::size_t k = 0; k < hex.size(); k += 2) {
      char* end = nullptr;
      std::string pair = hex.substr(k, 2);
      unsigned long v = std::strtoul(pair.c_str(), &end, 16);
      if (*end != '\0') {
        std::cerr << "tollmachine print: devmode-extra is hex bytes\n";
        return 2;
      }
      extra.push_back(static_cast<std::uint8_t>(v));
    }
    dm.driverExtra = extra;
  }
  std::string datatype = options.count("datatype") ? options["datatype"] : "RAW";
  if (Upper(datatype).rfind("NT EMF", 0) == 0 && IsPlainEmf(bytes)) {
    bytes = platform::sim::WrapEmfAsSpoolFile(bytes, dm, W(title));
  }
  machine.SetSubmitter(W(user), W(client), static_cast<DWORD>(pages),
                       options.count("notify") ? W(options["notify"]) : L"");
  PrinterDefaults defaults;
  defaults.pDatatype = W(datatype);
  defaults.pDevMode = dm;
  defaults.DesiredAccess = 0x8;  // PRINTER_ACCESS_USE
  HANDLE h = nullptr;
  if (!sp.OpenPrinterW(W(queue), &h, &defaults)) return SpoolerError("print");
  DWORD id = sp.StartDocPrinterW(h, DocInfo1{W(title), L"", W(datatype)});
  if (id == 0) {
    int rc = SpoolerError("print");
    sp.ClosePrinter(h);
    return rc;
  }
  std::cout << id << std::endl;
  std::size_t chunk = rate > 0 ? std::max<std::size_t>(1, static_cast<std::size_t>(rate) / 10)
                               : std::size_t{1} << 20;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    std::size_t n = std::min(chunk, bytes.size() - at);
    DWORD written = 0;
    if (!sp.WritePrinter(h, bytes.data() + at, static_cast<DWORD>(n), &written)) {
      int rc = SpoolerError("print");
      sp.ClosePrinter(h);
      return rc;
    }
    if (rate > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  bool ok = sp.EndDocPrinter(h);
  DWORD error = kernel().GetLastError();
  sp.ClosePrinter(h);
  if (!ok) {
    std::cerr << "tollmachine print: " << ErrorText(error) << "\n";
    return 1;
  }
  return 0;
}

// Holds a change notification on a queue and prints every job status it receives, one JSON
// object a line; "ready" once the notification is armed.
int Watch(const std::vector<std::string>& args) {
  std::string queue;
  long count = -1, seconds = -1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--count" && i + 1 < args.size()) {
      count = std::strtol(args[++i].c_str(), nullptr, 10);
    } else if (args[i] == "--seconds" && i + 1 < args.size()) {
      seconds = std::strtol(args[++i].c_str(), nullptr, 10);
    } else if (queue.empty()) {
      queue = args[i];
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  Spooler& sp = spooler();
  HANDLE h = nullptr;
  if (!sp.OpenPrinterW(W(queue), &h, nullptr)) return SpoolerError("watch");
  PrinterNotifyOptions options;
  options.pTypes.push_back(PrinterNotifyOptionsType{JOB_NOTIFY_TYPE, {JOB_NOTIFY_FIELD_STATUS}});
  HANDLE change = sp.FindFirstPrinterChangeNotification(h, 0, 0, &options);
  if (change == INVALID_HANDLE_VALUE) return SpoolerError("watch");
  std::cout << "{\"ready\":true}" << std::endl;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  long seen = 0;
  int rc = 0;
  while (count < 0 || seen < count) {
    if (seconds >= 0 && std::chrono::steady_clock::now() >= until) break;
    if (kernel().WaitForSingleObject(change, 200) != WAIT_OBJECT_0) continue;
    DWORD flags = 0;
    PrinterNotifyInfo* info = nullptr;
    if (!sp.FindNextPrinterChangeNotification(change, &flags, &options, &info)) {
      std::cout << "{\"failed\":" << kernel().GetLastError() << "}" << std::endl;
      rc = 1;
      break;
    }
    bool refresh = (options.Flags & PRINTER_NOTIFY_OPTIONS_REFRESH) != 0;
    if ((info->Flags & PRINTER_NOTIFY_INFO_DISCARDED) != 0) {
      std::cout << "{\"discarded\":true}" << std::endl;
      options.Flags = PRINTER_NOTIFY_OPTIONS_REFRESH;
    } else {
      options.Flags = 0;
    }
    for (const auto& d : info->aData) {
      if (d.Type != JOB_NOTIFY_TYPE || d.Field != JOB_NOTIFY_FIELD_STATUS) continue;
      std::cout << "{\"job\":" << d.Id << ",\"status\":" << d.adwData[0] << ",\"words\":\""
                << StatusWords(d.adwData[0]) << "\"" << (refresh ? ",\"refresh\":true" : "") << "}"
                << std::endl;
      ++seen;
    }
    sp.FreePrinterNotifyInfo(info);
  }
  sp.FindClosePrinterChangeNotification(change);
  sp.ClosePrinter(h);
  return rc;
}

std::filesystem::path SelfPath() {
  return std::filesystem::path(U(processes().GetModuleFileNameW()));
}

// --- the endpoint mapper --------------------------------------------------------------

// The machine's endpoint mapper, which its system process hosts as Windows's RPC service
// does. It listens on TCP 135; when that port is taken (another machine of the host has it)
// or not allowed, on the port the registry value names when it is free, else on a dynamic
// one. The port it has is written to the registry value, where the machine's programs find
// it.
class EndpointMapperHost {
 public:
  void Boot(platform::sim::Machine& machine) {
    // The process's platform is its own machine from here on: the mapper's sockets and the
    // registry value are the machine's.
    previous_ = platform::Install(
        std::shared_ptr<platform::Platform>(&machine, [](platform::Platform*) {}));
    server_ = std::make_unique<rpc::Server>();
    server_->SetMaxMessage(kMaxRequest);
    const std::wstring tcp = L"ncacn_ip_tcp";
    rpc::RPC_STATUS status = server_->UseProtseqEp(
        tcp, rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT, std::to_wstring(rpc::kEndpointMapperDefaultPort));
    if (status != rpc::RPC_S_OK) {
      auto configured = rpc::RegisteredEndpointMapperPort();
      if (configured && *configured != rpc::kEndpointMapperDefaultPort)
        status = server_->UseProtseqEp(tcp, rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                       std::to_wstring(*configured));
    }
    if (status != rpc::RPC_S_OK)
      status = server_->UseProtseq(tcp, rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT);
    if (status == rpc::RPC_S_OK) {
      status = server_->RegisterIf(
          rpc::EndpointMapperInterface(std::make_shared<rpc::EndpointMap>()),
          rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
    }
    if (status == rpc::RPC_S_OK)
      status = server_->Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
    if (status != rpc::RPC_S_OK) {
      std::fprintf(stderr, "tollmachine: the endpoint mapper did not start: RPC status %d\n",
                   static_cast<int>(status));
      server_.reset();
      return;
    }
    std::uint16_t port = server_->Ports().at(0);
    LONG rc = WritePort(port);
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr,
                   "tollmachine: the endpoint mapper's port could not be written to the "
                   "registry: error %ld\n",
                   static_cast<long>(rc));
    }
    std::fprintf(stderr, "tollmachine: endpoint mapper on TCP port %u\n",
                 static_cast<unsigned>(port));
  }

  void Shutdown() {
    if (server_) {
      server_->StopListening();
      server_->WaitListen();
      server_.reset();
      std::fprintf(stderr, "tollmachine: endpoint mapper stopped\n");
    }
    platform::Install(std::move(previous_));
  }

 private:
  // Mapper requests are small: a few entries with towers of some dozens of bytes.
  static constexpr std::size_t kMaxRequest = 1u << 20;

  static LONG WritePort(std::uint16_t port) {
    HKEY key = nullptr;
    LONG rc = registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, rpc::kEndpointMapperKey, KEY_SET_VALUE,
                                         &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD value = port;
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8), 0, 0};
    rc = registry().RegSetValueExW(key, rpc::kEndpointMapperPortValue, REG_DWORD, bytes,
                                   sizeof(bytes));
    registry().RegCloseKey(key);
    return rc;
  }

  std::shared_ptr<platform::Platform> previous_;
  std::unique_ptr<rpc::Server> server_;
};

int Serve(const std::filesystem::path& machineFolder) {
  EndpointMapperHost mapper;
  platform::sim::SystemHooks hooks;
  hooks.boot = [&mapper](platform::sim::Machine& machine) { mapper.Boot(machine); };
  hooks.shutdown = [&mapper] { mapper.Shutdown(); };
  return platform::sim::RunMachineProcess(machineFolder, hooks);
}

}  // namespace

int TollmachineMain(const std::string& program, const std::vector<std::string>& argsIn) {
  std::vector<std::string> args = argsIn;
  std::string folder;
  if (args.size() >= 2 && args[0] == "--machine") {
    folder = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (folder.empty()) {
    const char* env = std::getenv("TOLLGATE_MACHINE");
    folder = env != nullptr && *env != '\0' ? env : "tollgate-machine";
  }
  if (args.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  std::string command = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  std::filesystem::path machineFolder = std::filesystem::absolute(folder);
  (void)program;

  if (command == "serve") return Serve(machineFolder);
  if (command == "start") {
    auto own = std::make_shared<platform::sim::Machine>(machineFolder,
                                                        platform::sim::Machine::Hosting::Own);
    auto previous = platform::Install(own);
    std::string self = SelfPath().string();
    platform::Install(previous);
    return platform::sim::StartMachineProcess(machineFolder, self);
  }
  if (command == "stop") {
    if (!platform::sim::MachineProcessRunning(machineFolder)) {
      std::cout << "the machine is not running\n";
      return 0;
    }
    if (!platform::sim::StopMachineProcess(machineFolder, 30000)) {
      std::cerr << "tollmachine stop: the machine did not stop\n";
      return 1;
    }
    std::cout << "the machine stopped\n";
    return 0;
  }
  if (command == "status") {
    bool up = platform::sim::MachineProcessRunning(machineFolder);
    std::cout << (up ? "running" : "not running") << "\n";
    return up ? 0 : 3;
  }

  auto machine = std::make_shared<platform::sim::Machine>(machineFolder,
                                                          platform::sim::Machine::Hosting::Reach);
  platform::Install(machine);
  bool needsMachine = command == "sc" || command == "print" || command == "jobs" ||
                      command == "pause" || command == "resume" || command == "cancel" ||
                      command == "crash" || command == "watch" || command == "install";
  if (needsMachine && !machine->Reached()) {
    std::cerr << "tollmachine " << command << ": the machine is not running (tollmachine start)\n";
    return 1;
  }
  if (command == "sc") return Sc(rest);
  if (command == "reg") return Reg(*machine, rest);
  if (command == "events") return Events(rest);
  if (command == "print") return Print(*machine, rest);
  if (command == "jobs") return Jobs(rest);
  if (command == "watch") return Watch(rest);
  if (command == "install") return Install(rest);
  if (command == "pause" || command == "resume" || command == "cancel") {
    return JobCommand(command, rest);
  }
  if (command == "crash") {
    if (rest.size() != 1) {
      std::cerr << kUsage;
      return 2;
    }
    if (!machine->CrashService(W(rest[0]))) {
      std::cerr << "tollmachine crash: " << ErrorText(kernel().GetLastError()) << "\n";
      return 1;
    }
    return 0;
  }
  std::cerr << kUsage;
  return 2;
}

}  // namespace tollgate::tollmachine
