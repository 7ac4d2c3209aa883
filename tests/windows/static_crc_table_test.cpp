// A program that links the library statically, as every test program does,
// has the CRC table from its start: no DllMain runs for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "port/platform.h"
#include "port/win32/crc_table.h"
#include "protocol/crc.h"
#include "wire_oracle.h"

namespace qx318 {
namespace {

TEST(StaticCrcTable, ExistsBeforeMainWithTheCrc16ArcEntries) {
  const uint16_t *table = CrcTable();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0], 0x0000);
  EXPECT_EQ(table[1], 0xC0C1);
  EXPECT_EQ(table[128], 0xA001);
  EXPECT_EQ(table[255], 0x4040);
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc16(check, sizeof check), 0xBB3D);
}

// The same release and rebuild that DllMain performs at detach and attach.
TEST(StaticCrcTable, ReleaseOnceThenRefuseThenRebuild) {
  ASSERT_TRUE(ReleaseCrcTable());
  EXPECT_EQ(CrcTable(), nullptr);
  EXPECT_FALSE(ReleaseCrcTable());
  uint16_t crc = 0x1234;
  const uint8_t byte = 0x31;
  EXPECT_FALSE(UpdateCrc16(&crc, &byte, 1));
  EXPECT_EQ(crc, 0x1234);

  ASSERT_TRUE(BuildCrcTable());
  ASSERT_NE(CrcTable(), nullptr);
  EXPECT_EQ(CrcTable()[1], 0xC0C1);
  EXPECT_TRUE(UpdateCrc16(&crc, &byte, 1));
}

// Without the table no request can carry a true CRC: none may leave, and the
// call says why instead of waiting for an answer that cannot come.
TEST(StaticCrcTable, WithoutTheTableNoRequestIsSent) {
  fake::FakeConverter converter;
  converter.QueueAnswer(test::AnswerFrame(test::HelloData({318, 12, 3180001, 3, 5, 2, 1})));
  ASSERT_TRUE(ReleaseCrcTable());
  HelloAnswer answer{};
  const int32_t result = QX318_HelloCmd(converter.handle(), 1, &answer);
  const int32_t reason = QX318_GetLastFailure();
  ASSERT_TRUE(BuildCrcTable());

  EXPECT_EQ(result, 0);
  EXPECT_EQ(reason, QX318_FAIL_NO_MEMORY);
  const auto ops = converter.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), fake::Op::kWriteFile), 0);
  EXPECT_EQ(answer.value1, 0);

  // With the table back, the same exchange goes out with the true CRC.
  EXPECT_EQ(QX318_HelloCmd(converter.handle(), 1, &answer), 1);
  EXPECT_EQ(converter.WrittenBytes(), test::ExpectedRequest(1, 1));
}

}  // namespace
}  // namespace qx318
