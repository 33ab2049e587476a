"""What `cmake --install` puts under DESTDIR, read as the system reads it:
paths and modes, the settings and list files as -C writes them, the unit
(sandboxed as the one -I writes; systemd-analyze), the man page (man)."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

from harness import BIN, Case
from test_startup import LIST_FILES, expected

BUILD = os.environ.get("NESTRAP_BUILD") or os.path.dirname(BIN)


class InstallTest(Case):
    def test_installed_tree(self):
        dest = tempfile.mkdtemp(prefix="nestrap-dest-")
        self.addCleanup(shutil.rmtree, dest, True)
        subprocess.run(["cmake", "--install", BUILD], env=dict(os.environ, DESTDIR=dest),
                       check=True, capture_output=True)
        prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$",
                           pathlib.Path(BUILD, "CMakeCache.txt").read_text(), re.M).group(1)
        etc, var = ("/etc", "/var") if prefix == "/usr" else (prefix + "/etc", prefix + "/var")
        files = {prefix + "/sbin/nestrap", prefix + "/lib/systemd/system/nestrap.service",
                 prefix + "/lib/sysusers.d/nestrap.conf", prefix + "/lib/tmpfiles.d/nestrap.conf",
                 prefix + "/share/man/man8/nestrap.8",
                 prefix + "/share/bash-completion/completions/nestrap"} | {
                 etc + "/nestrap/" + f for f in ["nestrap.ini"] + LIST_FILES}
        found = {"/" + os.path.relpath(os.path.join(d, f), dest)
                 for d, _, fs in os.walk(dest) for f in fs if "fail2ban" not in d}
        self.assertEqual(found, files)
        for f in files:
            self.assertEqual(os.stat(dest + f).st_mode & 0o7777, 0o755 if "sbin" in f else 0o644)
        read = lambda path: pathlib.Path(dest + path).read_text()  # noqa: E731
        self.assertEqual(read(etc + "/nestrap/nestrap.ini"),
                         expected("default.ini").format(cwd=var + "/log/nestrap"))
        n = self.server(start=False, ini=None)
        self.assertEqual(n.run(["-C"]).returncode, 0)
        for f in LIST_FILES:
            self.assertEqual(read(etc + "/nestrap/" + f), pathlib.Path(n.dir, f).read_text())
        self.assertIn("\nd %s/log/nestrap 0750 nestrap nestrap m:90d\n" % var,
                      read(prefix + "/lib/tmpfiles.d/nestrap.conf"))

        unit = read(prefix + "/lib/systemd/system/nestrap.service")
        lines = set(unit.splitlines())
        for line in ("ExecStart=%s/sbin/nestrap -c %s/nestrap/nestrap.ini" % (prefix, etc),
                     "User=nestrap", "LogsDirectory=nestrap", "ExecReload=/bin/kill -HUP $MAINPID"):
            self.assertIn(line, lines)
        if os.geteuid() == 0:  # -I gives the log directory to the user
            units = tempfile.mkdtemp(dir=n.dir)
            n.env = {"NESTRAP_UNIT_DIR": units, "NESTRAP_SYSTEMCTL": "/bin/true"}
            self.assertEqual(n.run(["-u", "daemon", "-I"]).returncode, 0)
            written = pathlib.Path(units, "nestrap.service").read_text().split("[Service]")[1]
            own = ("ExecStart=", "WorkingDirectory=", "User=", "Group=", "ReadWritePaths=", "[")
            self.assertEqual({l for l in written.splitlines() if l and not l.startswith(own)}
                             - lines, set())

        page = dest + prefix + "/share/man/man8/nestrap.8"
        r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                           env=dict(os.environ, MANWIDTH="80"), timeout=60)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # Verified where systemd would find the program and its man page.
        local = os.path.join(dest, "nestrap.service")
        pathlib.Path(local).write_text(unit.replace("ExecStart=" + prefix,
                                                    "ExecStart=" + dest + prefix))
        os.chmod(local, 0o644)  # systemd warns of a world-writable unit (umask 0 runs)
        self.assertUnitPasses(local, env=dict(os.environ, MANPATH=dest + prefix + "/share/man"))
