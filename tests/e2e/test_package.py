"""The Debian packages: tarvex (the program) and tarvex-desktop (the window module,
menu entry and icon), built with cpack from the build folder, their contents and
dependencies checked; the program's package installed alone with dpkg,
/usr/bin/tarvex run (--version, and a headless run without sending as an
unprivileged user), then the desktop package beside it, and both removed again. It
changes the system's installed packages, so it runs only as root; elsewhere it is
skipped."""

import configparser
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarvex_e2e import cp932_macro  # noqa: E402
from xvfb_display import read_png_size  # noqa: E402
from test_install import USER_ID, as_user, user_folder, write_as_user  # noqa: E402

MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                           text=True).stdout.strip() or "x86_64-linux-gnu"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
BUILD = os.environ.get("TARVEX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))


def dpkg(*args):
    """dpkg, waiting while another package run holds its lock."""
    for _ in range(180):
        proc = subprocess.run(["dpkg", *args], capture_output=True, text=True)
        if proc.returncode == 0 or "lock" not in proc.stderr:
            return proc
        time.sleep(5)
    return proc


def installed(package="tarvex"):
    return subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True,
                          text=True).stdout.startswith("install ok")


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg") and shutil.which("dpkg-shlibdeps"),
                     "building and installing the package needs root, dpkg and dpkg-shlibdeps: skipped")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if installed() or installed("tarvex-desktop"):
            raise unittest.SkipTest("a tarvex package is installed already; it is left alone: skipped")
        cls.out = tempfile.mkdtemp(prefix="tarvex-deb-")
        subprocess.run(["cpack", "-G", "DEB", "-B", cls.out, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, capture_output=True)
        debs = sorted(n for n in os.listdir(cls.out) if n.endswith(".deb"))
        assert len(debs) == 2, debs
        cls.desktop_deb, cls.deb = (os.path.join(cls.out, n) for n in debs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def field(self, name, deb=None):
        return subprocess.run(["dpkg-deb", "-f", deb or self.deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_names_contents_and_dependencies(self):
        version = self.field("Version")
        # The TLS and IDNA libraries are opened at run time, so the dependency scan
        # cannot see them: the core package must still name them. The toolkit belongs
        # to the window alone.
        icons = ["./usr/share/icons/hicolor/%dx%d/apps/tarvex.png" % (n, n) for n in ICON_SIZES]
        cases = [
            (self.deb, "tarvex", ["libc6", "libssl3", "libidn2-0"], ["libqt6"],
             ["./usr/bin/tarvex", "./usr/share/man/man1/tarvex.1.gz", "./usr/share/doc/tarvex/changelog.gz",
              "./usr/share/doc/tarvex/copyright", "./usr/share/doc/tarvex/NEWS.gz"]),
            (self.desktop_deb, "tarvex-desktop", ["tarvex (= %s)" % version, "libqt6widgets6"], ["libssl"],
             ["./usr/lib/%s/tarvex/tarvex-window.so" % MULTIARCH, "./usr/share/applications/tarvex.desktop",
              "./usr/share/icons/hicolor/scalable/apps/tarvex.svg", "./usr/share/doc/tarvex-desktop/changelog.gz",
              "./usr/share/doc/tarvex-desktop/copyright", "./usr/share/lintian/overrides/tarvex-desktop"] + icons),
        ]
        summaries = []
        for deb, package, needs, not_needed, paths in cases:
            with self.subTest(package=package):
                self.assertEqual(os.path.basename(deb), "%s_%s_amd64.deb" % (package, version))
                self.assertEqual(self.field("Package", deb), package)
                self.assertEqual(self.field("Version", deb), version)
                depends = self.field("Depends", deb)
                for library in needs:
                    self.assertIn(library, depends)
                for library in not_needed:
                    self.assertNotIn(library, depends)
                files = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                       check=True).stdout
                listed = [line.split()[-1] for line in files.splitlines() if not line.endswith("/")]
                self.assertEqual(sorted(listed), sorted(paths))
                # A summary and a long description of its own; the module is private, so
                # nothing runs the library cache's tool.
                summary, _, long_description = self.field("Description", deb).partition("\n")
                self.assertGreater(len(long_description.splitlines()), 3, long_description)
                self.assertNotIn(summary, summaries)
                summaries.append(summary)
                control = subprocess.run(["dpkg-deb", "-I", deb], capture_output=True, text=True).stdout
                self.assertNotIn("postinst", control)
        self.assertEqual(self.field("Recommends", self.desktop_deb), "qt6-wayland")

    @unittest.skipUnless(shutil.which("lintian"), "needs lintian (Debian's package checker)")
    def test_lintian_finds_no_error_and_no_warning(self):
        # The one warning the packages would get (the menu entry's command is in the
        # other package) is overridden in tarvex-desktop and explained in the README.
        for deb in (self.deb, self.desktop_deb):
            with self.subTest(deb=os.path.basename(deb)):
                check = subprocess.run(["lintian", "--no-cfg", "--fail-on", "none", deb], capture_output=True,
                                       text=True, timeout=300)
                self.assertEqual(check.returncode, 0, check.stderr)
                tags = [line for line in check.stdout.splitlines() if line[:2] in ("E:", "W:")]
                self.assertEqual(tags, [], check.stdout)

    def test_desktop_entry(self):
        folder = tempfile.mkdtemp(prefix="tarvex-desktop-")
        try:
            subprocess.run(["dpkg-deb", "-x", self.desktop_deb, folder], check=True)
            path = os.path.join(folder, "usr/share/applications/tarvex.desktop")
            entry = configparser.RawConfigParser(strict=True)
            entry.optionxform = str
            entry.read(path, encoding="utf-8")
            e = entry["Desktop Entry"]
            self.assertEqual(e["Type"], "Application")
            self.assertEqual(e["Exec"], "tarvex %f")
            self.assertEqual(e["Icon"], "tarvex")
            for key in ("Name", "Name[ja]", "Comment[ja]"):
                self.assertTrue(e[key])
            self.assertEqual(set(e["Categories"].strip(";").split(";")), {"Network", "Email"})
            if shutil.which("desktop-file-validate"):
                check = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            with open(os.path.join(folder, "usr/share/icons/hicolor/scalable/apps/tarvex.svg")) as f:
                svg = f.read()
            self.assertIn("<svg", svg)
            for n in ICON_SIZES:
                self.assertEqual(read_png_size(os.path.join(folder, "usr/share/icons/hicolor/%dx%d/apps/tarvex.png"
                                                            % (n, n))), (n, n))
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def test_install_run_and_remove(self):
        proc = dpkg("-i", self.deb)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        try:
            version = subprocess.run(["/usr/bin/tarvex", "--version"], capture_output=True, text=True)
            self.assertEqual(version.returncode, 0, version.stderr)
            self.assertIn(self.field("Version"), version.stdout)
            with user_folder("tarvex-home-") as home, user_folder("tarvex-work-") as work:
                write_as_user(os.path.join(work, "mail.txt"), cp932_macro(
                    ["to:", "taro@example.jp", "subject:", "パッケージ", "reply-to:", "me@example.jp", "body:", "本文",
                     "action:", "send", "end"]))
                run = as_user(["/usr/bin/tarvex", "--headless", "--dump", "out.eml", "--no-send", "mail.txt"], work,
                              home)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertTrue(os.path.exists(os.path.join(home, ".config", "tarvex", "tarvex.INI")))
                self.assertEqual(os.stat(os.path.join(work, "out.eml")).st_uid, USER_ID)
            # The window's package goes beside the program's and puts the module
            # where the installed program looks for it.
            proc = dpkg("-i", self.desktop_deb)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            self.assertTrue(os.path.exists("/usr/lib/%s/tarvex/tarvex-window.so" % MULTIARCH))
        finally:
            proc = dpkg("-r", "tarvex-desktop", "tarvex")
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertFalse(os.path.exists("/usr/bin/tarvex"))
        self.assertFalse(installed())
        self.assertFalse(installed("tarvex-desktop"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
