// Handles are checked, not trusted. A handle is not a pointer: it names a
// slot of a fixed table of open ports and the generation of the port in that
// slot, and every operation first leases the slot through the handle. A value
// this converter never handed out, or one whose port was closed (the slot
// free, or holding a later port of a newer generation), is refused: the
// operation fails, and reads and writes report 0 bytes. A stale handle thus
// never reaches a port opened after it, and closing twice is harmless.
//
// The table is the converter's one piece of process-wide state that changes,
// and it takes no lock. Each slot has one atomic word: the generation, the
// phase (free, opening, open, closing) and the number of operations using the
// port right now. A slot is claimed by compare-exchange from free to opening
// with the next generation; its record is filled by the claiming thread
// alone and published by the store that makes it open. An operation leases
// an open slot by counting itself in, if the word still names its
// generation; the close marks the slot closing and releases the transport
// only once the last lease is returned, by whichever thread returns it. So
// opening and closing on one thread while other threads use other ports (or
// even, by mistake, a port being closed) never touches a record or a
// descriptor that another thread is using. Two exchanges on one port at once
// remain the caller's error, as everywhere.
//
// Handle values: generation << 10 | slot. Generations start at 1, so no
// handle is 0, and they wrap before the value could have all bits set (on a
// 64-bit system after 2^32 opens of one slot).
#include "port/posix/handle_table.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "diagnostics/failure.h"

namespace qx318::posix {

struct Slot {
  std::atomic<uint64_t> state{0};
  OpenPort port;  // see above for who may touch it when
};

namespace {

constexpr unsigned kSlotBits = 10;
static_assert(kPortSlotCount == 1u << kSlotBits);
constexpr uint64_t kMaxGeneration = std::min<uint64_t>(UINT32_MAX, (UINTPTR_MAX >> kSlotBits) - 1);

enum class Phase : uint32_t { kFree = 0, kOpening = 1, kOpen = 2, kClosing = 3 };

// The slot's word: generation in bits 0-31, phase in 32-33, leases above.
struct SlotState {
  uint32_t generation = 0;
  Phase phase = Phase::kFree;
  uint32_t leases = 0;

  static SlotState Of(uint64_t word) {
    return {static_cast<uint32_t>(word), static_cast<Phase>((word >> 32) & 3u),
            static_cast<uint32_t>(word >> 34)};
  }
  uint64_t Word() const {
    return uint64_t{generation} | uint64_t{static_cast<uint32_t>(phase)} << 32 |
           uint64_t{leases} << 34;
  }
};

constexpr uint32_t kMaxLeases = (1u << 30) - 1;

static_assert(std::atomic<uint64_t>::is_always_lock_free);

constinit Slot g_slots[kPortSlotCount];

uint32_t NextGeneration(uint32_t generation) {
  return generation >= kMaxGeneration ? 1 : generation + 1;
}

PortHandle HandleOf(uint32_t slot, uint32_t generation) {
  return reinterpret_cast<PortHandle>(static_cast<uintptr_t>(generation) << kSlotBits | slot);
}

// The slot and generation a handle names; null when no handle can name one.
Slot *SlotNamedBy(PortHandle handle, uint32_t *generation) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  const uintptr_t named = value >> kSlotBits;
  if (named == 0 || named > kMaxGeneration) return nullptr;
  *generation = static_cast<uint32_t>(named);
  return &g_slots[value & (kPortSlotCount - 1)];
}

// Closes the transport of a slot that is closing with no lease left, and
// frees the slot. Only one thread can get here for a given close.
bool FinishClose(Slot &slot, uint32_t generation) {
  const bool closed = slot.port.transport == nullptr || slot.port.transport->Close();
  slot.port = OpenPort{};
  slot.state.store(SlotState{generation, Phase::kFree, 0}.Word(), std::memory_order_release);
  return closed;
}

}  // namespace

PortHandle ClaimSlot(OpenPort &opened) {
  for (uint32_t index = 0; index < kPortSlotCount; ++index) {
    Slot &slot = g_slots[index];
    uint64_t word = slot.state.load(std::memory_order_acquire);
    const SlotState state = SlotState::Of(word);
    if (state.phase != Phase::kFree) continue;
    const uint32_t generation = NextGeneration(state.generation);
    if (!slot.state.compare_exchange_strong(word, SlotState{generation, Phase::kOpening, 0}.Word(),
                                            std::memory_order_acq_rel)) {
      continue;  // another thread took it first
    }
    slot.port = std::move(opened);
    slot.state.store(SlotState{generation, Phase::kOpen, 0}.Word(), std::memory_order_release);
    return HandleOf(index, generation);
  }
  return QX318_INVALID_PORT;
}

bool CloseSlot(PortHandle handle) {
  uint32_t generation = 0;
  Slot *slot = SlotNamedBy(handle, &generation);
  if (slot == nullptr) return false;
  uint64_t word = slot->state.load(std::memory_order_acquire);
  for (;;) {
    SlotState state = SlotState::Of(word);
    if (state.phase != Phase::kOpen || state.generation != generation) return false;
    const uint32_t leases = state.leases;
    state.phase = Phase::kClosing;
    if (slot->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
      return leases == 0 ? FinishClose(*slot, generation) : true;
    }
  }
}

PortLease::PortLease(PortHandle handle) {
  uint32_t generation = 0;
  Slot *slot = SlotNamedBy(handle, &generation);
  uint64_t word = slot != nullptr ? slot->state.load(std::memory_order_acquire) : 0;
  while (slot != nullptr) {
    SlotState state = SlotState::Of(word);
    if (state.phase != Phase::kOpen || state.generation != generation ||
        state.leases == kMaxLeases) {
      break;
    }
    ++state.leases;
    if (slot->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
      slot_ = slot;
      return;
    }
  }
  SetConverterFailure(QX318_FAIL_INVALID_HANDLE, "the handle is not an open port");
}

PortLease::~PortLease() {
  if (slot_ == nullptr) return;
  uint64_t word = slot_->state.load(std::memory_order_relaxed);
  SlotState state;
  do {
    state = SlotState::Of(word);
    --state.leases;
  } while (!slot_->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
  if (state.phase == Phase::kClosing && state.leases == 0) {
    (void)FinishClose(*slot_, state.generation);
  }
}

OpenPort *PortLease::operator->() const { return &slot_->port; }

}  // namespace qx318::posix
