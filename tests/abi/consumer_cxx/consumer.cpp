// A C++ program built against the installed library and qx318.hpp, as a user
// would build it.
#include <cstdio>
#include <qx318.hpp>
#include <string>
#include <vector>

int main() {
  const std::string missing = "/dev/qx318-no-such-port";
  qx318::Result<qx318::Port> port = qx318::Port::Open(missing, 115200);
  if (port) return 1;
  if (port.error().message().find(missing) == std::string::npos) return 2;

  qx318::Port none;
  std::vector<uint16_t> values(8);
  qx318::Result<MeasureHeader> measured = none.device(3).MeasureInto(values);
  if (measured || measured.error().address != 3) return 3;
  if (qx318::MakeParameterCode(5, 2) != 0x0205) return 4;
  std::printf("C++%ld consumer: linked and called the installed library\n",
              static_cast<long>(__cplusplus / 100 % 100));
  return 0;
}
