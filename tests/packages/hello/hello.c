/* A program built against the installed packages, as a user builds one:
 * it says hello to the device at address 1 on the port it is given (a
 * qx318-sim bus) and prints the answer. */
#include <QX318_RS485.h>
#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: hello PORT\n");
    return 2;
  }
  PortHandle port = QX318_INVALID_PORT;
  if (QX318_OpenPort(argv[1], 115200, &port) == 0) {
    fprintf(stderr, "hello: cannot open %s: %s\n", argv[1], QX318_GetLastFailureDetail());
    return 1;
  }
  HelloAnswer answer;
  const int said = QX318_HelloCmd(port, 1, &answer);
  if (!said)
    fprintf(stderr, "hello: no answer: %s\n", QX318_GetLastFailureDetail());
  else
    printf("hello: value1 %u, value2 %u, value3 %lu\n", (unsigned)answer.value1,
           (unsigned)answer.value2, (unsigned long)answer.value3);
  QX318_ClosePort(port);
  return said ? 0 : 1;
}
