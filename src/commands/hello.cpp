#include "diagnostics/exported_call.h"
#include "protocol/command_codes.h"
#include "protocol/frame.h"
#include "protocol/groups.h"

using namespace qx318;

namespace {

constexpr uint32_t kHelloAnswerLength = 15;
// An answer that declares more data bytes than this fails before its data is
// read; a shorter one of the wrong length is read whole and then refused.
constexpr uint32_t kHelloLongestAnswer = 128;

// Writes the seven values one by one: the byte at offset 3 is the caller's
// and is never written.
void StoreHello(const uint8_t *data, HelloAnswer &record) {
  record.value1 = static_cast<uint16_t>(DecodeGroups(data + 0, 2));
  record.value2 = static_cast<uint8_t>(DecodeGroups(data + 2, 1));
  record.value3 = DecodeGroups(data + 3, 4);
  record.value4 = static_cast<uint16_t>(DecodeGroups(data + 7, 2));
  record.value5 = static_cast<uint16_t>(DecodeGroups(data + 9, 2));
  record.value6 = static_cast<uint16_t>(DecodeGroups(data + 11, 2));
  record.value7 = static_cast<uint16_t>(DecodeGroups(data + 13, 2));
}

bool Hello(PortHandle port, int32_t address, HelloAnswer *answer_out) {
  if (answer_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "answer_out is null");
  uint8_t answer[kHelloLongestAnswer] = {};
  uint32_t length = 0;
  if (!Exchange(port, address, CMD_HELLO, nullptr, 0, answer, sizeof answer, &length)) {
    return false;
  }
  if (!ExpectLength(length, kHelloAnswerLength)) return false;
  StoreHello(answer, *answer_out);
  return true;
}

}  // namespace

extern "C" QX318_API int32_t QX318_CALL QX318_HelloCmd(PortHandle port, int32_t address,
                                                       HelloAnswer *answer_out) {
  ExportedCall call(port);
  return call.Finish(Hello(port, address, answer_out));
}
