/* What the Microsoft C runtime would give the C example, on kernel32 alone:
 * the console program's entry point, which splits the command line and calls
 * main, and printf (see stdio.h beside this file). It stands in for the
 * runtime in CI, which links with lld-link and has none; a Visual Studio
 * build links the real one.
 *
 * Build with clang-cl /GS- /Zl -ffreestanding (no security cookie, no
 * default libraries, the compiler's own stdint.h) and link with
 * /ENTRY:mainCRTStartup /NODEFAULTLIB against an import library of
 * kernel32.def. */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

/* The few kernel32 calls, declared as the Windows headers declare them. */
#define STD_OUTPUT_HANDLE ((unsigned long)-11)
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) char *__stdcall GetCommandLineA(void);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned long status);

int main(int argc, char **argv);

enum { kOutputSize = 512, kCommandLineSize = 2048, kMaxArguments = 32 };

/* printf's output, written to the console (or pipe) when full and at the
 * end of each call. Not shared between threads: the example has one. */
struct Output {
  char text[kOutputSize];
  unsigned long used;
  int total;
};

static void Flush(struct Output *out) {
  unsigned long written = 0;
  if (out->used > 0) {
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out->text, out->used, &written, 0);
  }
  out->used = 0;
}

static void Put(struct Output *out, char c) {
  if (out->used == kOutputSize) Flush(out);
  out->text[out->used++] = c;
  ++out->total;
}

static void PutText(struct Output *out, const char *text) {
  if (!text) text = "(null)";
  while (*text) Put(out, *text++);
}

static void PutDecimal(struct Output *out, int negative, unsigned magnitude) {
  char digits[10];
  int count = 0;
  if (negative) Put(out, '-');
  do {
    digits[count++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  while (count > 0) Put(out, digits[--count]);
}

int printf(const char *format, ...) {
  static struct Output out;
  va_list args;
  int value;
  va_start(args, format);
  out.total = 0;
  for (; *format; ++format) {
    if (*format != '%') {
      Put(&out, *format);
      continue;
    }
    switch (*++format) {
      case 's':
        PutText(&out, va_arg(args, const char *));
        break;
      case 'd':
        value = va_arg(args, int);
        /* 0u - value: the magnitude of INT_MIN as well. */
        PutDecimal(&out, value < 0, value < 0 ? 0u - (unsigned)value : (unsigned)value);
        break;
      case 'u':
        PutDecimal(&out, 0, va_arg(args, unsigned));
        break;
      case 'c':
        Put(&out, (char)va_arg(args, int));
        break;
      case '%':
        Put(&out, '%');
        break;
      case '\0': /* a lone % at the end: shown, and the loop ends */
        Put(&out, '%');
        --format;
        break;
      default: /* unknown: shown as it stands, so that it is noticed */
        Put(&out, '%');
        Put(&out, *format);
        break;
    }
  }
  va_end(args);
  Flush(&out);
  return out.total;
}

/* Splits a command line into arguments at spaces and tabs outside double
 * quotes; the quotes themselves are dropped. This is the C runtime's rule
 * without its treatment of backslashes before a quote, which the example's
 * arguments (converter descriptions, "\\.\COM5") never need. */
static int SplitCommandLine(const char *line, char **argv) {
  static char text[kCommandLineSize];
  int argc = 0;
  int used = 0;
  int quoted = 0;
  while (argc < kMaxArguments) {
    while (*line == ' ' || *line == '\t') ++line;
    if (!*line) break;
    argv[argc++] = &text[used];
    for (; *line && (quoted || (*line != ' ' && *line != '\t')); ++line) {
      if (*line == '"') {
        quoted = !quoted;
      } else if (used < kCommandLineSize - kMaxArguments) {
        text[used++] = *line;
      }
    }
    text[used++] = '\0';
  }
  argv[argc] = 0;
  return argc;
}

void mainCRTStartup(void) {
  static char *argv[kMaxArguments + 1];
  int argc = SplitCommandLine(GetCommandLineA(), argv);
  ExitProcess((unsigned long)main(argc, argv));
}
