"""What a kill campaign concludes from what it sees: the stage a killed run
hit, judged from what it left; whether the update client's values still
have their shapes; and the table of the whole campaign. Nothing here
touches Wine or the disk, so each rule can be tried on its own.
"""
import re
import statistics

ARCHIVE = "KORVEN.PACKED.7Z"
CABINET = "SETUP.EX_"
SETUP = "setup.exe"
# The empty file a run writes first into its work directory.
MARKER = "INSTALLER.RUN"
# What the realistic stand-in writes beside itself.
SETUP_OUTPUT = {"setup.log", "unpacked"}

# The stages in the order a run passes them; a kill after the cleanup
# leaves nothing, as one before the work directory does.
NOTHING = "nothing"
EMPTY = "an empty folder"
PARTIAL = "a partial archive"
CABINET_STAGE = "the archive and the cabinet"
SETUP_STAGE = "the setup program"
SETUP_WORK = "what the setup program wrote"
OTHER = "something else"
FINISHED = "(ran to its end before the kill)"
STAGES = [NOTHING, EMPTY, PARTIAL, CABINET_STAGE, SETUP_STAGE, SETUP_WORK,
          OTHER, FINISHED]

WORK_DIRECTORY = re.compile(r"^ZK_[0-9A-F]{5}\.tmp$")


def stage_of(entries, archive_bytes):
    """The stage a killed run hit, from what its work directory holds.

    entries maps each name in the folder to its size, or is None when the
    run left no folder. The cabinet is there from the end of the archive
    until the setup program is expanded from it; the setup program then
    stays until the cleanup, which takes the archive before it, so a
    folder holding the setup program is judged by it alone. What the setup
    program writes beside itself tells that it ran, whatever the cleanup
    has taken of the rest. The run's marker tells nothing.
    """
    if entries is None:
        return NOTHING
    names = set(entries) - {MARKER}
    if not names:
        return EMPTY
    if names & SETUP_OUTPUT and \
            names - SETUP_OUTPUT <= {ARCHIVE, CABINET, SETUP}:
        return SETUP_WORK
    if not names <= {ARCHIVE, CABINET, SETUP}:
        return OTHER
    if CABINET in names:
        return CABINET_STAGE
    if SETUP in names:
        return SETUP_STAGE
    # The archive alone: still being written, or whole with the cabinet not
    # yet begun.
    return PARTIAL if entries[ARCHIVE] < archive_bytes else CABINET_STAGE


def parse_reg_export(text):
    """{name: (kind, data)} from the text `reg export` writes for one key.

    kind is "sz" (data: the string), "dword" (data: the number) or the
    "hex" or "hex(N)" of a value of another type or an unusual size (data:
    the bytes). The default value is named "@".
    """
    values = {}
    logical = []
    for line in text.replace("\r", "").split("\n"):
        if logical and logical[-1].endswith("\\"):
            logical[-1] = logical[-1][:-1] + line.strip()
        else:
            logical.append(line)
    entry = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$')
    for line in logical:
        match = entry.match(line)
        if not match:
            continue
        name, value = match.groups()
        name = "@" if name == "@" else _unescape(name[1:-1])
        if value.startswith('"') and value.endswith('"'):
            values[name] = ("sz", _unescape(value[1:-1]))
        elif value.startswith("dword:"):
            values[name] = ("dword", int(value[6:], 16))
        else:
            kind, _, data = value.partition(":")
            values[name] = (kind, bytes(int(b, 16) for b in data.split(",")
                                        if b))
    return values


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def registry_faults(values, ap_before):
    """What is wrong with the update client's values after a successful run.

    The success record is "ap" = the value before with "-full" appended
    once, "InstallerExtraCode1" = 0x30000 + the deletion retries as a
    four-byte REG_DWORD, and neither "InstallerResult" nor
    "InstallerError"; the key holds nothing else.
    """
    faults = []
    expected_ap = ap_before + "-full"
    ap = values.get("ap")
    if ap != ("sz", expected_ap):
        faults.append('"ap" is %s, not the string "%s"'
                      % (_shown(ap), expected_ap))
    extra = values.get("InstallerExtraCode1")
    if extra is None or extra[0] != "dword" or extra[1] >> 16 != 3:
        faults.append('"InstallerExtraCode1" is %s, not a REG_DWORD '
                      '0x3000N' % _shown(extra))
    for name in sorted(set(values) - {"ap", "InstallerExtraCode1"}):
        faults.append('"%s" is there (%s)' % (name, _shown(values[name])))
    return faults


def _shown(value):
    if value is None:
        return "missing"
    kind, data = value
    if kind == "dword":
        return "dword 0x%x" % data
    if kind == "sz":
        return 'string "%s"' % data
    return "%s %s" % (kind, data.hex(","))


def leftover_faults(entries, held):
    """Why a killed run's folder that is still there after an ordinary run
    should not be; empty when it may stay.

    entries are the names it holds now; held are the names a process that
    was running throughout that run keeps open, each with the marker its
    holder writes beside it. Only such a file, and so its folder, stays,
    with the run's marker that tells a later run to take the rest.
    """
    allowed = {MARKER}
    for name in held:
        allowed |= {name, name + ".held"}
    kept = set(entries) & set(held)
    if not kept:
        return ["left with %s" % (", ".join(sorted(entries)) or "nothing in it")]
    stray = sorted(set(entries) - allowed)
    return ["left with %s beside the held %s" % (", ".join(stray),
                                                ", ".join(sorted(kept)))
            ] if stray else []


def table(kills):
    """The campaign's table, one row a stage: kills, when they struck (ms
    after the start, median and range) and how many of their folders were
    still there after the next ordinary run (of which held by a process).

    kills is a list of dicts with "stage", "at_ms", "left" and "held".
    """
    rows = [("what the killed run left", "kills", "killed at, ms",
             "left after the next run")]
    for stage in STAGES:
        mine = [k for k in kills if k["stage"] == stage]
        if not mine and stage in (OTHER, FINISHED):
            continue
        times = [k["at_ms"] for k in mine]
        when = ("%.0f (%.0f-%.0f)" % (statistics.median(times), min(times),
                                     max(times)) if times else "-")
        left = sum(1 for k in mine if k["left"])
        held = sum(1 for k in mine if k["left"] and k["held"])
        rows.append((stage, str(len(mine)), when,
                     "%d (%d held)" % (left, held) if held else str(left)))
    rows.append(("all", str(len(kills)), "",
                 str(sum(1 for k in kills if k["left"]))))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    return "\n".join(
        "%-*s  %*s  %*s  %*s" % (widths[0], row[0], widths[1], row[1],
                                 widths[2], row[2], widths[3], row[3])
        for row in rows)
