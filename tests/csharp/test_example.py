"""The C# declarations (examples/csharp/Qx318.cs) and the example program
using them, run with Mono against the Linux library: the declarations
against the C header, the export list and what a C caller sees; the example
against qx318-sim, every printed value checked against the simulated
device; and the example's failures."""

import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
HEADER = SOURCE / "include" / "QX318_RS485.h"
EXPORTS = SOURCE / "include" / "QX318_RS485.def"
WITH_SIM = SOURCE / "tests" / "windows" / "with_qx318_sim.py"

MONO = os.environ.get("QX318_MONO", "mono")
SIMULATOR = os.environ.get("QX318_SIM", "")
EXAMPLE = os.environ.get("QX318_CSHARP_EXAMPLE", "")
DECLARATIONS = os.environ.get("QX318_CSHARP_DECLARATIONS", "")
C_REFERENCE = os.environ.get("QX318_C_REFERENCE", "")

# A run never waits long: the slowest step is one 1.1 s time-out.
RUN_TIMEOUT_SECONDS = 60

# The bus of the every-command run: one device at address 1 (the example's
# default), a small image and measurement, and a flash whose parameter 5 and
# angle differ from the factory values (docs/simulator.md).
ROWS, ROW_LENGTH, PAIRS = 6, 9, 3
MODEL, FIRMWARE, SERIAL_OF_DEVICE_1 = 318, 12, 3180001
FLASH_PARAMETER_5 = 300
FLASH_ANGLE = -305419896  # below -2^24: a sign or width slip shows
WHITE = 127
BITS_PER_PIXEL = 7
FROZEN_BIT = 0x40
X_FIRST, X_LAST = 0, 16383
Z_LIMIT = 1 << 14
EXAMPLE_EMPTY_ADDRESS = 31
FLASH_STATE = """{
  "format": "qx318-sim-state",
  "version": 1,
  "devices": [
    {"address": 1, "angle": %d, "parameters": {"5": {"groups": 2, "value": %d}}}
  ]
}
""" % (FLASH_ANGLE, FLASH_PARAMETER_5)

# How C types of the header's signatures reach C#: by value as the type of
# the same width and sign, out-parameters as ref/out (&), the caller's
# arrays (names ending in s_out) as arrays; strings go in as string, but come
# back as IntPtr (never string: the marshaller would free the library's
# memory).
CSHARP_PARAMETER = {
    "PortHandle": "System.IntPtr",
    "PortHandle *": "System.IntPtr&",
    "int32_t": "System.Int32",
    "int32_t *": "System.Int32&",
    "uint32_t": "System.UInt32",
    "ParameterCode": "System.UInt16",
    "uint16_t": "System.UInt16",
    "uint16_t *": "System.UInt16&",
    "uint16_t *[]": "System.UInt16[]",
    "uint8_t *[]": "System.Byte[]",
    "const char *": "System.String",
    "HelloAnswer *": "Qx318Rs485.HelloAnswer&",
    "MeasureHeader *": "Qx318Rs485.MeasureHeader&",
    "ImageHeader *": "Qx318Rs485.ImageHeader&",
}
CSHARP_RETURN = {"int32_t": "System.Int32", "const char *": "System.IntPtr"}


def run(command, timeout=RUN_TIMEOUT_SECONDS):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def run_on_bus(sim_options, example_arguments=()):
    """The example against a qx318-sim started for it by the Windows suites'
    harness, on a link in a scratch folder, starting from FLASH_STATE."""
    with tempfile.TemporaryDirectory(prefix="qx318-cs-") as folder:
        link = os.path.join(folder, "bus")
        state = os.path.join(folder, "flash.json")
        Path(state).write_text(FLASH_STATE, encoding="utf-8")
        harness = [sys.executable, str(WITH_SIM), "--link", link, "--qx318-sim", SIMULATOR,
                   "--state", state] + [f"--sim-option={option}" for option in sim_options]
        return run(harness + ["--", MONO, EXAMPLE, link, *example_arguments])


def header_failure_codes():
    text = HEADER.read_text(encoding="utf-8")
    return {name: int(value) for name, value in re.findall(r"#define QX318_FAIL_(\w+) (\d+)", text)}


def header_functions():
    """{name: (return type, [parameter types])} of the header's exports; an
    array parameter's type is marked with []."""
    text = HEADER.read_text(encoding="utf-8")
    functions = {}
    for returned, name, parameters in re.findall(
            r"QX318_API\s+(.+?)\s*QX318_CALL\s+(QX318_\w+)\(([^)]*)\);", text):
        types = []
        for parameter in filter(None, (p.strip() for p in parameters.split(","))):
            if parameter == "void":
                continue
            kind, parameter_name = re.match(r"(.+?)\s*(\w+)$", parameter).groups()
            kind = re.sub(r"\s*\*", " *", kind)
            types.append(kind + ("[]" if parameter_name.endswith("s_out") else ""))
        functions[name] = (re.sub(r"\s*\*", " *", returned), types)
    return functions


def exported_names():
    text = EXPORTS.read_text(encoding="utf-8")
    return set(re.findall(r"^\s+(QX318_\w+)\s*$", text, re.MULTILINE))


def comparable(name):
    """A C field or reason name and its C# name compare equal: value1 and
    Value1, lead_byte and LeadByte, NO_ANSWER and NoAnswer."""
    return name.replace("_", "").lower()


def facts(output, kind):
    return [line.split(" ", 1)[1] for line in output.splitlines() if line.startswith(kind + " ")]


class Declarations(unittest.TestCase):
    """Qx318.cs as Mono marshals it, against the C side."""

    @classmethod
    def setUpClass(cls):
        csharp = run([MONO, DECLARATIONS])
        cls.csharp_status, cls.csharp = csharp.returncode, csharp.stdout
        cls.csharp_errors = csharp.stderr
        c = run([C_REFERENCE])
        if c.returncode != 0:
            raise RuntimeError(f"{C_REFERENCE} failed: {c.stderr}")
        cls.c = c.stdout

    def test_records_have_the_c_sizes_and_offsets(self):
        for kind in ("size", "offset"):
            with self.subTest(kind):
                c = [comparable(line) for line in facts(self.c, kind)]
                csharp = [comparable(line) for line in facts(self.csharp, kind)]
                self.assertTrue(c)
                self.assertEqual(csharp, c)
        self.assertEqual(facts(self.c, "size"),
                         ["HelloAnswer 16", "MeasureHeader 4", "ImageHeader 8"])

    def test_failure_reasons_are_the_headers(self):
        codes = {comparable(name): value for name, value in header_failure_codes().items()}
        declared = {}
        for line in facts(self.csharp, "failure"):
            name, value = line.split()
            declared[comparable(name)] = int(value)
        self.assertEqual(len(codes), 29)
        self.assertEqual(declared, codes)

    def test_failure_texts_read_as_c_reads_them(self):
        c = facts(self.c, "text")
        self.assertEqual(len(c), len(header_failure_codes()) + 1, "every reason and an unknown one")
        self.assertEqual(facts(self.csharp, "text"), c)

    def test_every_export_declared_with_the_headers_types(self):
        imports = {}
        for line in facts(self.csharp, "import"):
            name, library, convention, returned, parameters = re.fullmatch(
                r"(\w+) (\S+) (\w+) returns (\S+) takes \((.*)\)", line).groups()
            imports[name] = (library, convention, returned,
                             parameters.split(", ") if parameters else [])
        functions = header_functions()
        self.assertEqual(len(functions), 19)
        self.assertEqual(set(functions), exported_names())
        self.assertEqual(set(imports), set(functions))
        for name, (returned, parameters) in functions.items():
            with self.subTest(name):
                self.assertEqual(imports[name], (
                    "QX318_RS485.dll", "StdCall", CSHARP_RETURN[returned],
                    [CSHARP_PARAMETER[kind] for kind in parameters]))

    def test_every_import_resolves_in_the_library(self):
        self.assertNotIn("unresolved", self.csharp)
        self.assertEqual(self.csharp_status, 0, self.csharp_errors)


class Example(unittest.TestCase):
    """The example on a simulated bus, every line it prints checked."""

    @classmethod
    def setUpClass(cls):
        cls.result = run_on_bus([f"--rows={ROWS}", f"--row-length={ROW_LENGTH}",
                                 f"--pairs={PAIRS}"])
        cls.lines = cls.result.stdout.splitlines()
        cls.c_sizes = dict(line.split() for line in facts(run([C_REFERENCE]).stdout, "size"))

    def expect(self, number, pattern):
        """Line number of the output matches pattern; its groups as numbers."""
        self.assertGreater(len(self.lines), number, self.result.stdout + self.result.stderr)
        match = re.fullmatch(pattern, self.lines[number])
        self.assertIsNotNone(match, f"line {number}: {self.lines[number]!r} !~ {pattern!r}")
        return [int(group) for group in match.groups()]

    def pairs(self, text):
        return [tuple(map(int, pair)) for pair in re.findall(r"\((\d+), (\d+)\)", text)]

    def check_measurement(self, number, what, frozen):
        lead, count = self.expect(number,
                                  what + r": lead byte (\d+), (\d+) pairs:(?: \(\d+, \d+\))*")
        self.assertEqual(count, PAIRS)
        self.assertLess(lead, 128)
        self.assertEqual(bool(lead & FROZEN_BIT), frozen, f"lead byte {lead}")
        pairs = self.pairs(self.lines[number])
        self.assertEqual(len(pairs), PAIRS)
        xs = [x for x, _ in pairs]
        self.assertEqual((xs[0], xs[-1]), (X_FIRST, X_LAST))
        self.assertEqual(xs, sorted(set(xs)))
        self.assertTrue(all(z < Z_LIMIT for _, z in pairs), pairs)

    def test_runs_clean(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(self.result.stderr, "")
        self.assertEqual(len(self.lines), 17, self.result.stdout)

    def test_record_sizes_are_the_c_headers(self):
        sizes = self.expect(0, r"record sizes: HelloAnswer (\d+), MeasureHeader (\d+), "
                               r"ImageHeader (\d+)")
        self.assertEqual(sizes, [int(self.c_sizes[record])
                                 for record in ("HelloAnswer", "MeasureHeader", "ImageHeader")])
        self.assertEqual(sizes, [16, 4, 8])
        self.assertEqual(self.lines[1], f"opened {self.lines[1].split(' ', 1)[1]}")

    def test_hello(self):
        self.assertEqual(self.expect(2, r"hello: value1 (\d+), value2 (\d+), value3 (\d+), "
                                        r"value4 (\d+), value5 (\d+), value6 (\d+), value7 (\d+)"),
                         [MODEL, FIRMWARE, SERIAL_OF_DEVICE_1, ROWS, ROW_LENGTH, PAIRS, 1])

    def test_parameter_written_restored_and_saved(self):
        written = FLASH_PARAMETER_5 ^ 1
        self.assertEqual(self.expect(3, r"parameter 0x0205: (\d+)"), [FLASH_PARAMETER_5])
        self.assertEqual(self.expect(4, r"parameter 0x0205 after writing (\d+): (\d+)"),
                         [written, written])
        self.assertEqual(self.expect(5, r"parameter 0x0205 after restoring from flash: (\d+)"),
                         [FLASH_PARAMETER_5])
        self.expect(6, r"parameters saved to flash")

    def test_measurement_then_locked(self):
        self.check_measurement(7, "measurement", frozen=False)
        self.expect(8, r"lock result sent")
        self.check_measurement(9, "measurement after lock result", frozen=True)

    def test_image(self):
        rows, row_length, word3, word4 = self.expect(
            10, r"image: (\d+) rows of (\d+) pixels, word3 (\d+), word4 (\d+); first row:[ \d]*")
        self.assertEqual((rows, row_length, word3, word4), (ROWS, ROW_LENGTH, 0, BITS_PER_PIXEL))
        first_row = self.lines[10].split("first row: ")[1].split()
        self.assertEqual(first_row, [str(WHITE)] * ROW_LENGTH, "the white border")

    def test_rotation_restored_and_saved(self):
        (rotated,) = self.expect(11, r"rotation: angle (-?\d+)")
        self.assertEqual(self.expect(12, r"rotation angle: (-?\d+)"), [rotated])
        self.assertEqual(self.expect(13, r"rotation angle after restoring from flash: (-?\d+)"),
                         [FLASH_ANGLE])
        self.expect(14, r"angle saved to flash")

    def test_failure_reason_of_an_empty_address(self):
        text = facts(run([C_REFERENCE]).stdout, "text")[header_failure_codes()["NO_ANSWER"]]
        reason, sentence = text.split(" ", 1)
        self.expect(15, rf"hello to address {EXAMPLE_EMPTY_ADDRESS} failed: NoAnswer \({reason}\): "
                        rf"{re.escape(sentence)} \[.+\]")
        self.expect(16, r"closed")


class ExampleFailures(unittest.TestCase):
    """A call that fails: the example names the function, the reason, its
    sentence and figures, closes the port it opened and exits with 1; a wrong
    command line exits with 2."""

    def test_each_failure(self):
        codes = header_failure_codes()
        texts = dict(line.split(" ", 1) for line in facts(run([C_REFERENCE]).stdout, "text"))
        missing_port = os.path.join(tempfile.gettempdir(), "qx318-cs-no-such-port")
        # (case, run, exit status, function named, reason, its header name,
        # whether the port was open and is closed again)
        cases = [
            ("no device at the address", lambda: run_on_bus(["--address=2"]),
             1, "QX318_HelloCmd", "NoAnswer", "NO_ANSWER", True),
            ("no such port", lambda: run([MONO, EXAMPLE, missing_port]),
             1, "QX318_OpenPort", "NotFound", "NOT_FOUND", False),
            ("no port named", lambda: run([MONO, EXAMPLE]), 2, None, None, None, False),
            ("an address that is no number", lambda: run([MONO, EXAMPLE, missing_port, "one"]),
             2, None, None, None, False),
        ]
        for name, start, status, function, reason, code_name, closes in cases:
            with self.subTest(name):
                result = start()
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                if function is None:
                    self.assertRegex(result.stderr, r"^usage: ")
                    continue
                code = codes[code_name]
                self.assertRegex(result.stderr.strip(),
                                 rf"^{function} failed: {reason} \({code}\): "
                                 rf"{re.escape(texts[str(code)])} \[.+\]$")
                self.assertEqual(result.stdout.splitlines()[-1] == "closed", closes,
                                 result.stdout)


if __name__ == "__main__":
    unittest.main()
