#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <thread>

#include "platform/sim/areas.h"

extern char** environ;

namespace platform::sim {
namespace {

class ProcessObject : public EndingObject {
 public:
  pid_t pid = 0;
  bool terminated = false;
  DWORD terminateCode = 0;
};

bool EndsWithExe(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".exe";
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
  std::vector<std::wstring> args;
  std::size_t i = 0;
  const std::size_t n = line.size();
  // The program name: up to the next blank, or inside quotes; no escapes.
  while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
  if (i >= n) return args;
  std::wstring program;
  bool quoted = false;
  for (; i < n; ++i) {
    wchar_t c = line[i];
    if (c == L'"') {
      quoted = !quoted;
    } else if (!quoted && (c == L' ' || c == L'\t')) {
      break;
    } else {
      program += c;
    }
  }
  args.push_back(program);
  // The other arguments: backslashes escape only before a quote; "" inside quotes is a quote.
  for (;;) {
    while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= n) break;
    std::wstring arg;
    quoted = false;
    while (i < n) {
      wchar_t c = line[i];
      if (!quoted && (c == L' ' || c == L'\t')) break;
      if (c == L'\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == L'\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == L'"') {
          arg.append(slashes / 2, L'\\');
          if (slashes % 2 == 1) {
            arg += L'"';
            ++i;
          }
        } else {
          arg.append(slashes, L'\\');
        }
        continue;
      }
      if (c == L'"') {
        if (quoted && i + 1 < n && line[i + 1] == L'"') {
          arg += L'"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

bool SimProcesses::CreateProcessW(const std::wstring& applicationName,
                                  const std::wstring& commandLine,
                                  const std::wstring& currentDirectory, const StartupInfo& startup,
                                  ProcessInformation* info) {
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  std::vector<std::wstring> words = SplitCommandLine(commandLine);
  std::wstring programName =
      applicationName.empty() ? (words.empty() ? L"" : words[0]) : applicationName;
  if (programName.empty()) return Fail(ERROR_FILE_NOT_FOUND, false);
  std::string program = Machine::HostPath(programName);
  // A Windows program name "x.exe" runs the host program "x" when only that exists.
  if (!IsFile(program) && EndsWithExe(program) && IsFile(program.substr(0, program.size() - 4))) {
    program.resize(program.size() - 4);
  }
  if (!IsFile(program)) return Fail(ERROR_FILE_NOT_FOUND, false);

  std::vector<std::string> argStrings;
  argStrings.push_back(program);
  for (std::size_t k = 1; k < words.size(); ++k) argStrings.push_back(Utf8FromWide(words[k]));
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  HANDLE stdHandles[3] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
  std::vector<std::shared_ptr<FileObject>> keep;
  for (int target = 0; target < 3; ++target) {
    if (stdHandles[target] == nullptr) continue;
    auto f = handles_.FindAs<FileObject>(stdHandles[target]);
    if (!f) {
      posix_spawn_file_actions_destroy(&actions);
      return Fail(ERROR_INVALID_HANDLE, false);
    }
    posix_spawn_file_actions_adddup2(&actions, f->Fd(), target);
    keep.push_back(f);
  }
  std::string directory = currentDirectory.empty() ? "" : Machine::HostPath(currentDirectory);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());

  auto object = std::make_shared<ProcessObject>();
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return Fail(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(rc), false);
  object->pid = pid;

  HandleTable& table = handles_;
  std::thread([object, &table]() {
    int status = 0;
    while (::waitpid(object->pid, &status, 0) < 0 && errno == EINTR) {
    }
    DWORD code = 1;
    if (WIFEXITED(status)) {
      code = static_cast<DWORD>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      int sig = WTERMSIG(status);
      code = sig == SIGSEGV ? 0xC0000005u : sig == SIGABRT ? 3u : 0xC000013Au;
    }
    table.Signal([&] { object->End(object->terminated ? object->terminateCode : code); });
  }).detach();

  info->hProcess = handles_.Add(object);
  info->hThread = handles_.Add(std::make_shared<EndingObject>());
  info->dwProcessId = static_cast<DWORD>(pid);
  info->dwThreadId = 0;
  return true;
}

bool SimProcesses::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  auto p = handles_.FindAs<ProcessObject>(process);
  if (!p || exitCode == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  std::lock_guard<std::mutex> guard(handles_.WaitLock());
  *exitCode = p->ExitCode();
  return true;
}

bool SimProcesses::TerminateProcess(HANDLE process, DWORD exitCode) {
  auto p = handles_.FindAs<ProcessObject>(process);
  if (!p) return Fail(ERROR_INVALID_HANDLE, false);
  {
    std::lock_guard<std::mutex> guard(handles_.WaitLock());
    if (p->Ended()) return Fail(ERROR_ACCESS_DENIED, false);
    p->terminated = true;
    p->terminateCode = exitCode;
  }
  ::kill(p->pid, SIGKILL);
  return true;
}

std::wstring SimProcesses::GetModuleFileNameW() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return L"";
  return WideFromUtf8(std::string_view(buffer, static_cast<std::size_t>(n)));
}

}  // namespace platform::sim
