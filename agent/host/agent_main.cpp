#include "agent/host/agent_main.h"

#include <algorithm>
#include <memory>

#include "agent/config/server_settings.h"
#include "agent/config/settings.h"
#include "agent/host/application.h"
#include "agent/host/command_line.h"
#include "agent/host/data_folder.h"
#include "platform/platform.h"
#include "shared/application/service_host.h"
#include "shared/application/version.h"
#include "shared/error/curl_runtime.h"
#include "shared/error/file_log.h"

namespace tollgate {
namespace {

constexpr long kLogSize = 1000000;
constexpr std::uint32_t kWaitHintMs = 10000;
// The Schannel TLS back end is selected where the process has it.
#ifdef _WIN32
constexpr bool kSelectSchannel = true;
#else
constexpr bool kSelectSchannel = false;
#endif

// The service run's view of the application; it owns the application.
class AgentService : public ServiceApplication {
 public:
  explicit AgentService(std::unique_ptr<Application> application)
      : application_(std::move(application)) {}
  bool Start() override { return application_->Start(); }
  void Stop() override {
    application_.reset();
    // The process-wide spool archive is dropped here, right after the application.
  }

 private:
  std::unique_ptr<Application> application_;
};

}  // namespace

int AgentMain(const std::vector<std::wstring>& argv) {
  if (argv.size() == 2 && argv[1] == L"-v") {
    platform::console().WriteOut(kVersion);
    return 0;
  }

  std::wstring dataFolder;
  if (ErrorResultPtr error = GetDataFolder(&dataFolder)) {
    platform::console().WriteOutWide(L"Error making data folder: " + error->Text());
    return 1;
  }
  InstallFileLog(std::make_unique<FileLog>(dataFolder + L"/events.log", kLogSize));

  CommandLine commandLine = ParseCommandLine(argv);
  if (commandLine.server.empty()) {
    Log(L"Usage: tollagent /server {host}");
    return 1;
  }
  ServerSettings::Process().SetHost(commandLine.server);
  ServerSettings::Process().SetPort(commandLine.port);

  CurlRuntime curl;
  if (ErrorResultPtr error = curl.Init(kSelectSchannel)) {
    Log(L"Error initializing CURL: " + error->Text());
    return 1;
  }

  // The process-wide spool archive, with its own server connection, is built on the data
  // folder here.
  config::AgentSettings settings = config::ReadAgentSettings();
  auto owner = std::make_shared<Application*>(nullptr);
  auto idChange = [owner](std::int32_t localId, std::int64_t serverId) {
    if (*owner != nullptr) (*owner)->ReplaceStoreId(localId, serverId);
  };
  auto queue = std::make_unique<remote::ServerRequestQueue>(remote::ProcessGatewayFactory(), 0, 30);
  unsigned failureWait =
      static_cast<unsigned>(std::max<std::int32_t>(settings.onRemoteFailureWaitMinutes, 0)) * 60;
  auto store =
      std::make_unique<store::StoreJobsCache>(std::move(queue), dataFolder, failureWait, idChange);
  ApplicationOptions options;
  options.endpoint = EndpointFromEnvironment();
  options.endpointAttempts = 60;
  options.accountLocalPort = settings.accountLocalPort;
  options.observerStepMs = ObserverStepFromEnvironment();
  options.dataFolder = dataFolder;
  auto application = std::make_unique<Application>(options, std::move(store));
  *owner = application.get();

  Log(L"Starting...");

  if (commandLine.serviceRun) {
    AgentService service(std::move(application));
    RunService(service, kWaitHintMs, kWaitHintMs);  // a dispatcher failure is dropped
    return 0;
  }

  application->Start();
  platform::console().WriteOut("Press any char to close...");
  platform::console().ReadChar();
  application.reset();
  return 0;
}

}  // namespace tollgate
