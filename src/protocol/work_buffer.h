// Zero-filled heap buffers for frames and large answers, released on every
// path by their owner's destructor. Allocation failure is an empty buffer,
// never an exception.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port/platform.h"  // AllocateZeroed, ReleaseZeroed

namespace qx318 {

class WorkBuffer {
 public:
  explicit WorkBuffer(size_t size)
      : data_(static_cast<uint8_t *>(AllocateZeroed(size))), size_(data_ ? size : 0) {}
  ~WorkBuffer() { ReleaseZeroed(data_); }
  WorkBuffer(const WorkBuffer &) = delete;
  WorkBuffer &operator=(const WorkBuffer &) = delete;

  explicit operator bool() const { return data_ != nullptr; }
  uint8_t *data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t *data_;
  size_t size_;
};

}  // namespace qx318
