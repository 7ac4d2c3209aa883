/* A program built against the installed library, as a user would build it. */
#include <QX318_RS485.h>
#include <stdio.h>

int main(void) {
  PortHandle port = QX318_INVALID_PORT;
  if (QX318_OpenPort("/dev/qx318-no-such-port", 115200, &port) != 0) return 1;
  if (port != QX318_INVALID_PORT) return 2;
  if (QX318_ClosePort(QX318_INVALID_PORT) != 0) return 3;
  if (QX318_HelloCmd(port, 1, NULL) != 0) return 4;
  puts("consumer: linked and called the installed library");
  return 0;
}
