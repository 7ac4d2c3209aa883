"""Failures raised as the exception family of their reason, each from a real
failure against qx318-sim, a path that is no port or a network port without
a server; Reason against the C header's codes; and what the package promises
type checkers and readers: annotations, docstrings and its py.typed marker."""

import importlib.util
import inspect
import socket
import sys
import tempfile
import unittest
import warnings
from pathlib import Path

import qx318
from simulated_bus import SILENT_ADDRESS, SimulatedBus, failure_codes

BACKEND = Path(__file__).resolve().parents[2] / "python" / "_build" / "qx318_backend.py"
# The package's own reasons, which the library never gives: all negative.
OWN_REASONS = {"INVALID_ARGUMENT"}


class ReasonAgainstTheHeader(unittest.TestCase):
    def test_one_member_per_header_code(self):
        header = failure_codes()
        self.assertTrue(header, "the header defines QX318_FAIL_ codes")
        from_library = {m.name: int(m) for m in qx318.Reason if m.name not in OWN_REASONS}
        self.assertEqual(from_library, header)
        for name in OWN_REASONS:
            self.assertLess(qx318.Reason[name], 0, name)

    def test_every_reason_has_one_family(self):
        self.assertEqual(set(qx318.FAMILIES), set(qx318.Reason))
        for reason, family in qx318.FAMILIES.items():
            self.assertTrue(issubclass(family, qx318.DeviceError), reason)
        families = {qx318.NoAnswer, qx318.AnswerCorrupt, qx318.PortUnavailable,
                    qx318.InvalidArgument}
        self.assertTrue(families <= set(qx318.FAMILIES.values()), "every family has a reason")


class FamiliesFromRealFailures(unittest.TestCase):
    def start(self, *faults):
        self.bus = SimulatedBus(*faults)
        self.addCleanup(self.bus.close)
        port = qx318.open_port(self.bus.path)
        self.addCleanup(port.close)
        if not port.library.gives_reasons:
            self.skipTest("the library gives no reasons")
        return port

    def assert_family(self, call, family, reasons, command, address):
        with self.assertRaises(qx318.DeviceError) as caught:
            call()
        error = caught.exception
        self.assertIs(type(error), family, str(error))
        self.assertIn(error.reason, reasons, str(error))
        self.assertIsInstance(error.reason, qx318.Reason)
        self.assertIs(qx318.FAMILIES[error.reason], family)
        self.assertEqual((error.command, error.address), (command, address))
        self.assertTrue(error.reason_text)
        self.assertIn(error.reason_text, str(error))
        return error

    def test_an_address_nobody_answers_is_no_answer(self):
        port = self.start()
        self.assert_family(lambda: port.device(SILENT_ADDRESS).hello(), qx318.NoAnswer,
                           {qx318.Reason.NO_ANSWER}, "hello", SILENT_ADDRESS)

    def test_damaged_answers_are_answer_corrupt(self):
        R = qx318.Reason
        cases = [
            ("corrupt-crc", "rotation angle", lambda d: d.rotate_angle(), {R.CRC_MISMATCH}),
            ("wrong-length", "hello", lambda d: d.hello(), {R.WRONG_LENGTH}),
            ("wrong-length", "read parameter", lambda d: d.read_parameter(0x0205),
             {R.WRONG_LENGTH}),
            # Cut after at least the start byte: never silence, always short.
            ("truncate", "hello", lambda d: d.hello(), {R.ANSWER_CUT_SHORT}),
            ("stall", "hello", lambda d: d.hello(), {R.ANSWER_CUT_SHORT}),
        ]
        for fault, command, call, reasons in cases:
            with self.subTest(fault=fault, command=command):
                port = self.start("--fault", fault)
                device = port.device(1)
                self.assert_family(lambda: call(device), qx318.AnswerCorrupt, reasons, command, 1)
                self.assertEqual(device.hello().value7, 1, "the next exchange is clean")
                port.close()
                self.bus.close()

    def test_ports_that_cannot_be_used_are_port_unavailable(self):
        R = qx318.Reason
        port = self.start()
        missing = str(Path(self.bus.path).parent / "no-such-port")
        error = self.assert_family(lambda: qx318.open_port(missing), qx318.PortUnavailable,
                                   {R.NOT_FOUND}, "open", None)
        self.assertEqual(error.port, missing)
        self.assert_family(lambda: qx318.open_port(self.bus.path), qx318.PortUnavailable,
                           {R.PORT_BUSY}, "open", None)
        device = port.device(3)
        port.close()
        self.assert_family(device.hello, qx318.PortUnavailable, {R.INVALID_HANDLE}, "hello", 3)

    def test_no_serial_port_and_no_server_are_port_unavailable(self):
        R = qx318.Reason
        self.start()
        folder = tempfile.TemporaryDirectory(prefix="qx318-py-no-port-")
        self.addCleanup(folder.cleanup)
        regular_file = Path(folder.name) / "regular-file"
        regular_file.write_text("not a port\n", encoding="utf-8")
        closed_port = unused_loopback_port()
        # (description, reason, its sentence, part of the detail)
        cases = [
            ("/dev/null", R.NOT_SERIAL, "not a serial port", "/dev/null is not a serial device"),
            (str(regular_file), R.NOT_SERIAL, "not a serial port", "but a regular file"),
            (folder.name, R.NOT_SERIAL, "not a serial port", "but a directory"),
            (f"tcp://127.0.0.1:{closed_port}", R.CONNECTION_REFUSED, "connection refused",
             "the connection was refused"),
            (f"rfc2217://127.0.0.1:{closed_port}", R.CONNECTION_REFUSED, "connection refused",
             "the connection was refused"),
        ]
        if sys.platform.startswith("linux"):
            # Linux never connects TCP to a multicast address: unreachable
            # without a network.
            cases.append(("tcp://224.0.0.1:3001", R.HOST_UNREACHABLE, "host unreachable",
                          "the host is unreachable"))
        for description, reason, sentence, detail in cases:
            with self.subTest(description):
                error = self.assert_family(lambda d=description: qx318.open_port(d),
                                           qx318.PortUnavailable, {reason}, "open", None)
                self.assertIs(error.reason, reason)
                self.assertEqual(error.port, description)
                self.assertEqual(error.reason_text, sentence)
                self.assertIn(description, error.detail)
                self.assertIn(detail, error.detail)

    def test_device_error_keeps_its_attributes(self):
        port = self.start()
        with self.assertRaises(qx318.NoAnswer) as caught:
            port.device(SILENT_ADDRESS).rotate_angle()
        error = caught.exception
        self.assertEqual((error.command, error.port, error.address),
                         ("rotation angle", self.bus.path, SILENT_ADDRESS))
        self.assertEqual(error.reason, failure_codes()["NO_ANSWER"], "still equal to the number")
        self.assertTrue(error.detail, "the library's figures")
        self.assertIn(error.detail, str(error))


def unused_loopback_port():
    """A loopback port nobody listens on: one the kernel just handed out and
    took back."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def public_callables():
    """(name, function) of every public function, method and property getter
    the package exports."""
    for name in qx318.__all__:
        item = getattr(qx318, name)
        if inspect.isfunction(item):
            yield name, item
        elif inspect.isclass(item) and item.__module__.startswith("qx318"):
            for member_name, member in vars(item).items():
                if member_name.startswith("_") and member_name != "__init__":
                    continue
                if isinstance(member, property):
                    yield f"{name}.{member_name}", member.fget
                elif inspect.isfunction(member):
                    yield f"{name}.{member_name}", member


class PromisesToReaders(unittest.TestCase):
    def test_every_public_function_is_annotated_and_documented(self):
        found = dict(public_callables())
        self.assertIn("Device.write_parameter", found)
        self.assertIn("Port.description", found)
        for name, function in found.items():
            with self.subTest(name):
                signature = inspect.signature(function)
                for parameter in signature.parameters.values():
                    if parameter.name != "self":
                        self.assertIsNot(parameter.annotation, inspect.Parameter.empty,
                                         parameter.name)
                self.assertIsNot(signature.return_annotation, inspect.Signature.empty)
                if not name.endswith("__init__"):
                    self.assertTrue(inspect.getdoc(function), "docstring")

    def test_wheels_ship_the_py_typed_marker(self):
        spec = importlib.util.spec_from_file_location("qx318_backend", BACKEND)
        backend = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(backend)
        shipped = dict(backend._package_files())  # pylint: disable=protected-access
        self.assertIn("qx318/py.typed", shipped)
        self.assertIn("qx318/_errors.py", shipped)

    def test_lead_value_is_the_lead_byte_under_its_old_name(self):
        measurement = qx318.Measurement(lead_byte=5, pairs=[(1, 2)])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.assertEqual(measurement.lead_value, 5)
        self.assertEqual([w.category for w in caught], [DeprecationWarning])


if __name__ == "__main__":
    unittest.main()
