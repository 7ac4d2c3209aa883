// Why a call failed, kept per thread until the exported edge collapses it to
// 0. Each layer records the reason it knows best: the converter seam what
// the device reported, the port layer the byte counts and time waited, the
// frame reader the field, the command the length it expected. A later record
// replaces an earlier one, so the outer layer may refine what an inner one
// said.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "port/platform.h"

// Details are formatted with the C library's printf rules. GCC checks them as
// GNU formats (so that MinGW's %llu is accepted as its runtime takes it);
// Clang knows only printf, which checks the same conversions.
#if defined(__clang__)
#define QX318_FORMAT_CHECK(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QX318_FORMAT_CHECK(fmt_index, first_arg) \
  __attribute__((format(gnu_printf, fmt_index, first_arg)))
#endif

namespace qx318 {

inline constexpr uint32_t kFailureDetailSize = 256;

// Why the thread's last call failed. Trivial, so that it can live in
// storage that needs no constructor on any platform. The trace's capture of
// the exchange under way is a record of its own (diagnostics/trace.h).
struct ThreadFailure {
  int32_t code;
  char detail[kFailureDetailSize];
  // The converter's own reason for its last failed operation, as the
  // platform's last-error value would carry it; QX318_FAIL_NONE when it gave
  // none.
  int32_t converter_code;
  char converter_detail[kFailureDetailSize];
};

// ThisThreadFailure(), the calling thread's record, is the platform's
// (port/platform.h).

// Called on entry to every exported call (by ExportedCall, the one place):
// the thread's reason is cleared.
void ClearFailure();

// Records code with a detail made from fmt (printf-style); returns false, so
// that a layer may write `return Fail(...)`.
bool Fail(int32_t code, const char *fmt, ...) QX318_FORMAT_CHECK(2, 3);

// The current reason of the calling thread.
int32_t CurrentFailure();

// The static sentence for a code.
const char *FailureSentence(int32_t reason);

// For converter back ends: the reason the operation under way failed. The
// port layer takes it in place of its own generic reason.
void SetConverterFailure(int32_t code, const char *fmt, ...) QX318_FORMAT_CHECK(2, 3);
void ClearConverterFailure();
// Records the converter's reason if it gave one, else code with the detail
// made from fmt. Returns false.
bool FailWithConverterReason(int32_t code, const char *fmt, ...) QX318_FORMAT_CHECK(2, 3);
int32_t ConverterFailureCode();

}  // namespace qx318
