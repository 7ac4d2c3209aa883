/* Built as C89 with -pedantic: the header must serve hosts whose compilers
 * predate C11, with its layout checks still active. */
#include "QX318_RS485.h"

int qx318_header_old_c_uses_the_types(const HelloAnswer *hello, const ImageHeader *image) {
  return (int)hello->value1 + (int)image->row_count;
}
