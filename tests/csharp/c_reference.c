/* What a C caller of QX318_RS485 sees, for the C# declarations to be compared
 * with: each record's size and each field's offset as the C compiler lays
 * them out, and the library's sentence for each failure reason (and for one
 * past the last), one per line. */
#include <stddef.h>
#include <stdio.h>

#include "QX318_RS485.h"

enum { kFirstUnknownReason = QX318_FAIL_HOST_UNREACHABLE + 1 };

#define PRINT_SIZE(record) printf("size %s %u\n", #record, (unsigned)sizeof(record))
#define PRINT_OFFSET(record, field) \
  printf("offset %s %s %u\n", #record, #field, (unsigned)offsetof(record, field))

int main(void) {
  PRINT_SIZE(HelloAnswer);
  PRINT_OFFSET(HelloAnswer, value1);
  PRINT_OFFSET(HelloAnswer, value2);
  PRINT_OFFSET(HelloAnswer, unused3);
  PRINT_OFFSET(HelloAnswer, value3);
  PRINT_OFFSET(HelloAnswer, value4);
  PRINT_OFFSET(HelloAnswer, value5);
  PRINT_OFFSET(HelloAnswer, value6);
  PRINT_OFFSET(HelloAnswer, value7);
  PRINT_SIZE(MeasureHeader);
  PRINT_OFFSET(MeasureHeader, lead_byte);
  PRINT_OFFSET(MeasureHeader, unused1);
  PRINT_OFFSET(MeasureHeader, pair_count);
  PRINT_SIZE(ImageHeader);
  PRINT_OFFSET(ImageHeader, word4);
  PRINT_OFFSET(ImageHeader, word3);
  PRINT_OFFSET(ImageHeader, row_length);
  PRINT_OFFSET(ImageHeader, row_count);
  for (int32_t reason = QX318_FAIL_NONE; reason <= kFirstUnknownReason; ++reason) {
    printf("text %d %s\n", (int)reason, QX318_FailureText(reason));
  }
  return 0;
}
