// The analysers of spool data: a JobData that fills a JobCounts.
#pragma once

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/job_data.h"

namespace gatelib::printing {

class JobAnalyzer : public JobData {
 public:
  using JobData::JobData;
  // What the analysis counted; valid when Open returned analysis::kCounted.
  const JobCounts& Counts() const { return counts_; }

 protected:
  JobCounts counts_;
};

}  // namespace gatelib::printing
