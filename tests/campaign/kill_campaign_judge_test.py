#!/usr/bin/env python3
"""The kill campaign's judgments, each tried on what it must tell apart."""
import os
import sys
import unittest

# Nothing is written beside the sources, not even compiled modules.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "../../tools"))
from kill_campaign import judge  # noqa: E402

FULL = 1000
A, C, S, M = judge.ARCHIVE, judge.CABINET, judge.SETUP, judge.MARKER
LOG = "setup.log"


class StageTest(unittest.TestCase):
    def test_stage_from_what_was_left(self):
        for entries, stage in [
                (None, judge.NOTHING),
                ({}, judge.EMPTY),
                ({A: 0}, judge.PARTIAL),
                ({A: FULL - 1}, judge.PARTIAL),
                ({A: FULL}, judge.CABINET_STAGE),
                ({A: FULL, C: 10}, judge.CABINET_STAGE),
                ({M: 0}, judge.EMPTY),
                ({M: 0, A: FULL - 1}, judge.PARTIAL),
                # The setup program half expanded: the cabinet is still there.
                ({A: FULL, C: 10, S: 5}, judge.CABINET_STAGE),
                ({A: FULL, S: 5}, judge.SETUP_STAGE),
                # The cleanup has taken the archive.
                ({S: 5}, judge.SETUP_STAGE),
                ({M: 0, A: FULL, S: 5, LOG: 9, "unpacked": 0},
                 judge.SETUP_WORK),
                # The cleanup has taken all but the setup program's log.
                ({LOG: 9}, judge.SETUP_WORK),
                ({A: FULL, LOG: 9, "notes.txt": 1}, judge.OTHER),
                ({A: FULL, "notes.txt": 1}, judge.OTHER)]:
            with self.subTest(entries=entries):
                self.assertEqual(judge.stage_of(entries, FULL), stage)


EXPORT = ('\ufeffWindows Registry Editor Version 5.00\r\n\r\n'
          '[HKEY_CURRENT_USER\\Software\\Quenby\\Update\\ClientState\\{G}]\r\n'
          '%s\r\n\r\n')


class RegistryTest(unittest.TestCase):
    def faults(self, *lines):
        values = judge.parse_reg_export(EXPORT % "\r\n".join(lines))
        return judge.registry_faults(values, "x64-stable")

    def test_success_record(self):
        for extra in ("00030000", "00030063"):
            with self.subTest(extra=extra):
                self.assertEqual(self.faults('"ap"="x64-stable-full"',
                                             '"InstallerExtraCode1"=dword:'
                                             + extra), [])

    def test_each_corruption_is_named(self):
        good_ap = '"ap"="x64-stable-full"'
        good_extra = '"InstallerExtraCode1"=dword:00030000'
        for lines, named in [
                (['"ap"="x64-stable-full-full"', good_extra], '"ap"'),
                (['"ap"="x64-stable"', good_extra], '"ap"'),
                ([good_extra], '"ap" is missing'),
                (['"ap"=hex(2):78,00,00,00', good_extra], "hex(2) 78,00"),
                ([good_ap, '"InstallerExtraCode1"=dword:00000000'], "0x0"),
                # A REG_DWORD of two bytes, and one split over two lines.
                ([good_ap, '"InstallerExtraCode1"=hex(4):00,03'], "hex(4)"),
                ([good_ap, '"InstallerExtraCode1"=hex(4):00,00,03,00,\\',
                  '  00'], "00,00,03,00,00"),
                ([good_ap, good_extra, '"InstallerResult"=dword:00000001'],
                 '"InstallerResult" is there')]:
            with self.subTest(lines=lines):
                faults = self.faults(*lines)
                self.assertEqual(len(faults), 1, faults)
                self.assertIn(named, faults[0])

    def test_escaped_names_and_strings(self):
        values = judge.parse_reg_export(
            EXPORT % '"a \\"b\\""="c:\\\\d"\r\n@="x"')
        self.assertEqual(values, {'a "b"': ("sz", "c:\\d"), "@": ("sz", "x")})


class LeftoverTest(unittest.TestCase):
    def test_only_a_held_file_keeps_its_folder(self):
        for entries, held, allowed in [
                ([A, A + ".held"], [A], True),
                ([S, S + ".held"], [S], True),
                ([A, A + ".held", S], [A], False),
                ([M, LOG, LOG + ".held"], [LOG], True),
                ([M, LOG, LOG + ".held", "unpacked"], [LOG], False),
                ([M], [], False),
                ([A], [], False),
                ([], [], False),
                # The holder's marker without what it held.
                ([A + ".held"], [A], False)]:
            with self.subTest(entries=entries, held=held):
                self.assertEqual(judge.leftover_faults(entries, held) == [],
                                 allowed)


if __name__ == "__main__":
    unittest.main()
