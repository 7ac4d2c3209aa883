// A scripted device behind the converter seam, and what the command tests ask
// of its call log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "wire_oracle.h"

namespace qx318::test {

class CommandTest : public ::testing::Test {
 protected:
  PortHandle port() const { return converter_.handle(); }

  // The device's next answer, released by the library's next write.
  void Answer(const Bytes &wire) { converter_.QueueAnswer(wire); }
  void AnswerData(const Bytes &data) { converter_.QueueAnswer(AnswerFrame(data)); }

  // The byte count of every read, in order.
  std::vector<uint32_t> ReadCounts() const {
    std::vector<uint32_t> counts;
    for (const fake::Call &call : converter_.calls()) {
      if (call.op == fake::Op::kReadFile) counts.push_back(call.count);
    }
    return counts;
  }

  bool AnyRead() const { return !ReadCounts().empty(); }

  std::vector<Bytes> Writes() const { return converter_.Writes(); }

  fake::FakeConverter converter_;
};

// A buffer followed by guard bytes that no call may touch.
template <typename T>
class GuardedBuffer {
 public:
  static constexpr size_t kGuardCount = 16;

  GuardedBuffer(size_t size, T fill)
      : size_(size), fill_(fill), storage_(size + kGuardCount, fill) {}

  T *data() { return storage_.data(); }
  size_t size() const { return size_; }
  T operator[](size_t i) const { return storage_[i]; }
  std::vector<T> contents() const {
    return std::vector<T>(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(size_));
  }

  bool GuardsIntact() const {
    for (size_t i = size_; i < storage_.size(); ++i) {
      if (storage_[i] != fill_) return false;
    }
    return true;
  }

  bool Untouched() const {
    for (const T &value : storage_) {
      if (value != fill_) return false;
    }
    return true;
  }

 private:
  size_t size_;
  T fill_;
  std::vector<T> storage_;
};

}  // namespace qx318::test
