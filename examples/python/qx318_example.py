"""QX318_RS485 from Python, with the qx318 package: hello, a parameter, a
measurement, an image and the rotation angle of the device at address 1.

    python qx318_example.py "QX318 Converter"   (Windows: the converter's USB description)
    python qx318_example.py /dev/ttyUSB0        (Linux: a serial device)

On Windows install the wheel of your interpreter's architecture first:
    pip install qx318-<version>-py3-none-win_amd64.whl   (64-bit Python)
    pip install qx318-<version>-py3-none-win32.whl       (32-bit Python)
"""

import sys

import qx318

ADDRESS = 1
PARAMETER_5 = qx318.parameter_code(5, groups=2)  # parameter 5, 14 bits in two groups


def main(description):
    with qx318.open_port(description, baud=115200) as port:
        device = port.device(ADDRESS)
        hello = device.hello()
        print(f"hello: model {hello.value1}, firmware {hello.value2}, serial {hello.value3}")
        print(f"parameter 5: {device.read_parameter(PARAMETER_5)}")
        measurement = device.measure()
        print(f"measurement: lead byte {measurement.lead_byte}, "
              f"{len(measurement.pairs)} pairs, first {measurement.pairs[0]}")
        image = device.image()
        print(f"image: {image.width} x {image.height}, first pixel {image.pixels[0]}")
        print(f"rotation angle: {device.rotate_angle()}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        main(sys.argv[1])
    except qx318.DeviceError as error:
        # Names the command, the port, the address and the library's reason.
        sys.exit(str(error))
