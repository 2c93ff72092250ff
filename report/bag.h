// SPDX-License-Identifier: MIT
// The transfer as a bag to ingest (BagIt, RFC 8493): the files of the run
// under NAME/data/, the report's files beside them as tag files, with
// bagit.txt, bag-info.txt and the two SHA-256 manifests. The checksums are
// the ones the report computed; a file it listed without one is read here.
//
// A bag is complete only with its payload manifest, so that is written last
// and under a name that appears whole (a rename); a bag that cannot be
// finished is taken apart again: the files and the report stay where they
// were, as valid as before.
#pragma once

#include <cstdint>
#include <string>

#include "report/transfer_report.h"

struct BagSummary {
  std::string folder;      // NAME
  int64_t payload_bytes;   // the Payload-Oxum's two figures
  int64_t payload_files;
};

// Bags the run whose report was just written (summary from
// transfer_report_finish) in the folder NAME beside the report. organization
// is the bag's Source-Organization. 0 with bag filled, or -1 with failure
// filled (nothing of the bag is left).
int transfer_report_bag(const TransferReport* report, const ReportSummary& summary, const std::string& organization,
                        BagSummary* bag, ReportFailure* failure);

// A path as a manifest line gives it: CR, LF and % percent-encoded.
std::string bag_manifest_path(const std::string& path);
