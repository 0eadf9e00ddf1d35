// A test platform for the agent's data files: the machine's own, except that its record files
// ("...2_7_2.log" and their side files) and its decision journal ("decisions.log" and the
// file it is rewritten through) can take only so many more bytes; a write beyond
// that stops where the room ends and fails with ERROR_DISK_FULL, as a full disk does.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"

namespace tollgate::store {

class FullDisk : public platform::Platform, public platform::Files {
 public:
  explicit FullDisk(std::shared_ptr<platform::Platform> inner) : inner_(std::move(inner)) {}
  void SetRoom(std::int64_t bytes) { room_.store(bytes); }
  void Unlimited() { room_.store(std::numeric_limits<std::int64_t>::max() / 2); }

  platform::Kernel& kernel() override { return inner_->kernel(); }
  platform::System& system() override { return inner_->system(); }
  platform::Files& files() override { return *this; }
  platform::Console& console() override { return inner_->console(); }
  platform::Processes& processes() override { return inner_->processes(); }
  platform::Services& services() override { return inner_->services(); }
  platform::Registry& registry() override { return inner_->registry(); }
  platform::Sockets& sockets() override { return inner_->sockets(); }
  platform::EventLog& eventLog() override { return inner_->eventLog(); }
  platform::Spooler& spooler() override { return inner_->spooler(); }
  platform::GdiSpool& gdiSpool() override { return inner_->gdiSpool(); }

  bool CreateDirectoryW(const std::wstring& p) override { return in().CreateDirectoryW(p); }
  bool RemoveDirectoryW(const std::wstring& p) override { return in().RemoveDirectoryW(p); }
  bool DeleteFileW(const std::wstring& p) override { return in().DeleteFileW(p); }
  bool MoveFileW(const std::wstring& a, const std::wstring& b) override {
    return in().MoveFileW(a, b);
  }
  bool MoveFileExW(const std::wstring& a, const std::wstring& b, platform::DWORD f) override {
    return in().MoveFileExW(a, b, f);
  }
  platform::DWORD GetFileAttributesW(const std::wstring& p) override {
    return in().GetFileAttributesW(p);
  }
  platform::HANDLE CreateFileW(const std::wstring& path, platform::DWORD access,
                               platform::DWORD share, platform::DWORD disposition,
                               platform::DWORD flags) override {
    platform::HANDLE h = in().CreateFileW(path, access, share, disposition, flags);
    if (h == platform::INVALID_HANDLE_VALUE) return h;
    std::lock_guard<std::mutex> hold(lock_);
    // Handles are given again once closed (Windows does so at once): a handle is a data
    // file's only while it was last opened for one.
    if (path.find(L"2_7_2.log") != std::wstring::npos ||
        path.find(L"decisions.log") != std::wstring::npos)
      records_.insert(h);
    else
      records_.erase(h);
    return h;
  }
  bool ReadFile(platform::HANDLE f, void* b, platform::DWORD n, platform::DWORD* r) override {
    return in().ReadFile(f, b, n, r);
  }
  // Writing over bytes the file has takes no room; only what the file grows by does.
  bool WriteFile(platform::HANDLE f, const void* data, platform::DWORD size,
                 platform::DWORD* written) override {
    bool record = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      record = records_.count(f) != 0;
    }
    if (!record) return in().WriteFile(f, data, size, written);
    std::int64_t at = 0, length = 0;
    in().SetFilePointerEx(f, 0, &at, platform::FILE_CURRENT);
    in().GetFileSizeEx(f, &length);
    const std::int64_t inside = std::clamp<std::int64_t>(length - at, 0, size);
    const std::int64_t growth = size - inside;
    if (room_.load() >= growth) {
      room_ -= growth;
      return in().WriteFile(f, data, size, written);
    }
    auto part = static_cast<platform::DWORD>(inside + std::max<std::int64_t>(room_.load(), 0));
    room_.store(0);
    platform::DWORD done = 0;
    if (part > 0) in().WriteFile(f, data, part, &done);
    if (written != nullptr) *written = done;
    kernel().SetLastError(112);  // ERROR_DISK_FULL
    return false;
  }
  bool FlushFileBuffers(platform::HANDLE f) override { return in().FlushFileBuffers(f); }
  bool SetFilePointerEx(platform::HANDLE f, std::int64_t d, std::int64_t* p,
                        platform::DWORD m) override {
    return in().SetFilePointerEx(f, d, p, m);
  }
  bool GetFileSizeEx(platform::HANDLE f, std::int64_t* s) override {
    return in().GetFileSizeEx(f, s);
  }
  bool CreatePipe(platform::HANDLE* r, platform::HANDLE* w) override {
    return in().CreatePipe(r, w);
  }
  platform::HANDLE GetStdHandle(platform::DWORD h) override { return in().GetStdHandle(h); }
  bool GetTempPathW(std::wstring* p) override { return in().GetTempPathW(p); }

 private:
  platform::Files& in() { return inner_->files(); }
  std::shared_ptr<platform::Platform> inner_;
  std::atomic<std::int64_t> room_{std::numeric_limits<std::int64_t>::max() / 2};
  std::mutex lock_;
  std::set<platform::HANDLE> records_;
};

// Installs a FullDisk over the installed platform for its lifetime.
class FullDiskInstalled {
 public:
  FullDiskInstalled() : machine_(platform::Install(nullptr)) {
    disk_ = std::make_shared<FullDisk>(machine_);
    platform::Install(disk_);
  }
  ~FullDiskInstalled() { platform::Install(machine_); }
  FullDisk& operator*() { return *disk_; }
  FullDisk* operator->() { return disk_.get(); }

 private:
  std::shared_ptr<platform::Platform> machine_;
  std::shared_ptr<FullDisk> disk_;
};

}  // namespace tollgate::store
