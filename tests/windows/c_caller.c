/* A C program that links the DLL through its import library by the plain
 * names, as a host application would: it opens the port named on the command
 * line, says hello to device 1 and closes the port. */
#include <stdio.h>
#include <string.h>

#include "QX318_RS485.h"

static int Check(int condition, const char *what) {
  if (!condition) fprintf(stderr, "failed: %s\n", what);
  return condition;
}

int main(int argc, char **argv) {
  PortHandle port = QX318_INVALID_PORT;
  HelloAnswer answer;
  int ok = 1;
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT_NAME\n", argv[0]);
    return 2;
  }
  memset(&answer, 0, sizeof answer);
  ok &= Check(QX318_ClosePort(QX318_INVALID_PORT) == 0, "closing no port is refused");
  if (!Check(QX318_OpenPort(argv[1], 9600, &port) == 1, "open")) return 1;
  ok &= Check(QX318_HelloCmd(port, 1, &answer) == 1, "hello");
  /* qx318-sim's device 1: firmware 12, serial number 3180001. */
  ok &= Check(answer.value2 == 12 && answer.value3 == 3180001u, "hello values");
  ok &= Check(QX318_ClosePort(port) == 1, "close");
  return ok ? 0 : 1;
}
