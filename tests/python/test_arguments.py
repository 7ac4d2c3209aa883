"""The argument rules of docs/arguments.md, read from the page: every refusal
in the page's words, raised as InvalidArgument before anything reaches the
bus, and the values at each limit accepted."""

import unittest

import qx318
from argument_rules import code_text, group_count_text, read_rules
from simulated_bus import SimulatedBus

RULES = read_rules()
VALUE_RULES = sorted(name for name in RULES if name.startswith("value-"))
# A parameter of its own for each value rule, so that one rule's writes never
# change the width another rule reads with.
FIRST_VALUE_PARAMETER = 40


class ArgumentRules(unittest.TestCase):
    def setUp(self):
        self.bus = SimulatedBus()
        self.addCleanup(self.bus.close)
        self.port = qx318.open_port(self.bus.path)
        self.addCleanup(self.port.close)
        self.dev = self.port.device(3)

    def assert_refused(self, call, rule, **fields):
        with self.assertRaises(qx318.InvalidArgument) as caught:
            call()
        error = caught.exception
        expected = RULES[rule].refusal(**fields)
        self.assertEqual(error.reason_text, expected)
        self.assertIn(expected, str(error))
        self.assertIs(error.reason, qx318.Reason.INVALID_ARGUMENT)
        self.assertIsInstance(error, qx318.DeviceError)
        self.assertIsInstance(error, ValueError, "refusals were ValueErrors before")
        return error

    def refused_code_calls(self, code):
        """Every call that takes a code, with that code."""
        return [("read", lambda: self.dev.read_parameter(code)),
                ("write", lambda: self.dev.write_parameter(code, 0))]

    def test_the_page_has_the_rules_this_test_knows(self):
        self.assertEqual(set(RULES) - set(VALUE_RULES),
                         {"address", "parameter-number", "group-count"})
        self.assertEqual([RULES[name].groups for name in VALUE_RULES], [1, 2, 3])

    def test_address(self):
        rule = RULES["address"]
        for address in (rule.low - 1, rule.high + 1, -1000, 2**40):
            with self.subTest(address=address):
                error = self.assert_refused(lambda: self.port.device(address), "address",
                                            address=address)
                self.assertEqual((error.address, error.port), (address, self.bus.path))
        for address in (rule.low, rule.high):
            self.assertEqual(self.port.device(address).address, address)

    def test_parameter_number(self):
        rule = RULES["parameter-number"]
        for number in (rule.high + 1, 133, 255):
            for name, call in self.refused_code_calls(0x0200 | number):
                with self.subTest(number=number, call=name):
                    self.assert_refused(call, "parameter-number", number=number)
        for number in (rule.low - 1, rule.high + 1):
            with self.subTest(parameter_code=number):
                error = self.assert_refused(lambda: qx318.parameter_code(number),
                                            "parameter-number", number=number)
                self.assertIsNone(error.port)
        # A negative code has the low byte 0xFF.
        self.assert_refused(lambda: self.dev.read_parameter(-1), "parameter-number", number=255)
        # The last number a data byte carries reaches the device (its factory
        # value is its number).
        self.assertEqual(self.dev.read_parameter(qx318.parameter_code(rule.high)), rule.high)

    def test_group_count(self):
        rule = RULES["group-count"]
        for groups in (rule.low - 1, rule.high + 1, 0xFF, 0x102):
            code = groups << 8 | 5
            for name, call in self.refused_code_calls(code):
                with self.subTest(groups=groups, call=name):
                    self.assert_refused(call, "group-count", groups=groups, code=code_text(code))
        for groups in (rule.low - 1, rule.high + 1):
            with self.subTest(parameter_code_groups=groups):
                self.assert_refused(lambda: qx318.parameter_code(5, groups=groups), "group-count",
                                    groups=groups, code=code_text(groups << 8 | 5))
        for groups in (rule.low, rule.high):
            self.assertEqual(qx318.parameter_code(5, groups=groups), groups << 8 | 5)

    def test_values_for_each_group_count(self):
        for index, name in enumerate(VALUE_RULES):
            rule = RULES[name]
            code = qx318.parameter_code(FIRST_VALUE_PARAMETER + index, groups=rule.groups)
            for value in (rule.low - 1, rule.high + 1, 70000):
                with self.subTest(rule=name, value=value):
                    self.assert_refused(lambda: self.dev.write_parameter(code, value), name,
                                        value=value, code=code_text(code),
                                        group_count=group_count_text(rule.groups),
                                        largest=rule.high)
            # Nothing reached the device: the parameter keeps its factory
            # value, in the factory's 2 groups.
            self.assertEqual(self.dev.read_parameter(code & 0xFF | 0x0200),
                             FIRST_VALUE_PARAMETER + index, name)
            for value in (rule.low, rule.high):
                with self.subTest(rule=name, accepted=value):
                    self.dev.write_parameter(code, value)
                    self.assertEqual(self.dev.read_parameter(code), value)

    def test_the_write_that_used_to_store_44(self):
        # 300 in one group would travel as 300 & 0x7F = 44.
        code = 0x0105
        self.assert_refused(lambda: self.dev.write_parameter(code, 300), "value-1-group",
                            value=300, code="0x0105", group_count="1 group", largest=127)
        self.assertEqual(self.dev.read_parameter(0x0205), 5, "parameter 5 untouched")

    def test_refusals_come_before_the_port_is_used(self):
        # On a closed port a call that got as far as the exchange would fail
        # with PortUnavailable; every refusal comes first.
        self.port.close()
        calls = [
            ("parameter-number", lambda: self.dev.read_parameter(0x0285), {"number": 133}),
            ("group-count", lambda: self.dev.write_parameter(0x0405, 1),
             {"groups": 4, "code": "0x0405"}),
            ("value-2-groups", lambda: self.dev.write_parameter(0x0205, 16384),
             {"value": 16384, "code": "0x0205", "group_count": "2 groups", "largest": 16383}),
        ]
        for rule, call, fields in calls:
            with self.subTest(rule):
                self.assert_refused(call, rule, **fields)
        with self.assertRaises(qx318.PortUnavailable):
            self.dev.read_parameter(0x0205)


if __name__ == "__main__":
    unittest.main()
