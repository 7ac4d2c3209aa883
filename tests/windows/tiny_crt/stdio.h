/* The one function of <stdio.h> that the C example calls, for building it
 * with clang-cl and lld-link where no Microsoft C runtime exists to link:
 * tiny_crt.c implements it on kernel32 alone. printf here knows the
 * conversions %s, %d, %u, %c and %%, without flags, widths or length
 * modifiers. */
#ifndef QX318_TINY_CRT_STDIO_H
#define QX318_TINY_CRT_STDIO_H

int printf(const char *format, ...);

#endif /* QX318_TINY_CRT_STDIO_H */
