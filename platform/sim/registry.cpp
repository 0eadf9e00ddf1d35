#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/sim/areas.h"

namespace platform::sim {
namespace {

bool Allows(DWORD granted, DWORD needed) {
  return (granted & needed & 0xFFFF) == (needed & 0xFFFF);
}

// Writes the file beside its final place and renames it over, so that the file is always
// either the old one or the new one, whenever the process may die.
bool WriteAtomically(const std::filesystem::path& file, const std::string& bytes) {
  std::string temp = file.string() + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  bool ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  return ok && ::rename(temp.c_str(), file.c_str()) == 0;
}

// Serialises the writers of one registry file across processes (programs that host the
// machine in-process): each change is read, made and written under it, so that no process
// writes over another's change.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::string lock = file.string() + ".lock";
    fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

SimRegistry::Stamp SimRegistry::Current() const {
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) return Stamp{};
  return Stamp{static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
               static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_ino)};
}

void SimRegistry::RefreshLocked() {
  Stamp now = Current();
  if (now == stamp_ || now.size < 0) return;
  std::ifstream in(file_, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  stamp_ = now;
  if (auto error = ParseRegFile(bytes.str(), *root_)) {
    // Never overwrite what someone wrote: the file is kept aside and named.
    std::string aside = file_.string() + ".rejected";
    ::rename(file_.c_str(), aside.c_str());
    std::fprintf(stderr, "registry: %s was changed but does not load (%s); kept as %s\n",
                 file_.string().c_str(), error->c_str(), aside.c_str());
    SaveLocked();
  }
}

std::optional<std::string> SimRegistry::Import(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  FileLock writers(file_);
  if (!LoadLocked()) return loadError_;
  RefreshLocked();
  if (auto error = ParseRegFile(bytes, *root_)) return error;
  if (SaveLocked() != ERROR_SUCCESS) return std::string("the registry file cannot be written");
  return std::nullopt;
}

std::string SimRegistry::Export() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!LoadLocked()) return "";
  RefreshLocked();
  return FormatRegFile(*root_);
}

std::string SimRegistry::LoadError() {
  std::lock_guard<std::mutex> guard(lock_);
  LoadLocked();
  return loadError_;
}

bool SimRegistry::LoadLocked() {
  if (loaded_) return loadError_.empty();
  loaded_ = true;
  root_->name = L"HKEY_LOCAL_MACHINE";
  std::ifstream in(file_, std::ios::binary);
  if (!in) return true;  // no file yet: an empty registry
  std::ostringstream bytes;
  bytes << in.rdbuf();
  stamp_ = Current();
  if (auto error = ParseRegFile(bytes.str(), *root_)) {
    loadError_ = file_.string() + " " + *error;
    std::fprintf(stderr, "registry not loaded: %s\n", loadError_.c_str());
    return false;
  }
  return true;
}

LONG SimRegistry::ResolveLocked(HKEY handle, std::shared_ptr<RegKey>* key, DWORD* access,
                                std::size_t* depth) {
  if (!LoadLocked()) return ERROR_BADDB;
  RefreshLocked();
  if (handle == HKEY_LOCAL_MACHINE) {
    *key = root_;
    *access = KEY_ALL_ACCESS;
    if (depth != nullptr) *depth = 0;
    return ERROR_SUCCESS;
  }
  auto it = open_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == open_.end()) return ERROR_INVALID_HANDLE;
  if (it->second.key->deleted) return ERROR_KEY_DELETED;
  *key = it->second.key;
  *access = it->second.access;
  if (depth != nullptr) *depth = it->second.depth;
  return ERROR_SUCCESS;
}

LONG SimRegistry::SaveLocked() {
  // An edit made since this call began is taken in first, not written over.
  if (Current() != stamp_) RefreshLocked();
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  if (!WriteAtomically(file_, FormatRegFile(*root_))) return 1013;  // ERROR_CANTWRITE
  stamp_ = Current();
  return ERROR_SUCCESS;
}

LONG SimRegistry::RegOpenKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired,
                                HKEY* result) {
  std::lock_guard<std::mutex> guard(lock_);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  std::size_t depth = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, &depth)) return rc;
  std::vector<std::wstring> levels = SplitKeyPath(subKey);
  if (auto bad = CheckKeyPath(levels, depth)) return static_cast<LONG>(*bad);
  for (const std::wstring& level : levels) {
    at = at->FindSubkey(level);
    if (!at) return ERROR_FILE_NOT_FOUND;
  }
  std::uintptr_t h = next_;
  next_ += 4;
  open_[h] = OpenKey{at, samDesired, depth + levels.size()};
  *result = reinterpret_cast<HKEY>(h);
  return ERROR_SUCCESS;
}

LONG SimRegistry::RegCreateKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired,
                                  HKEY* result, DWORD* disposition) {
  std::lock_guard<std::mutex> guard(lock_);
  FileLock writers(file_);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  std::size_t depth = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, &depth)) return rc;
  bool created = false;
  std::vector<std::wstring> levels = SplitKeyPath(subKey);
  if (auto bad = CheckKeyPath(levels, depth)) return static_cast<LONG>(*bad);
  for (const std::wstring& level : levels) {
    std::shared_ptr<RegKey> next = at->FindSubkey(level);
    if (!next) {
      if (!Allows(access, KEY_CREATE_SUB_KEY) && !created) return ERROR_ACCESS_DENIED;
      next = at->Subkey(level);
      created = true;
    }
    at = next;
  }
  if (created) {
    if (LONG rc = SaveLocked()) return rc;
  }
  std::uintptr_t h = next_;
  next_ += 4;
  open_[h] = OpenKey{at, samDesired, depth + levels.size()};
  *result = reinterpret_cast<HKEY>(h);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG SimRegistry::RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return open_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1 ? ERROR_SUCCESS
                                                                 : ERROR_INVALID_HANDLE;
}

LONG SimRegistry::RegQueryValueExW(HKEY key, const std::wstring& valueName, DWORD* type,
                                   std::uint8_t* data, DWORD* dataSize) {
  std::lock_guard<std::mutex> guard(lock_);
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, nullptr)) return rc;
  if (!Allows(access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  RegValue* value = at->FindValue(valueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  DWORD size = static_cast<DWORD>(value->data.size());
  if (dataSize == nullptr) return ERROR_SUCCESS;
  if (data == nullptr) {
    *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  std::copy(value->data.begin(), value->data.end(), data);
  *dataSize = size;
  return ERROR_SUCCESS;
}

LONG SimRegistry::RegSetValueExW(HKEY key, const std::wstring& valueName, DWORD type,
                                 const std::uint8_t* data, DWORD dataSize) {
  std::lock_guard<std::mutex> guard(lock_);
  FileLock writers(file_);
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, nullptr)) return rc;
  if (!Allows(access, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  if (valueName.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  std::vector<std::uint8_t> bytes(data, data + dataSize);
  if (RegValue* existing = at->FindValue(valueName)) {
    existing->type = type;
    existing->data = std::move(bytes);
  } else {
    at->values.push_back(RegValue{valueName, type, std::move(bytes)});
  }
  return SaveLocked();
}

LONG SimRegistry::RegDeleteValueW(HKEY key, const std::wstring& valueName) {
  std::lock_guard<std::mutex> guard(lock_);
  FileLock writers(file_);
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, nullptr)) return rc;
  if (!Allows(access, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  RegValue* value = at->FindValue(valueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  at->values.erase(at->values.begin() + (value - at->values.data()));
  return SaveLocked();
}

LONG SimRegistry::RegDeleteKeyW(HKEY key, const std::wstring& subKey) {
  std::lock_guard<std::mutex> guard(lock_);
  FileLock writers(file_);
  std::shared_ptr<RegKey> parent;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &parent, &access, nullptr)) return rc;
  std::vector<std::wstring> levels = SplitKeyPath(subKey);
  if (levels.empty()) return ERROR_INVALID_PARAMETER;
  for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
    parent = parent->FindSubkey(levels[k]);
    if (!parent) return ERROR_FILE_NOT_FOUND;
  }
  std::shared_ptr<RegKey> victim = parent->FindSubkey(levels.back());
  if (!victim) return ERROR_FILE_NOT_FOUND;
  if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
  victim->deleted = true;
  parent->subkeys.erase(UpperName(levels.back()));
  return SaveLocked();
}

LONG SimRegistry::RegEnumKeyExW(HKEY key, DWORD index, std::wstring* name) {
  std::lock_guard<std::mutex> guard(lock_);
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, nullptr)) return rc;
  if (!Allows(access, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (index >= at->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = at->subkeys.begin();
  std::advance(it, index);
  if (name != nullptr) *name = it->second->name;
  return ERROR_SUCCESS;
}

LONG SimRegistry::RegEnumValueW(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                                std::vector<std::uint8_t>* data) {
  std::lock_guard<std::mutex> guard(lock_);
  std::shared_ptr<RegKey> at;
  DWORD access = 0;
  if (LONG rc = ResolveLocked(key, &at, &access, nullptr)) return rc;
  if (!Allows(access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (index >= at->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue& v = at->values[index];
  if (name != nullptr) *name = v.name;
  if (type != nullptr) *type = v.type;
  if (data != nullptr) *data = v.data;
  return ERROR_SUCCESS;
}

}  // namespace platform::sim
