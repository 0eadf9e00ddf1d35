// libcurl's process-wide initialisation and clean-up.
#pragma once

#include "shared/error/error_result.h"

namespace tollgate {

class CurlRuntime {
 public:
  CurlRuntime() = default;
  CurlRuntime(const CurlRuntime&) = delete;
  CurlRuntime& operator=(const CurlRuntime&) = delete;
  // Cleans libcurl up when Init succeeded.
  ~CurlRuntime();

  // curl_global_init(CURL_GLOBAL_ALL), after selecting the Schannel TLS back end when asked.
  ErrorResultPtr Init(bool selectSchannel);

 private:
  bool initialized_ = false;
};

}  // namespace tollgate
