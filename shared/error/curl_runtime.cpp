#include "shared/error/curl_runtime.h"

#include <curl/curl.h>

#include <string>

namespace tollgate {

CurlRuntime::~CurlRuntime() {
  if (initialized_) curl_global_cleanup();
}

ErrorResultPtr CurlRuntime::Init(bool selectSchannel) {
  if (selectSchannel) {
    CURLsslset set = curl_global_sslset(CURLSSLBACKEND_SCHANNEL, nullptr, nullptr);
    if (set != CURLSSLSET_OK) {
      return MakeError(L"CURL error " + std::to_wstring(static_cast<int>(set)) +
                       L" while selecting schannel as SSL backend");
    }
  }
  CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
  if (code != CURLE_OK) {
    return MakeError(L"CURL error " + std::to_wstring(static_cast<int>(code)) +
                     L" while initializing");
  }
  initialized_ = true;
  return nullptr;
}

}  // namespace tollgate
