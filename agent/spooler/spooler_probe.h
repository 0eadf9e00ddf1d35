// Tests' view of the spooler: the machine's own spooler, with its calls counted and one
// operation made to fail with a chosen error, installed as the process's platform.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace tollgate::spooler::testing {

class ProbeSpooler : public platform::Spooler {
 public:
  explicit ProbeSpooler(platform::Spooler& inner) : inner_(inner) {}

  std::map<std::string, int> calls;
  std::string failing;           // the operation that fails ("" none)
  platform::DWORD failCode = 0;  // its last error (or return code)
  int paperNames = -1;           // DC_PAPERNAMES answers only this many names (-1 all)
  bool starting = false;         // the spooler still starting: its first queue has no name
  // Watches that fail to begin (with `failCode`) before the next ones begin, and how many did.
  std::atomic<int> findFirstFailures{0};
  std::atomic<int> findFirstFailed{0};

  bool EnumPrintersW(platform::DWORD flags, const std::wstring& name,
                     std::vector<platform::PrinterInfo2>* printers) override {
    if (Fails("EnumPrintersW")) return false;
    bool ok = inner_.EnumPrintersW(flags, name, printers);
    if (ok && starting && !printers->empty()) printers->front().pPrinterName.clear();
    return ok;
  }
  bool EnumPortsW(const std::wstring& server, std::vector<platform::PortInfo2>* ports) override {
    if (Fails("EnumPortsW")) return false;
    return inner_.EnumPortsW(server, ports);
  }
  bool OpenPrinterW(const std::wstring& name, platform::HANDLE* printer,
                    const platform::PrinterDefaults* defaults) override {
    if (Fails("OpenPrinterW")) return false;
    return inner_.OpenPrinterW(name, printer, defaults);
  }
  bool ClosePrinter(platform::HANDLE printer) override { return inner_.ClosePrinter(printer); }
  bool GetPrinterW(platform::HANDLE printer, platform::PrinterInfo2* info) override {
    if (Fails("GetPrinterW")) return false;
    return inner_.GetPrinterW(printer, info);
  }
  platform::DWORD GetPrinterDataW(platform::HANDLE printer, const std::wstring& valueName,
                                  platform::DWORD* type, std::vector<std::uint8_t>* data) override {
    if (Fails("GetPrinterDataW")) return failCode;
    return inner_.GetPrinterDataW(printer, valueName, type, data);
  }
  platform::DWORD SetPrinterDataExW(platform::HANDLE printer, const std::wstring& keyName,
                                    const std::wstring& valueName, platform::DWORD type,
                                    const std::vector<std::uint8_t>& data) override {
    ++calls["SetPrinterDataExW"];
    return inner_.SetPrinterDataExW(printer, keyName, valueName, type, data);
  }
  bool EnumJobsW(platform::HANDLE printer, platform::DWORD firstJob, platform::DWORD noJobs,
                 std::vector<platform::JobInfo2>* jobs) override {
    if (Fails("EnumJobsW")) return false;
    return inner_.EnumJobsW(printer, firstJob, noJobs, jobs);
  }
  bool GetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::JobInfo2* job) override {
    if (Fails("GetJobW")) return false;
    return inner_.GetJobW(printer, jobId, job);
  }
  bool SetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::DWORD level,
               const platform::JobInfo2* info, platform::DWORD command) override {
    if (Fails("SetJobW")) return false;
    return inner_.SetJobW(printer, jobId, level, info, command);
  }
  int DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                          std::uint16_t capability, std::vector<std::uint16_t>* papers,
                          std::vector<std::wstring>* names) override {
    if (Fails("DeviceCapabilitiesW")) return -1;
    int n = inner_.DeviceCapabilitiesW(device, port, capability, papers, names);
    if (capability == platform::DC_PAPERNAMES && paperNames >= 0 && n > paperNames) {
      n = paperNames;
      if (names != nullptr) names->resize(static_cast<std::size_t>(n));
    }
    return n;
  }
  platform::HANDLE FindFirstPrinterChangeNotification(
      platform::HANDLE printer, platform::DWORD filter, platform::DWORD options,
      const platform::PrinterNotifyOptions* notifyOptions) override {
    if (findFirstFailures > 0) {
      --findFirstFailures;
      ++findFirstFailed;
      platform::kernel().SetLastError(failCode);
      return platform::INVALID_HANDLE_VALUE;
    }
    return inner_.FindFirstPrinterChangeNotification(printer, filter, options, notifyOptions);
  }
  bool FindNextPrinterChangeNotification(platform::HANDLE change, platform::DWORD* flags,
                                         const platform::PrinterNotifyOptions* options,
                                         platform::PrinterNotifyInfo** info) override {
    return inner_.FindNextPrinterChangeNotification(change, flags, options, info);
  }
  bool FreePrinterNotifyInfo(platform::PrinterNotifyInfo* info) override {
    return inner_.FreePrinterNotifyInfo(info);
  }
  bool FindClosePrinterChangeNotification(platform::HANDLE change) override {
    return inner_.FindClosePrinterChangeNotification(change);
  }
  platform::DWORD StartDocPrinterW(platform::HANDLE printer,
                                   const platform::DocInfo1& doc) override {
    return inner_.StartDocPrinterW(printer, doc);
  }
  bool WritePrinter(platform::HANDLE printer, const void* data, platform::DWORD size,
                    platform::DWORD* written) override {
    return inner_.WritePrinter(printer, data, size, written);
  }
  bool EndDocPrinter(platform::HANDLE printer) override { return inner_.EndDocPrinter(printer); }

 private:
  bool Fails(const std::string& op) {
    ++calls[op];
    if (op != failing) return false;
    platform::kernel().SetLastError(failCode);
    return true;
  }
  platform::Spooler& inner_;
};

// The installed platform with the probe in front of its spooler.
class ProbePlatform : public platform::Platform {
 public:
  explicit ProbePlatform(std::shared_ptr<platform::Platform> inner)
      : inner_(std::move(inner)), probe_(inner_->spooler()) {}
  ProbeSpooler& probe() { return probe_; }

  platform::Kernel& kernel() override { return inner_->kernel(); }
  platform::System& system() override { return inner_->system(); }
  platform::Files& files() override { return inner_->files(); }
  platform::Console& console() override { return inner_->console(); }
  platform::Processes& processes() override { return inner_->processes(); }
  platform::Services& services() override { return inner_->services(); }
  platform::Registry& registry() override { return inner_->registry(); }
  platform::Sockets& sockets() override { return inner_->sockets(); }
  platform::EventLog& eventLog() override { return inner_->eventLog(); }
  platform::Spooler& spooler() override { return probe_; }
  platform::GdiSpool& gdiSpool() override { return inner_->gdiSpool(); }

 private:
  std::shared_ptr<platform::Platform> inner_;
  ProbeSpooler probe_;
};

}  // namespace tollgate::spooler::testing
