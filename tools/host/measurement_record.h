// The one layout of a measurement, single or streamed: numbered from 1,
// stamped with the host's UTC time, the device's address, the answer's
// header fields under the C header's names (lead_byte, pair_count) and the
// pairs; a failed measurement carries the library's reason instead.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "QX318_RS485.h"

namespace qx318::host {

enum class RecordFormat { kText, kCsv, kJson };

struct MeasurementRecord {
  uint64_t sequence = 0;
  std::string time_utc;  // 2026-12-10T14:45:14.626262Z
  int address = 0;
  MeasureHeader header{};
  std::span<const uint16_t> values;  // first, second, first, ...
  int32_t failure = QX318_FAIL_NONE;
  std::string detail;
  bool ok() const { return failure == QX318_FAIL_NONE; }
};

// What precedes the records: the CSV header line, nothing for the others.
std::string RecordsHeader(RecordFormat format);

// One record, whole lines. CSV: a row per pair, each carrying the record's
// columns (one row for a record without pairs or a failed one); JSON: one
// line. Text is for a person: numbered is false for the plain one-shot
// `measure`, which prints neither number nor time (nor anything on standard
// output when it failed: the reason goes to standard error).
std::string RenderRecord(const MeasurementRecord &record, RecordFormat format, bool numbered);

}  // namespace qx318::host
