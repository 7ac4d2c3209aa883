#include "host/measurement_record.h"

#include <fmt/format.h>

#include "host/results.h"

namespace qx318::host {
namespace {

constexpr const char *kCsvHeader =
    "sequence,time_utc,address,lead_byte,pair_count,pair,first,second,failure_code,failure\n";

// A CSV field with a comma or quote in it, quoted.
std::string CsvField(const std::string &text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

size_t PairCount(const MeasurementRecord &r) { return r.ok() ? r.header.pair_count : 0; }

std::string Csv(const MeasurementRecord &r) {
  const std::string record = fmt::format("{},{},{}", r.sequence, r.time_utc, r.address);
  if (!r.ok()) return fmt::format("{},,,,,,{},{}\n", record, r.failure, CsvField(r.detail));
  const std::string header =
      fmt::format("{},{},{}", record, r.header.lead_byte, r.header.pair_count);
  if (PairCount(r) == 0) return header + ",,,,,\n";
  std::string out;
  for (size_t k = 0; k < PairCount(r); ++k) {
    out += fmt::format("{},{},{},{},,\n", header, k, r.values[2 * k], r.values[2 * k + 1]);
  }
  return out;
}

std::string JsonLine(const MeasurementRecord &r) {
  Json doc{{"sequence", r.sequence}, {"time_utc", r.time_utc}, {"address", r.address}};
  if (!r.ok()) {
    doc["error"] = FailureJson(r.failure, r.detail);
  } else {
    Json pairs = Json::array();
    for (size_t k = 0; k < PairCount(r); ++k) {
      pairs.push_back(Json::array({r.values[2 * k], r.values[2 * k + 1]}));
    }
    doc["lead_byte"] = r.header.lead_byte;
    doc["pair_count"] = r.header.pair_count;
    doc["pairs"] = std::move(pairs);
  }
  return doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string Text(const MeasurementRecord &r, bool numbered) {
  const std::string heading =
      numbered ? fmt::format("measurement {} at {}, address {}", r.sequence, r.time_utc, r.address)
               : "measurement";
  if (!r.ok()) return numbered ? fmt::format("{}: failed: {}\n", heading, r.detail) : "";
  std::string out =
      fmt::format("{}: lead byte {}, {} pairs\n", heading, r.header.lead_byte, PairCount(r));
  for (size_t k = 0; k < PairCount(r); ++k) {
    out += fmt::format("{:6} {:6} {:6}\n", k, r.values[2 * k], r.values[2 * k + 1]);
  }
  return out;
}

}  // namespace

std::string RecordsHeader(RecordFormat format) {
  return format == RecordFormat::kCsv ? kCsvHeader : "";
}

std::string RenderRecord(const MeasurementRecord &record, RecordFormat format, bool numbered) {
  switch (format) {
    case RecordFormat::kCsv:
      return Csv(record);
    case RecordFormat::kJson:
      return JsonLine(record);
    case RecordFormat::kText:
      return Text(record, numbered);
  }
  return {};
}

}  // namespace qx318::host
