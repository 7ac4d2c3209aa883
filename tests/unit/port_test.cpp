// The port code on the test double: what open, close and the two transfer
// primitives ask of the converter, and what they do when it fails.
#include "port/port.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "protocol/frame.h"

namespace qx318 {
namespace {

using fake::Call;
using fake::FakeConverter;
using fake::Op;

const std::vector<Op> kOpenSequence = {Op::kCreateFile,      Op::kGetCommState, Op::kSetCommState,
                                       Op::kSetCommTimeouts, Op::kSetupComm,    Op::kPurgeComm,
                                       Op::kSetCommMask};

const Call &OnlyCall(const FakeConverter &converter, Op op) {
  const Call *found = nullptr;
  for (const Call &call : converter.calls()) {
    if (call.op == op) {
      EXPECT_EQ(found, nullptr) << fake::OpName(op) << " called more than once";
      found = &call;
    }
  }
  if (found == nullptr) {
    ADD_FAILURE() << fake::OpName(op) << " never called";
    static const Call none{op};
    return none;
  }
  return *found;
}

PortHandle const kSentinelHandle = reinterpret_cast<PortHandle>(static_cast<uintptr_t>(0x77));

class OpenPort : public ::testing::Test {
 protected:
  int32_t Open(uint32_t baud = 115200) { return QX318_OpenPort("QX318 Converter", baud, &port_); }

  FakeConverter converter_;
  PortHandle port_ = kSentinelHandle;
};

TEST_F(OpenPort, CallsEveryConfigurationStepOnTheOpenedHandle) {
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(port_, converter_.handle());
  EXPECT_EQ(converter_.ops(), kOpenSequence);
  for (const Call &call : converter_.calls()) {
    if (call.op != Op::kCreateFile) {
      EXPECT_EQ(call.port, converter_.handle()) << OpName(call.op);
    }
  }
}

TEST_F(OpenPort, CreatesTheConverterByDescriptionForReadAndWrite) {
  ASSERT_EQ(Open(), 1);
  const Call &create = OnlyCall(converter_, Op::kCreateFile);
  EXPECT_EQ(create.description, "QX318 Converter");
  EXPECT_EQ(create.access, 0xC0000000u);
  EXPECT_EQ(create.share, 0u);
  EXPECT_TRUE(create.security_null);
  EXPECT_EQ(create.creation, 3u);
  EXPECT_EQ(create.flags, 0x82u);
  EXPECT_TRUE(create.template_null);
}

TEST_F(OpenPort, SetsTimeOutsQueuesPurgeAndEvents) {
  ASSERT_EQ(Open(), 1);
  const CommTimeouts &timeouts = OnlyCall(converter_, Op::kSetCommTimeouts).timeouts;
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
  const Call &setup = OnlyCall(converter_, Op::kSetupComm);
  EXPECT_EQ(setup.count, 1024u);
  EXPECT_EQ(setup.out_queue, 1024u);
  EXPECT_EQ(OnlyCall(converter_, Op::kPurgeComm).count, 3u);
  EXPECT_EQ(OnlyCall(converter_, Op::kSetCommMask).count, 5u);
}

// The line record: what open changes, over several records the converter
// might report and several caller rates.
struct LineCase {
  uint32_t reported_flags;
  uint32_t baud;
};

class OpenPortLine : public OpenPort, public ::testing::WithParamInterface<LineCase> {};

TEST_P(OpenPortLine, ChangesOnlyFramingAndFlowControl) {
  const LineCase line = GetParam();
  Dcb &reported = converter_.reported_dcb();
  reported.flags = line.reported_flags;
  reported.wReserved = 0x1111;
  reported.wReserved1 = 0x2222;
  reported.ErrorChar = 0x3F;
  reported.EofChar = 0x1A;
  const Dcb before = reported;

  ASSERT_EQ(Open(line.baud), 1);
  const Dcb &set = OnlyCall(converter_, Op::kSetCommState).dcb;
  EXPECT_EQ(set.DCBlength, 28u);
  EXPECT_EQ(set.BaudRate, line.baud);
  EXPECT_EQ(set.flags & 1u, 1u) << "binary mode";
  EXPECT_EQ(set.flags & 0x7FFEu, 0u) << "parity check, flow control, DTR/RTS, error handling";
  EXPECT_EQ(set.flags & 0xFFFF8000u, line.reported_flags & 0xFFFF8000u) << "bits 15-31 kept";
  EXPECT_EQ(set.ByteSize, 8);
  EXPECT_EQ(set.Parity, 0);
  EXPECT_EQ(set.StopBits, 0);
  EXPECT_EQ(set.wReserved, before.wReserved);
  EXPECT_EQ(set.XonLim, before.XonLim);
  EXPECT_EQ(set.XoffLim, before.XoffLim);
  EXPECT_EQ(set.XonChar, before.XonChar);
  EXPECT_EQ(set.XoffChar, before.XoffChar);
  EXPECT_EQ(set.ErrorChar, before.ErrorChar);
  EXPECT_EQ(set.EofChar, before.EofChar);
  EXPECT_EQ(set.EvtChar, before.EvtChar);
  EXPECT_EQ(set.wReserved1, before.wReserved1);
}

INSTANTIATE_TEST_SUITE_P(Records, OpenPortLine,
                         ::testing::Values(LineCase{0xFFFFFFFEu, 115200}, LineCase{0, 9600},
                                           LineCase{0x12345678u, 250000}, LineCase{0xAAAA5555u, 1},
                                           LineCase{0x8000u, 0xFFFFFFFFu},
                                           LineCase{0x7FFFu, 3000000}));

// A failed configuration step closes exactly the handle that was opened,
// stops there and stores nothing.
class OpenPortFailure : public OpenPort, public ::testing::WithParamInterface<Op> {};

TEST_P(OpenPortFailure, ClosesTheOpenedHandleAndStoresNothing) {
  const Op failing = GetParam();
  converter_.FailCall(failing);
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(port_, kSentinelHandle);

  std::vector<Op> expected;
  for (Op op : kOpenSequence) {
    expected.push_back(op);
    if (op == failing) break;
  }
  expected.push_back(Op::kCloseHandle);
  EXPECT_EQ(converter_.ops(), expected);
  EXPECT_EQ(converter_.calls().back().port, converter_.handle());
}

INSTANTIATE_TEST_SUITE_P(EveryStep, OpenPortFailure,
                         ::testing::Values(Op::kGetCommState, Op::kSetCommState,
                                           Op::kSetCommTimeouts, Op::kSetupComm, Op::kPurgeComm,
                                           Op::kSetCommMask),
                         [](const auto &test) { return std::string(fake::OpName(test.param)); });

TEST_F(OpenPort, ConverterNotFoundClosesNothing) {
  converter_.FailOpen();
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(port_, kSentinelHandle);
  EXPECT_EQ(converter_.ops(), std::vector<Op>{Op::kCreateFile});
}

TEST_F(OpenPort, NullArgumentsMakeNoConverterCall) {
  EXPECT_EQ(QX318_OpenPort("QX318 Converter", 115200, nullptr), 0);
  EXPECT_EQ(QX318_OpenPort(nullptr, 115200, &port_), 0);
  EXPECT_EQ(port_, kSentinelHandle);
  EXPECT_TRUE(converter_.calls().empty());
}

TEST(ClosePort, NoHandleValuesAreRefusedWithoutACall) {
  FakeConverter converter;
  EXPECT_EQ(QX318_ClosePort(QX318_INVALID_PORT), 0);
  EXPECT_EQ(QX318_ClosePort(nullptr), 0);
  EXPECT_TRUE(converter.calls().empty());
}

TEST(ClosePort, AnyOtherValueIsClosedAndReportsOneEvenWhenTheCloseFails) {
  FakeConverter converter;
  converter.FailCall(Op::kCloseHandle, 2);
  const PortHandle others = reinterpret_cast<PortHandle>(static_cast<uintptr_t>(0x1234));
  const PortHandle handles[] = {converter.handle(), converter.handle(), others};
  for (PortHandle handle : handles) EXPECT_EQ(QX318_ClosePort(handle), 1);
  ASSERT_EQ(converter.ops(), std::vector<Op>(3, Op::kCloseHandle));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(converter.calls()[i].port, handles[i]);
}

class Transfer : public ::testing::Test {
 protected:
  // Each write paired with the call just before it.
  std::vector<std::pair<Call, Call>> WritesWithPredecessor() const {
    std::vector<std::pair<Call, Call>> pairs;
    const auto &calls = converter_.calls();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].op == Op::kWriteFile) {
        EXPECT_GT(i, 0u) << "a write with nothing before it";
        if (i > 0) pairs.emplace_back(calls[i - 1], calls[i]);
      }
    }
    return pairs;
  }

  FakeConverter converter_;
  PortHandle port_ = converter_.handle();
};

// Also after a clean exchange, and when the purge itself fails.
TEST_F(Transfer, EveryWriteFollowsAPurgeWithMaskThree) {
  converter_.QueueAnswer(fake::AnswerFrame(std::vector<uint8_t>(15, 1)));
  converter_.QueueAnswer(fake::AnswerFrame(std::vector<uint8_t>(15, 2)));
  converter_.FailCall(Op::kPurgeComm, 3);
  HelloAnswer answer{};
  ASSERT_EQ(QX318_HelloCmd(port_, 1, &answer), 1);
  ASSERT_EQ(QX318_HelloCmd(port_, 1, &answer), 1);
  const uint8_t data[] = {0x55};
  EXPECT_TRUE(SendRequest(port_, 0, 4, data, 1)) << "a failed purge does not stop the write";

  const auto pairs = WritesWithPredecessor();
  ASSERT_EQ(pairs.size(), 3u);
  for (const auto &[before, write] : pairs) {
    EXPECT_EQ(before.op, Op::kPurgeComm);
    EXPECT_EQ(before.count, 3u);
    EXPECT_EQ(before.port, port_);
    EXPECT_EQ(write.port, port_);
    EXPECT_TRUE(write.overlapped_null);
  }
}

TEST_F(Transfer, WriteIsOneCallJudgedByTheReportedCount) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(WritePort(port_, bytes, 5));
  converter_.ShortCount(Op::kWriteFile, 4, 2);
  EXPECT_FALSE(WritePort(port_, bytes, 5));
  converter_.FailCall(Op::kWriteFile, 3);
  EXPECT_FALSE(WritePort(port_, bytes, 5));
  for (const Call &call : converter_.calls()) {
    if (call.op == Op::kWriteFile) {
      EXPECT_EQ(call.count, 5u);
    }
  }
  EXPECT_EQ(converter_.Writes().size(), 3u);
}

// A read whose bytes are all there is one piece: the piece's time-outs (the
// 100 ms gap, no allowance per byte, 1.1 s in all), then one read of the whole
// count. A piece that brings nothing, or stops short before its time is up,
// ends the read. A read of nothing is one read of nothing.
TEST_F(Transfer, ReadIsOneTimedPieceForExactlyTheCount) {
  converter_.AddReceivedBytes({1, 2, 3, 4, 5, 6, 7});
  uint8_t bytes[8] = {};
  EXPECT_TRUE(ReadPort(port_, bytes, 0).complete) << "a read of nothing succeeds";
  const ReadResult whole = ReadPort(port_, bytes, 3);
  EXPECT_TRUE(whole.complete);
  EXPECT_EQ(whole.received, 3u);
  EXPECT_EQ(whole.wanted, 3u);
  EXPECT_EQ(bytes[2], 3);
  converter_.FailCall(Op::kReadFile, 3);
  const ReadResult failed = ReadPort(port_, bytes, 1);
  EXPECT_FALSE(failed.complete);
  EXPECT_EQ(failed.received, 0u);
  EXPECT_EQ(failed.wanted, 1u);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);
  const ReadResult cut = ReadPort(port_, bytes, 5);
  EXPECT_FALSE(cut.complete) << "only 4 bytes are left: a time-out";
  EXPECT_EQ(cut.received, 4u);
  EXPECT_EQ(cut.wanted, 5u);
  EXPECT_EQ(cut.converter_code, QX318_FAIL_NONE) << "the converter gave no reason of its own";
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_ANSWER_CUT_SHORT);

  EXPECT_EQ(converter_.ops(), (std::vector<Op>{Op::kReadFile, Op::kSetCommTimeouts, Op::kReadFile,
                                               Op::kSetCommTimeouts, Op::kReadFile,
                                               Op::kSetCommTimeouts, Op::kReadFile}));
  std::vector<uint32_t> counts;
  for (const Call &call : converter_.calls()) {
    EXPECT_EQ(call.port, port_);
    if (call.op == Op::kSetCommTimeouts) {
      EXPECT_EQ(call.timeouts.ReadIntervalTimeout, 100u);
      EXPECT_EQ(call.timeouts.ReadTotalTimeoutMultiplier, 0u);
      EXPECT_EQ(call.timeouts.ReadTotalTimeoutConstant, 1100u);
      EXPECT_EQ(call.timeouts.WriteTotalTimeoutMultiplier, 0u);
      EXPECT_EQ(call.timeouts.WriteTotalTimeoutConstant, 0u);
    } else {
      EXPECT_TRUE(call.overlapped_null);
      counts.push_back(call.count);
    }
  }
  EXPECT_EQ(counts, (std::vector<uint32_t>{0, 3, 1, 5}));
}

}  // namespace
}  // namespace qx318
