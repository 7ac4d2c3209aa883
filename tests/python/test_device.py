"""The qx318 package against qx318-sim: every command, the arguments it
refuses before anything reaches the bus, the image's room, and failures that
name command, port and address, and the library's reason where it gives one."""

import time
import unittest

import qx318
from simulated_bus import (FIRMWARE, FROZEN_BIT, MODEL, NO_HANG_SECONDS, PAIRS, ROW_LENGTH, ROWS,
                           SERIAL_BASE, SILENT_ADDRESS, WHITE, SimulatedBus, failure_codes)

try:
    import numpy
except ImportError:
    numpy = None

CODES = failure_codes()


class BusTest(unittest.TestCase):
    """A fresh simulated bus and an open port for every test."""

    def setUp(self):
        self.bus = SimulatedBus()
        self.addCleanup(lambda: self.bus.close())  # whichever bus the test ends with
        self.port = qx318.open_port(self.bus.path, baud=115200)
        self.addCleanup(lambda: self.port.close())

    def assert_failure(self, error, command, address, reason_name):
        self.assertEqual(error.command, command)
        self.assertEqual(error.port, self.bus.path)
        self.assertEqual(error.address, address)
        message = str(error)
        self.assertIn(command, message)
        self.assertIn(self.bus.path, message)
        self.assertIn(f"address {address}", message)
        if self.port.library.gives_reasons:
            self.assertEqual(error.reason, CODES[reason_name], message)
            self.assertTrue(error.reason_text)
            self.assertIn(error.reason_text, message)
        else:
            self.assertIsNone(error.reason)


class Commands(BusTest):
    def test_hello_names_each_device(self):
        for address in (1, 3):
            with self.subTest(address=address):
                hello = self.port.device(address).hello()
                self.assertIsInstance(hello, qx318.Hello)
                self.assertEqual(hello, (MODEL, FIRMWARE, SERIAL_BASE + address, ROWS,
                                         ROW_LENGTH, PAIRS, address))
                self.assertEqual(hello.value3, SERIAL_BASE + address)

    def test_parameter_round_trip_through_flash(self):
        dev = self.port.device(3)
        code = qx318.parameter_code(5, groups=2)
        self.assertEqual(code, 0x0205)
        self.assertEqual(dev.read_parameter(code), 5, "factory value of parameter 5")
        dev.write_parameter(code, 300)
        self.assertEqual(dev.read_parameter(code), 300)
        dev.save_parameters()
        dev.write_parameter(code, 999)
        self.assertEqual(dev.read_parameter(code), 999)
        dev.restore_parameters()
        self.assertEqual(dev.read_parameter(code), 300)

        # Parameter 5 travels in two groups: a read asking for three fails.
        with self.assertRaises(qx318.DeviceError) as caught:
            dev.read_parameter(0x0305)
        self.assert_failure(caught.exception, "read parameter", 3, "WRONG_LENGTH")

    def test_measurement_pairs(self):
        measurement = self.port.device(1).measure()
        self.assertEqual(len(measurement.pairs), PAIRS)
        self.assertLess(measurement.lead_byte, 128)
        xs = [x for x, _ in measurement.pairs]
        # X runs evenly from 0 to 16383 across the field of view.
        self.assertEqual((xs[0], xs[-1]), (0, 16383))
        self.assertEqual(xs, sorted(set(xs)))
        self.assertTrue(all(0 <= z < 16384 for _, z in measurement.pairs))

    def test_lock_result_freezes_and_releases_the_measurement(self):
        dev = self.port.device(1)
        dev.lock_result()
        first, second = dev.measure(), dev.measure()
        self.assertTrue(first.lead_byte & FROZEN_BIT)
        self.assertEqual(first, second)
        dev.lock_result()
        self.assertFalse(dev.measure().lead_byte & FROZEN_BIT)

    def test_image_with_its_header(self):
        dev = self.port.device(3)
        image = dev.image()
        self.assertEqual((image.width, image.height), (ROW_LENGTH, ROWS))
        self.assertIsInstance(image.pixels, bytes)
        self.assertEqual(len(image.pixels), ROWS * ROW_LENGTH)
        self.assertEqual(image.word4, 7, "bits per pixel")
        for r in range(ROWS):
            row = image.pixels[r * ROW_LENGTH:(r + 1) * ROW_LENGTH]
            self.assertTrue(all(p < 128 for p in row), r)
            if r < 2 or r >= ROWS - 2:
                self.assertEqual(row, bytes([WHITE]) * ROW_LENGTH, r)
            else:
                self.assertEqual(row[:2] + row[-2:], bytes([WHITE]) * 4, r)

        # The next frame's ramp has moved on by 8 grey levels (pixel 2,2 lies
        # on the ramp, off the disc).
        following = dev.image()
        self.assertEqual(following.word3, (image.word3 + 1) % 16384, "frame number")
        ramp = 2 * ROW_LENGTH + 2
        self.assertEqual(following.pixels[ramp], (image.pixels[ramp] + 8) % 128)

    def test_image_larger_than_the_room_is_refused(self):
        dev = self.port.device(3)
        needed = ROWS * ROW_LENGTH
        with self.assertRaises(qx318.DeviceError) as caught:
            dev.image(max_pixels=needed - 1)
        self.assert_failure(caught.exception, "image", 3, "CAPACITY")
        self.assertIn("max_pixels", str(caught.exception))
        self.assertIn(str(needed - 1), str(caught.exception))

        dev.max_pixels = needed
        self.assertEqual(len(dev.image().pixels), needed, "exactly the room it needs")
        self.assertEqual(len(dev.image(max_pixels=needed + 1).pixels), needed)

    @unittest.skipIf(numpy is None, "NumPy is not installed")
    def test_image_as_array(self):
        dev = self.port.device(1)
        array = dev.image_array()
        self.assertEqual(array.shape, (ROWS, ROW_LENGTH))
        self.assertEqual(array.dtype, numpy.uint8)
        self.assertTrue((array[:2, :] == WHITE).all() and (array[:, -2:] == WHITE).all())
        image = dev.image()
        array = image.to_array()
        self.assertEqual(array.tobytes(), image.pixels)
        array[0, 0] = 1  # an array of its own, free to change
        self.assertEqual(image.pixels[0], WHITE)

    def test_rotation_angle_saved_and_restored(self):
        dev = self.port.device(1)
        saved = dev.rotate_axis()
        self.assertIsInstance(saved, int)
        self.assertEqual(dev.rotate_angle(), saved)
        dev.save_angle()
        # The bump wanders, so a later fit usually finds another angle; the
        # restore brings back the saved one either way.
        time.sleep(0.3)
        dev.rotate_axis()
        dev.restore_angle()
        self.assertEqual(dev.rotate_angle(), saved)


class RefusedArguments(BusTest):
    def test_values_outside_their_range_never_reach_the_bus(self):
        dev = self.port.device(3)
        cases = [
            ("address above 31", lambda: self.port.device(32), ValueError),
            ("negative address", lambda: self.port.device(-1), ValueError),
            ("address not a whole number", lambda: self.port.device(2.5), TypeError),
            ("code above 16 bits", lambda: dev.read_parameter(0x10205), ValueError),
            ("negative code", lambda: dev.read_parameter(-1), ValueError),
            ("parameter number 128", lambda: dev.read_parameter(0x0280), ValueError),
            ("parameter_code of 128", lambda: qx318.parameter_code(128), ValueError),
            ("value above 16 bits", lambda: dev.write_parameter(0x0205, 0x10007), ValueError),
            ("negative value", lambda: dev.write_parameter(0x0205, -1), ValueError),
            ("write to parameter 133", lambda: dev.write_parameter(0x0285, 7), ValueError),
            ("no room for an image", lambda: dev.image(max_pixels=0), ValueError),
            ("baud rate 0", lambda: qx318.open_port(self.bus.path, baud=0), ValueError),
        ]
        for name, call, error in cases:
            with self.subTest(name):
                self.assertRaises(error, call)
        # Cut to 16 or 7 bits, the refused writes would have set parameter 5.
        self.assertEqual(dev.read_parameter(0x0205), 5)


class Failures(BusTest):
    def test_silent_address_names_command_port_address_and_reason(self):
        start = time.monotonic()
        with self.assertRaises(qx318.DeviceError) as caught:
            self.port.device(SILENT_ADDRESS).hello()
        self.assertLess(time.monotonic() - start, NO_HANG_SECONDS)
        self.assert_failure(caught.exception, "hello", SILENT_ADDRESS, "NO_ANSWER")
        self.assertEqual(self.port.device(3).hello().value7, 3, "the bus works afterwards")

    def test_corrupt_answer_carries_its_reason_and_the_next_exchange_is_clean(self):
        self.port.close()
        self.bus.close()
        self.bus = SimulatedBus("--fault", "corrupt-crc")
        self.port = qx318.open_port(self.bus.path)
        dev = self.port.device(1)
        with self.assertRaises(qx318.DeviceError) as caught:
            dev.rotate_angle()
        self.assert_failure(caught.exception, "rotation angle", 1, "CRC_MISMATCH")
        self.assertIsInstance(dev.rotate_angle(), int)

    def test_closed_port_releases_the_line_and_fails_its_devices(self):
        with self.assertRaises(qx318.DeviceError) as caught:
            qx318.open_port(self.bus.path)  # the line is opened exclusively
        self.assertEqual(caught.exception.command, "open")
        self.assertIsNone(caught.exception.address)

        dev = self.port.device(3)
        with self.port as port:
            self.assertFalse(port.closed)
        self.assertTrue(self.port.closed)
        with self.assertRaises(qx318.DeviceError) as caught:
            dev.hello()
        self.assertIn("closed", str(caught.exception))
        self.assertEqual(caught.exception.address, 3)
        with qx318.open_port(self.bus.path) as again:
            self.assertEqual(again.device(3).hello().value7, 3)
        self.port.close()  # a second close does nothing

    def test_missing_port_is_named(self):
        missing = "/dev/qx318-no-such-port"
        with self.assertRaises(qx318.DeviceError) as caught:
            qx318.open_port(missing)
        error = caught.exception
        self.assertEqual((error.command, error.port, error.address), ("open", missing, None))
        self.assertIn(missing, str(error))
        self.assertNotIn("address", str(error))
        if self.port.library.gives_reasons:
            self.assertEqual(error.reason, CODES["NOT_FOUND"], str(error))


if __name__ == "__main__":
    unittest.main()
