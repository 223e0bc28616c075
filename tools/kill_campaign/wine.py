"""The campaign's own Wine: one private prefix, one Wine server kept for the
whole campaign, and the Linux processes that belong to that prefix.

A program started as `wine64 PROGRAM` keeps its Linux process id, so
SIGKILL to it ends the Windows process, and the Wine server closes its
handles. The programs it started run on: Wine starts each Windows process
in a session of its own whose parent is gone at once. The campaign makes
itself their subreaper, so they become its children and it can reap them;
it tells its prefix's processes from every other prefix's by their
WINEPREFIX.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import time

PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


class Wine:
    def __init__(self, project, prefix):
        self.project = project
        self.prefix = prefix
        # As tests/wine/run-in-prefix.sh has it: Wine links the user's
        # folders into HOME and writes its menus there, so HOME and the
        # temporary files stay beside the prefix.
        self.home = prefix + "-home"
        self.wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
        server = os.path.join(os.path.dirname(os.path.realpath(self.wine)),
                              "wineserver")
        self.wineserver = server if os.access(server, os.X_OK) else \
            "/usr/lib/wine/wineserver"
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("STAND_IN_", "XDG_"))
               and k not in ("DISPLAY", "WAYLAND_DISPLAY",
                             "TarvoSoftwareUpdateIsMachine")}
        env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                   WINEDLLOVERRIDES="mscoree,mshtml=", HOME=self.home,
                   TMPDIR=os.path.join(self.home, "tmp"))
        self.env = env
        self.server = None

    def unix_path(self, windows_path):
        """C:\\a\\b as a path on this machine."""
        drive, _, rest = windows_path.partition(":\\")
        assert drive.upper() == "C"
        return os.path.join(self.prefix, "drive_c", *rest.split("\\"))

    def create_prefix(self):
        """A fresh prefix, made as the tests make theirs, then one server
        kept running until stop(), so that no run pays for its start."""
        self._kill_server()
        shutil.rmtree(self.prefix, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)
        os.makedirs(self.env["TMPDIR"])
        subprocess.run([os.path.join(self.project, "tests/wine/run-in-prefix.sh"),
                        self.prefix, "cmd", "/c", "exit", "0"],
                       env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self._kill_server()
        self.server = subprocess.Popen([self.wineserver, "-f", "-p"],
                                       env=self.env, start_new_session=True,
                                       stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        # The first program of a server also starts Wine's own services.
        self.call("cmd", "/c", "exit", "0")

    def stop(self):
        self._kill_server()
        if self.server is not None:
            self.server.wait()
            self.server = None
        self.reap()

    def _kill_server(self):
        subprocess.run([self.wineserver, "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([self.wineserver, "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, args, cwd, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.Popen([self.wine] + list(args), cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def call(self, *args):
        """Runs a program to its end; its exit code."""
        process = self.start(args, cwd=self.prefix)
        return process.wait()

    def reg_export(self, key, unix_file):
        """The text `reg export` writes for KEY in the 32-bit view, or None
        when the key is missing."""
        windows_file = "C:\\" + os.path.relpath(
            unix_file, os.path.join(self.prefix, "drive_c")).replace("/", "\\")
        if os.path.exists(unix_file):
            os.remove(unix_file)
        if self.call("reg", "export", key, windows_file, "/reg:32", "/y") != 0:
            return None
        with open(unix_file, "rb") as f:
            return f.read().decode("utf-16")

    def processes(self, names):
        """{pid: name} of this prefix's live processes whose name is one of
        names (zombies are not counted: they hold nothing)."""
        found = {}
        own = ("WINEPREFIX=" + self.prefix).encode()
        for pid in _pids():
            status = _stat(pid)
            if status is None or status[1] == "Z" or status[0] not in names:
                continue
            if own in _environ(pid).split(b"\0"):
                found[pid] = status[0]
        return found

    def reap(self, keep=()):
        """Reaps the campaign's children that have ended, other than those
        it still waits for itself (keep)."""
        me = os.getpid()
        for pid in _pids():
            status = _stat(pid)
            if status and status[1] == "Z" and status[2] == me and \
                    pid not in keep:
                try:
                    os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    pass

    def wait_gone(self, names, timeout, keep=()):
        """Waits until no live process of names is left but those in keep;
        {pid: name} of those still running after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            self.reap(keep)
            left = {pid: name for pid, name in self.processes(names).items()
                    if pid not in keep}
            if not left or time.monotonic() > deadline:
                return left
            time.sleep(0.02)

    @staticmethod
    def alive(pid):
        status = _stat(pid)
        return status is not None and status[1] != "Z"

    @staticmethod
    def has_begun(pid):
        """Whether a process got as far as loading kernel32.dll, which Wine
        does before any of the program's own code runs."""
        try:
            with open("/proc/%d/maps" % pid, "rb") as f:
                return b"/kernel32.dll" in f.read().lower()
        except OSError:
            return True

    @staticmethod
    def kill(pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def _stat(pid):
    """(name, state, parent) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            text = f.read().decode(errors="replace")
    except OSError:
        return None
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return name, fields[0], int(fields[1])


def _environ(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""
