#!/usr/bin/env python3
"""Where one installer run's wall time goes, read from two `perf trace` logs.

    stage_times.py RUN_TRACE SERVER_TRACE

RUN_TRACE is `perf trace -T` of measure_run.exe starting the installer
(clone, execve, exit_group, fsync, pread64 and sched:sched_process_exit
traced);
SERVER_TRACE is `perf trace -T -p` of the Wine server over the same time
(mkdir, openat, unlink, rmdir). Under Wine the server, not the installer's
process, creates, opens and deletes files, so the file events come from
its log and the process events from the run's. Both carry the same clock.
perf trace reads the kernel's syscall tracepoints without stopping the
traced processes, so the run keeps about its untraced pace.

Prints one line of key=milliseconds, each stage from the end of the one
before:
  start        measure_run creates the process .. the work directory is made
  archive      .. the next payload file is created (the archive is complete;
                  the run's empty marker is the first file it makes)
  setup_ready  .. setup.exe is flushed (written or expanded from the cabinet)
  check        .. the last read of setup.exe before the installer starts it:
                  its bytes read back through the writing handle, then again
                  through the hold, and compared
  setup_run    .. the setup program's process has ended (its start included)
  cleanup      .. the work directory is removed
  end          .. the installer's process has ended (report, exit, teardown)
  total        the sum
"""
import re
import sys

# "1234.567 ( 0.091 ms): comm/pid call(args) = result", where the duration
# is blank for calls that do not return and "comm/pid " is absent when a
# single process was traced.
LINE = re.compile(r"^\s*(\d+\.\d+) \(\s*(\d+\.\d+)? *(?:ms)?\): "
                  r"(?:(\S.*?)/(\d+) )?(\S+?)\((.*)$")


def events(path):
    """(start ms, end ms, comm, pid, call, rest) of every complete line."""
    for raw in open(path, encoding="utf-8", errors="replace"):
        match = LINE.match(raw)
        if not match:
            continue
        start = float(match.group(1))
        duration = float(match.group(2)) if match.group(2) else 0.0
        pid = int(match.group(4)) if match.group(4) else 0
        yield (start, start + duration, match.group(3) or "", pid,
               match.group(5), match.group(6))


def main(run_trace, server_trace):
    run = list(events(run_trace))
    server = list(events(server_trace))
    if not run:
        sys.exit("stage_times: nothing in the run trace")

    runner = run[0][3]
    t_start = t_flushed = t_setup = t_end = None
    installer = None
    for start, end, _, pid, call, rest in run:
        if call in ("clone", "clone3", "vfork") and pid == runner:
            if t_start is None and "THREAD" not in rest:
                t_start = start
        elif call == "fsync" and pid != runner:
            t_flushed = end
            installer = pid
        elif call == "sched:sched_process_exit":
            # The event's own comm, not perf's cached one before the pid.
            # Wine starts a program through a short-lived fork of its
            # parent, so the last exit of each name is the program's own.
            exe = re.search(r'comm: "([^"]*)"', rest)
            exe = exe.group(1) if exe else ""
            if exe.startswith("setup"):
                t_setup = start
            elif exe.startswith("installer"):
                t_end = start
    if None in (t_start, t_flushed, t_setup, t_end):
        sys.exit("stage_times: the run trace lacks the process events")

    # Wine reads a file at a given offset with pread64 in the reading
    # process itself; between the flush and the fork that starts the setup
    # program, the installer reads nothing else.
    t_checked = None
    for start, end, _, pid, call, rest in run:
        if pid != installer or start < t_flushed:
            continue
        if call in ("clone", "clone3", "vfork") and "THREAD" not in rest:
            break
        if call == "pread64":
            t_checked = end
    if t_checked is None:
        sys.exit("stage_times: no read of the setup program after its flush")

    t_workdir = t_archive = t_removed = None
    created = 0
    for start, end, _, _, call, rest in server:
        # The server outlives runs: only this run's events count.
        if start < t_start or start > t_end:
            continue
        if call in ("mkdir", "mkdirat") and t_workdir is None:
            t_workdir = end
        elif call == "openat" and "CREAT" in rest and "EXCL" in rest:
            # The run's marker, the archive, then the cabinet: the archive
            # is complete when the third file is made (the trace carries no
            # names to tell them by).
            created += 1
            if created == 3:
                t_archive = start
        elif call == "rmdir" or (call == "unlinkat" and "REMOVEDIR" in rest):
            t_removed = end
    if None in (t_workdir, t_archive, t_removed):
        sys.exit("stage_times: the server trace lacks the file events")

    marks = [("start", t_workdir), ("archive", t_archive),
             ("setup_ready", t_flushed), ("check", t_checked),
             ("setup_run", t_setup),
             ("cleanup", t_removed), ("end", t_end)]
    previous = t_start
    fields = []
    for name, when in marks:
        fields.append("%s=%.1f" % (name, when - previous))
        previous = when
    fields.append("total=%.1f" % (previous - t_start))
    print(" ".join(fields))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
