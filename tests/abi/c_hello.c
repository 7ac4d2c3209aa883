/* The shared library used from plain C11: this file compiling proves the
 * public header is C (its layout checks included), and the program completes
 * a hello exchange against a device it runs itself on a pseudo-terminal. */
#define _XOPEN_SOURCE 700

#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "QX318_RS485.h"

static int ReadExactly(int fd, uint8_t *bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got = read(fd, bytes + done, count - done);
    if (got <= 0) return 0;
    done += (size_t)got;
  }
  return 1;
}

/* The hello answer as a device sends it: start byte, the length 15 as two
 * groups, the data bytes 34 12 2A 70 5D 3C 05 7F 7F 01 00 00 40 09 00 with the
 * marker bit, and their CRC-16/ARC 0xDB0A as three groups. */
static const uint8_t kHelloAnswer[] = {0x00, 0x8F, 0x80, 0xB4, 0x92, 0xAA, 0xF0,
                                       0xDD, 0xBC, 0x85, 0xFF, 0xFF, 0x81, 0x80,
                                       0x80, 0xC0, 0x89, 0x80, 0x8A, 0xB6, 0x83};

/* The device: one hello request in, one answer out. */
static void *ServeOneHello(void *arg) {
  const int master = *(const int *)arg;
  static const uint8_t kExpected[] = {0x05, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83};
  uint8_t request[sizeof kExpected];
  if (!ReadExactly(master, request, sizeof request)) return "no request";
  if (memcmp(request, kExpected, sizeof request) != 0) return "unexpected request bytes";
  if (write(master, kHelloAnswer, sizeof kHelloAnswer) != (ssize_t)sizeof kHelloAnswer) {
    return "answer not written";
  }
  return NULL;
}

static int Fail(const char *what) {
  fprintf(stderr, "c_hello: %s\n", what);
  return 1;
}

int main(void) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return Fail("no pty");
  const char *slave = ptsname(master);
  if (slave == NULL) return Fail("no slave name");

  PortHandle port = QX318_INVALID_PORT;
  if (QX318_OpenPort(slave, 115200, &port) != 1) return Fail("open failed");

  pthread_t device;
  if (pthread_create(&device, NULL, ServeOneHello, (void *)&master) != 0) return Fail("thread");
  HelloAnswer answer;
  memset(&answer, 0xA5, sizeof answer);
  const int32_t result = QX318_HelloCmd(port, 5, &answer);
  void *device_error = NULL;
  pthread_join(device, &device_error);
  if (device_error != NULL) return Fail((const char *)device_error);
  if (result != 1) return Fail("hello failed");

  if (answer.value1 != 0x0934 || answer.value2 != 0x2A || answer.value3 != 0x00AF2EF0u ||
      answer.value4 != 0x3FFF || answer.value5 != 0x0001 || answer.value6 != 0x2000 ||
      answer.value7 != 0x0009 || answer.unused3 != 0xA5) {
    return Fail("hello values decoded wrongly");
  }
  if (QX318_ClosePort(port) != 1) return Fail("close failed");
  if (QX318_ClosePort(QX318_INVALID_PORT) != 0) return Fail("closing no handle succeeded");
  close(master);
  puts("c_hello: hello exchange completed");
  return 0;
}
