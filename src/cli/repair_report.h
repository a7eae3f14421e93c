// The JSON report of a run: per document, every member found with what became of it, what the
// completion step changed, and the result's path. README.md describes the format.
#ifndef VELLOMIR_CLI_REPAIR_REPORT_H_
#define VELLOMIR_CLI_REPAIR_REPORT_H_

#include <string>
#include <vector>

#include "engine/repair_engine.h"

namespace vellomir::cli {

struct ReportedDocument {
  platform::Path source;
  FileOutcome outcome;
};

// The whole report as UTF-8 JSON text, ending in a line feed.
std::string RepairReportJson(const std::vector<ReportedDocument>& documents);

}  // namespace vellomir::cli

#endif  // VELLOMIR_CLI_REPAIR_REPORT_H_
