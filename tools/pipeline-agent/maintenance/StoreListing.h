#pragma once

#include "platform/local/Config.h"
#include "report/JsonReport.h"

// The `list` command: the store's jobs and their archive files.

// Prints the store's jobs and their archive files as a table on stdout, one
// row per file (a job without files gets one row), with their states; its
// columns are as wide as their widest entry. When a job listed is a
// differential or incremental one, each row ends with the job's TYPE and
// REFERENCE, and each job of the report has its "backup" (set, type,
// reference, full, depth; null for a job without one), and its
// "lastVerified": when a check last read it whole and found it matching
// (VerificationDates), or null. With an enabled
// report, adds them to it instead (fields "store" and "jobs") and prints no
// table. A job other than 0: that job's rows alone. Opens the store itself; throws
// AgentError (bad input for a job the store does not have). Thread rules:
// the command's thread.
void listStore(const localplatform::Config& config, JsonReport& report, unsigned long long job = 0);
