#!/usr/bin/env python3
"""Tries the Windows installer in a fresh Wine prefix, as an administrator would use it.

  msi_test.py MSI NEXT_MSI

MSI is Amberline-<version>-x64.msi, NEXT_MSI the same installer with the next version. Checks:
  - `msiexec /i MSI /qn` exits 0 and puts every file where it belongs, the 64-bit stage under
    Program Files, the 32-bit one under Program Files (x86), the SDK under Program Files\\...\\sdk,
    the Start menu shortcuts;
  - the camera's rows are in both registry views (the 32-bit view's naming the 32-bit
    module), the bridge agent is in the machine's Run key;
  - the rows equal what the installed modules' own DllRegisterServer writes: after
    `regsvr32 /u` and `regsvr32` of the installed modules the registry is the same again;
  - Wine's device enumerator lists "Trelvox Amberline" to the installed amberline-capture,
    whose graph records the installed producer's picture;
  - NEXT_MSI replaces the installation in place (one product, the new version), and MSI
    then refuses to replace NEXT_MSI's installation;
  - `msiexec /x NEXT_MSI /qn` exits 0 and leaves no file and no registry row the
    installation made (HKEY_LOCAL_MACHINE\\Software compared before and after).
Prints one line per check; exits 1 with what failed.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "packaging", "msi"))
import registry_export  # noqa: E402

CLSID = "{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}"
NAME = "Trelvox Amberline"
CATEGORY = "Software\\Classes\\CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\" + NAME
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
COLOUR = (200, 40, 90)  # the producer's picture, one colour: its centre is what the camera must show
TIMEOUT = 120  # seconds any one Wine program may take

failures = []


def check(ok, what):
    print("%s: %s" % ("ok" if ok else "FAILED", what))
    if not ok:
        failures.append(what)
    return ok


class Prefix:
    """A Wine prefix of its own, made on first use (scripts/wine-run.sh)."""

    def __init__(self, folder):
        self.folder = folder
        self.env = dict(os.environ, WINEPREFIX=folder)
        self.wine = [os.path.join(HERE, "..", "..", "scripts", "wine-run.sh"), folder]
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"

    def run(self, *args, timeout=TIMEOUT):
        try:
            done = subprocess.run(self.wine + list(args), env=self.env, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return 124, "", "%s did not end within %d s" % (args[0], timeout)
        return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")

    def start(self, *args):
        return subprocess.Popen(self.wine + list(args), env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def settle(self):
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=TIMEOUT)

    def kill(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, timeout=TIMEOUT)

    def drive(self, windows_path):
        return os.path.join(self.folder, "drive_c", windows_path[3:].replace("\\", "/"))

    def registry(self, name, timeout=TIMEOUT):
        """The machine's registry below HKEY_LOCAL_MACHINE\\Software as rows, exported to C:\\name."""
        path = registry_export.export_software(self.folder, name, timeout)
        return registry_export.without_machine_state(registry_export.read_rows(path))


def exists(path):
    """Whether a file is there as Windows would find it: any case in every name."""
    folder = "/"
    for part in path.strip("/").split("/"):
        if not os.path.isdir(folder):
            return False
        match = next((n for n in os.listdir(folder) if n.lower() == part.lower()), None)
        if match is None:
            return False
        folder = os.path.join(folder, match)
    return os.path.isfile(folder)


def values(rows, key):
    return {r[1]: (r[2], r[3]) for r in rows if r[0].lower() == key.lower() and r[2] != "key"}


def same_files(source, installed):
    with open(source, "rb") as a, open(installed, "rb") as b:
        return a.read() == b.read()


def centre_pixel(png):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, timeout=60).stdout
    width, height = 640, 480
    if len(raw) != width * height * 3:
        return None
    i = ((height // 2) * width + width // 2) * 3
    return tuple(raw[i:i + 3])


def main():
    if len(sys.argv) != 3:
        print("usage: msi_test.py MSI NEXT_MSI", file=sys.stderr)
        return 2
    msi, next_msi = (os.path.abspath(p) for p in sys.argv[1:])
    for path in (msi, next_msi):
        if not os.path.isfile(path):
            print("msi_test: %s does not exist" % path, file=sys.stderr)
            return 1
    work = tempfile.mkdtemp(prefix="amberline-msi-")
    prefix = Prefix(os.path.join(work, "wineprefix"))
    try:
        return trial(prefix, work, msi, next_msi)
    finally:
        prefix.kill()
        shutil.rmtree(work, ignore_errors=True)


def trial(prefix, work, msi, next_msi):
    # The first export makes the prefix.
    e0 = prefix.registry("e0.reg", timeout=300)
    prefix.settle()
    if not check(os.path.isfile(os.path.join(prefix.folder, "system.reg")), "a fresh Wine prefix"):
        return 1
    pf64 = "C:\\Program Files\\Amberline\\"
    pf32 = "C:\\Program Files (x86)\\Amberline\\"
    # A per-machine installation's shortcuts belong in the common Start menu; Wine's
    # msiexec puts them in the user's.
    menus = [prefix.drive("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Amberline"),
             prefix.drive("C:\\users\\%s\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Amberline"
                          % os.environ.get("USER", "root"))]

    code, _, err = prefix.run("msiexec", "/i", msi, "/qn")
    prefix.settle()
    if not check(code == 0, "msiexec /i %s /qn exits 0 (it exited %d)" % (os.path.basename(msi), code)):
        return 1
    e1 = prefix.registry("e1.reg")

    # Files: the installer's own table names each one; every one is where it belongs.
    table = subprocess.run(["msiinfo", "export", msi, "File"], capture_output=True, text=True).stdout
    file_count = len(table.splitlines()) - 3
    expected = ["Bin\\amberline.dll", "Bin\\amberline-mf.dll", "Bin\\amberline-vcam.exe", "Bin\\amberline_sender.dll",
                "Bin\\amberline-producer.exe", "Bin\\amberline-capture.exe", "Bin\\amberline-regsvr.exe",
                "Data\\Images\\VideoSrc\\PleaseStart.png", "data\\effect_data\\logo\\logo.png",
                "sdk\\Bin\\amberline_sender.dll", "sdk\\include\\amberline\\sender.h",
                "sdk\\lib\\libamberline_sender.dll.a", "sdk\\lib\\pkgconfig\\amberline-sender.pc",
                "sdk\\lib\\cmake\\AmberlineSender\\AmberlineSenderConfig.cmake", "sdk\\python\\amberline\\__init__.py"]
    expected32 = ["Bin\\amberline.dll", "Bin\\amberline_sender.dll", "Data\\Images\\VideoSrc\\PleaseStart.png",
                  "data\\effect_data\\logo\\logo.png"]
    missing = [pf64 + f for f in expected if not exists(prefix.drive(pf64 + f))]
    missing += [pf32 + f for f in expected32 if not exists(prefix.drive(pf32 + f))]
    check(not missing, "every file installed (missing: %s)" % (", ".join(missing) or "none"))
    check(file_count == len(expected) + len(expected32),
          "the installer carries exactly the %d files listed here (it has %d)" % (len(expected) + len(expected32),
                                                                                 file_count))
    check(not same_files(prefix.drive(pf64 + "Bin\\amberline.dll"), prefix.drive(pf32 + "Bin\\amberline.dll")),
          "Program Files (x86) holds the 32-bit camera, not a second copy of the 64-bit one")
    menu = next((m for m in menus if os.path.isdir(m)), None)
    links = sorted(os.listdir(menu)) if menu else []
    check(links == ["Amberline diagnosis.lnk", "Amberline producer.lnk"],
          "the Start menu holds the producer and the diagnosis (%s in %s)" % (", ".join(links), menu))

    # Registry: both views, the bridge agent.
    camera64 = values(e1, "Software\\Classes\\CLSID\\%s\\InprocServer32" % CLSID)
    camera32 = values(e1, "Software\\Wow6432Node\\Classes\\CLSID\\%s\\InprocServer32" % CLSID)
    check(camera64.get("") == ("string", pf64 + "Bin\\amberline.dll") and
          camera64.get("ThreadingModel") == ("string", "Both"), "the 64-bit view's class key names the 64-bit camera")
    check(camera32.get("") == ("string", pf32 + "Bin\\amberline.dll") and
          camera32.get("ThreadingModel") == ("string", "Both"), "the 32-bit view's class key names the 32-bit camera")
    entry64 = values(e1, CATEGORY)
    entry32 = values(e1, CATEGORY.replace("Software\\Classes", "Software\\Wow6432Node\\Classes"))
    check(entry64.get("FriendlyName") == ("string", NAME) and entry64.get("CLSID") == ("string", CLSID) and
          entry64.get("FilterData", ("", ""))[0] == "binary",
          "the video input category lists the camera with its filter data (64-bit view)")
    check(entry32 == entry64, "the 32-bit view's category entry is the same")
    check(values(e1, RUN_KEY).get("Amberline Bridge") ==
          ("string", '"%sBin\\amberline-vcam.exe" --bridge' % pf64), "the bridge agent starts at every user's logon")

    # The rows are the modules' own registration: unregistering removes them, registering
    # writes them back exactly as the installer had them.
    modules = [pf64 + "Bin\\amberline-mf.dll", pf64 + "Bin\\amberline.dll"]
    codes = [prefix.run("regsvr32", "/u", "/s", m)[0] for m in modules]
    e2 = prefix.registry("e2.reg")
    check(codes == [0, 0] and not values(e2, "Software\\Classes\\CLSID\\%s\\InprocServer32" % CLSID) and
          not values(e2, CATEGORY), "regsvr32 /u of the installed modules removes the 64-bit view's rows")
    codes = [prefix.run("regsvr32", "/s", m)[0] for m in reversed(modules)]
    e3 = prefix.registry("e3.reg")
    differ = sorted(set(e1) ^ set(e3))
    check(codes == [0, 0] and not differ,
          "regsvr32 of the installed modules writes exactly the installer's rows (differences: %s)" %
          ("; ".join("%s\\%s" % (r[0], r[1]) for r in differ[:6]) or "none"))

    # A video application: the system's device enumerator and filter graph, in the
    # installed copy, with the installed producer.
    bin64 = pf64 + "Bin\\"
    code, out, err = prefix.run(bin64 + "amberline-capture.exe", "--list")
    check(code == 0 and NAME in out, "the installed amberline-capture lists \"%s\" (%s)" % (NAME, (out + err).strip()))
    picture = os.path.join(work, "colour.png")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "color=c=0x%02X%02X%02X:s=640x480" % COLOUR, "-frames:v", "1", picture], check=True, timeout=60)
    shutil.copy(picture, prefix.drive("C:\\colour.png"))
    producer = prefix.start(bin64 + "amberline-producer.exe", "--image", "C:\\colour.png", "--size", "640x480",
                            "--seconds", "60")
    os.makedirs(prefix.drive("C:\\frames"))
    code, out, err = prefix.run(bin64 + "amberline-capture.exe", "--size", "640x480", "--seconds", "3", "--png",
                                "C:\\frames")
    producer.kill()
    frames = sorted(os.listdir(prefix.drive("C:\\frames")))
    centre = centre_pixel(os.path.join(prefix.drive("C:\\frames"), frames[-1])) if frames else None
    check(code == 0 and centre is not None and all(abs(a - b) <= 2 for a, b in zip(centre, COLOUR)),
          "the installed camera shows the installed producer's picture in the system's graph (centre %s, "
          "expected %s; capture said: %s)" % (centre, COLOUR, (out + err).strip()[-300:]))
    prefix.kill()

    # Upgrade in place.
    code, _, _ = prefix.run("msiexec", "/i", next_msi, "/qn")
    prefix.settle()
    e5 = prefix.registry("e5.reg")
    products = sorted({r[0] for r in e5 if r[0].startswith(UNINSTALL_KEY) and r[1] == "DisplayName" and
                       r[3] == "Amberline"})
    versions = [values(e5, p).get("DisplayVersion", ("", ""))[1] for p in products]
    check(code == 0 and len(versions) == 1 and versions[0] == os.path.basename(next_msi).split("-")[1],
          "the next version replaces the installation in place (installed: %s)" % ", ".join(versions))
    check(os.path.isfile(prefix.drive(pf64 + "Bin\\amberline.dll")) and
          values(e5, "Software\\Classes\\CLSID\\%s\\InprocServer32" % CLSID).get("") ==
          ("string", pf64 + "Bin\\amberline.dll"), "after the upgrade the camera is installed and registered")

    # The older installer does not replace the newer installation.
    code, _, _ = prefix.run("msiexec", "/i", msi, "/qn")
    prefix.settle()
    e6 = prefix.registry("e6.reg")
    versions = [values(e6, p).get("DisplayVersion", ("", ""))[1] for p in products]
    check(code != 0 and versions == [os.path.basename(next_msi).split("-")[1]],
          "the older installer refuses to replace the newer installation (exit %d, installed: %s)" %
          (code, ", ".join(versions)))

    # Removal: nothing of the installation stays.
    code, _, _ = prefix.run("msiexec", "/x", next_msi, "/qn")
    prefix.settle()
    check(code == 0, "msiexec /x %s /qn exits 0" % os.path.basename(next_msi))
    left = [p for p in [prefix.drive(pf64), prefix.drive(pf32)] + menus if os.path.exists(p)]
    check(not left, "no folder of the installation is left (%s)" % ", ".join(left))
    e4 = prefix.registry("e4.reg")
    # Windows Installer keeps its own stores (the product and component lists); their empty
    # container keys may stay. Wine's msiexec also deletes a key that the removal left
    # empty, even one that was there empty before (the Run key of a fresh prefix): that
    # loses nothing, so empty keys may go, values may not.
    stores = ("software\\classes\\installer\\", "software\\microsoft\\windows\\currentversion\\installer\\")
    added = sorted(r for r in set(e4) - set(e0) if not (r[2] == "key" and (r[0].lower() + "\\").startswith(stores)))
    removed = sorted(r for r in set(e0) - set(e4) if r[2] != "key")
    emptied = sorted(r[0] for r in set(e0) - set(e4) if r[2] == "key")
    check(not added and not removed, "the registry is as it was before the installation (left: %s; lost: %s)" % (
        "; ".join("%s\\%s" % (r[0], r[1]) for r in added[:6]) or "none",
        "; ".join("%s\\%s" % (r[0], r[1]) for r in removed[:6]) or "none"))
    if emptied:
        print("note: empty keys Wine's msiexec removed with the last value below them: %s" % "; ".join(emptied))

    if failures:
        print("msi_test: %d check(s) failed" % len(failures))
        return 1
    print("msi_test: the installer installs, registers, runs, upgrades and removes cleanly")
    return 0


if __name__ == "__main__":
    sys.exit(main())
