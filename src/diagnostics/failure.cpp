#include "diagnostics/failure.h"

#include <cstdarg>
#include <cstdio>

namespace qx318 {
namespace {

void Format(char (&out)[kFailureDetailSize], const char *fmt, va_list args) {
  if (std::vsnprintf(out, sizeof out, fmt, args) < 0) out[0] = '\0';
}

// The calling thread's reason and its detail; nothing where the thread has
// no record (the library is being unloaded).
void RecordFailure(int32_t code, const char *fmt, va_list args) {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr) return;
  record->code = code;
  Format(record->detail, fmt, args);
}

struct Sentence {
  int32_t code;
  const char *text;
};

constexpr Sentence kSentences[] = {
    {QX318_FAIL_NONE, "the call succeeded"},
    {QX318_FAIL_NULL_ARGUMENT, "a required argument was null"},
    {QX318_FAIL_NOT_FOUND, "no converter with that description was found"},
    {QX318_FAIL_PORT_BUSY, "the port is already open elsewhere"},
    {QX318_FAIL_ACCESS_DENIED, "permission to open the port was denied"},
    {QX318_FAIL_LINE_SETTINGS, "the converter refused the line settings"},
    {QX318_FAIL_BAUD_RATE, "the converter refused the baud rate"},
    {QX318_FAIL_TIMEOUTS, "the converter refused the time-outs"},
    {QX318_FAIL_QUEUES, "the converter refused the queue sizes"},
    {QX318_FAIL_PURGE, "the converter refused the purge"},
    {QX318_FAIL_EVENT_MASK, "the converter refused the event mask"},
    {QX318_FAIL_WRITE_SHORT, "the request was not written completely"},
    {QX318_FAIL_NO_ANSWER, "no answer before the time-out"},
    {QX318_FAIL_ANSWER_CUT_SHORT, "the answer was cut short"},
    {QX318_FAIL_NO_START_BYTE, "no start byte within the hunt's bound"},
    {QX318_FAIL_ANSWER_TOO_LONG, "the answer declared more data than the buffer holds"},
    {QX318_FAIL_WRONG_LENGTH, "the answer length is not what the command expects"},
    {QX318_FAIL_CRC_MISMATCH, "the answer's CRC does not match"},
    {QX318_FAIL_FLASH_NOT_CONFIRMED, "the device did not confirm the flash request"},
    {QX318_FAIL_CAPACITY, "the answer is larger than the capacity given"},
    {QX318_FAIL_NO_MEMORY, "a work buffer could not be allocated"},
    {QX318_FAIL_HUNG_UP, "the port hung up"},
    {QX318_FAIL_INVALID_HANDLE, "the handle is not an open port"},
    {QX318_FAIL_PORT_ERROR, "the converter reported an error"},
    {QX318_FAIL_CONNECTION, "no connection to the network port's server"},
    {QX318_FAIL_WRONG_PROTOCOL, "the server speaks another protocol than the port's scheme"},
    {QX318_FAIL_NOT_SERIAL, "not a serial port"},
    {QX318_FAIL_CONNECTION_REFUSED, "connection refused"},
    {QX318_FAIL_HOST_UNREACHABLE, "host unreachable"},
};

}  // namespace

void ClearFailure() {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr) return;
  record->code = QX318_FAIL_NONE;
  record->detail[0] = '\0';
  record->converter_code = QX318_FAIL_NONE;
}

bool Fail(int32_t code, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  RecordFailure(code, fmt, args);
  va_end(args);
  return false;
}

int32_t CurrentFailure() {
  const ThreadFailure *record = ThisThreadFailure();
  return record == nullptr ? QX318_FAIL_NONE : record->code;
}

void SetConverterFailure(int32_t code, const char *fmt, ...) {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr) return;
  record->converter_code = code;
  va_list args;
  va_start(args, fmt);
  Format(record->converter_detail, fmt, args);
  va_end(args);
}

void ClearConverterFailure() {
  ThreadFailure *record = ThisThreadFailure();
  if (record != nullptr) record->converter_code = QX318_FAIL_NONE;
}

int32_t ConverterFailureCode() {
  const ThreadFailure *record = ThisThreadFailure();
  return record == nullptr ? QX318_FAIL_NONE : record->converter_code;
}

bool FailWithConverterReason(int32_t code, const char *fmt, ...) {
  ThreadFailure *record = ThisThreadFailure();
  if (record != nullptr && record->converter_code != QX318_FAIL_NONE) {
    record->code = record->converter_code;
    std::snprintf(record->detail, sizeof record->detail, "%s", record->converter_detail);
    return false;
  }
  va_list args;
  va_start(args, fmt);
  RecordFailure(code, fmt, args);
  va_end(args);
  return false;
}

const char *FailureSentence(int32_t reason) {
  for (const Sentence &sentence : kSentences) {
    if (sentence.code == reason) return sentence.text;
  }
  return "unknown failure code";
}

}  // namespace qx318

using namespace qx318;

extern "C" QX318_API int32_t QX318_CALL QX318_GetLastFailure(void) { return CurrentFailure(); }

extern "C" QX318_API const char *QX318_CALL QX318_FailureText(int32_t reason) {
  return FailureSentence(reason);
}

extern "C" QX318_API const char *QX318_CALL QX318_GetLastFailureDetail(void) {
  const ThreadFailure *record = ThisThreadFailure();
  return record == nullptr ? "" : record->detail;
}
