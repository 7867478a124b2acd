"""The Windows installer under Wine, in a prefix of its own: what IT's deployment does.

    python3 wine_install_test.py BUILD-DIR NETSH-RECORDER.exe     (as root; exits 77 otherwise)

Builds the installer of the MinGW build in BUILD-DIR (its `msi` target) and, with the same
script, one of an older version and a second build of this version (another ProductCode). In
the lab's host namespace it installs the older one silently, then this one over it, then the
rebuild over that, and checks each time that exactly one installation is registered, the files
are in Program Files and the folder is on the system PATH once. QBupdate.exe, started by its
bare name through that PATH, then updates the virtual device from an image whose path is longer
than 260 characters. The uninstall must leave no file, no PATH entry and no registration behind.

Wine's firewall is not Windows', so NETSH-RECORDER.exe stands in for netsh.exe: the command
lines the installer gave it are checked, with the installer's own log (msiexec /l*v) for the
actions that ran them. A copy of the installer that fails right after adding the rule must
leave no rule and no installation: its rollback steps run.
"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
from e2e_support import (Checks, Lab, check_transfer, make_image, require_root,  # noqa: E402
                         update, workdir)
import winelab  # noqa: E402
from wine_update_test import wine_launcher, windows_console  # noqa: E402

OLDER_VERSION = "0.9.0"
ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
FOLDER = "C:\\Program Files\\QBupdate\\"
NETSH = "C:\\windows\\system32\\netsh.exe"
PROGRAM_RULE = f'program="{FOLDER}QBupdate.exe"'
DELETE = f"{NETSH} advfirewall firewall delete rule name=QBupdate dir=in {PROGRAM_RULE}"
ADD = (f"{NETSH} advfirewall firewall add rule name=QBupdate dir=in action=allow protocol=udp "
       f"localport=67,69 remoteip=any interfacetype=lan profile=any enable=yes "
       f"{PROGRAM_RULE}")


def build_installer(c, build_dir, version, output):
    res = subprocess.run(["cmake", f"-DBUILD_DIR={build_dir}", f"-DVERSION={version}",
                          f"-DOUTPUT={output}", "-P",
                          os.path.join(SOURCE, "packaging", "msi.cmake")],
                         capture_output=True, text=True)
    c.check(res.returncode == 0, f"an installer of {version} is built: {res.stderr}")


def build_installers(c, build_dir, tmp):
    """This build's installer, one of an older version and a rebuild of this version."""
    res = subprocess.run(["cmake", "--build", build_dir, "--target", "msi"], capture_output=True,
                         text=True)
    msis = [f for f in os.listdir(build_dir) if f.endswith(".msi")]
    if not c.check(res.returncode == 0 and len(msis) == 1,
                   f"the msi target builds one installer: {res.stdout[-400:]}{res.stderr}"):
        return None, None, None
    msi = os.path.join(build_dir, msis[0])
    older = os.path.join(tmp, f"QBupdate-{OLDER_VERSION}.msi")
    build_installer(c, build_dir, OLDER_VERSION, older)
    rebuild = os.path.join(tmp, "QBupdate-rebuild.msi")
    build_installer(c, build_dir, property_of(msi, "ProductVersion"), rebuild)
    c.check(property_of(rebuild, "ProductCode") != property_of(msi, "ProductCode"),
            "the rebuild has a ProductCode of its own")
    return msi, older, rebuild


def failing_copy(c, msi, tmp):
    """This installer with one step more, right after the rule is added, that fails the install
    (a custom action of type 19 ends the install with an error)."""
    failing = os.path.join(tmp, "QBupdate-failing.msi")
    shutil.copy(msi, failing)
    res = subprocess.run(
        ["msibuild", failing, "-q",
         "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
         "VALUES ('FailAfterRule', 19, '', 'The install fails here.')", "-q",
         "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
         "VALUES ('FailAfterRule', 'NOT REMOVE~=\"ALL\"', 4140)"],
        capture_output=True, text=True)
    c.check(res.returncode == 0, f"a failing copy of the installer is made: {res.stderr}")
    return failing


def rule_left(calls, before):
    """Whether the installer's rule exists after these netsh command lines, given whether it
    did before."""
    for call in calls:
        before = call == ADD if call in (ADD, DELETE) else before
    return before


def property_of(msi, name):
    res = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True)
    for line in res.stdout.splitlines():
        fields = line.split("\t")
        if fields[0] == name and len(fields) == 2:
            return fields[1]
    return None


class Machine:
    """The Wine prefix as an administrator sees it, through commands run in the lab's host
    namespace (where the prefix's server runs)."""

    def __init__(self, lab, prefix):
        self.lab = lab
        self.drive_c = os.path.join(prefix, "drive_c")
        self.folder = os.path.join(self.drive_c, "Program Files", "QBupdate")

    def wine(self, *argv, timeout=120):
        return self.lab.run(self.lab.host, winelab.wine(list(argv)), timeout=timeout)

    def msiexec(self, c, what, mode, msi, log, fails=False):
        res = self.wine("msiexec", mode, msi, "/qn", "/l*v", log)
        if fails:
            c.check(res.returncode != 0, f"msiexec {mode} /qn of {what} fails")
        else:
            c.equal(res.returncode, 0, f"msiexec {mode} /qn of {what}: its exit status")
        with open(log, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def path_entries(self):
        res = self.wine("reg", "query", ENVIRONMENT_KEY, "/v", "PATH")
        value = res.stdout.decode(errors="replace").split("REG_EXPAND_SZ", 1)[-1].strip()
        return [entry for entry in value.split(";") if entry]

    def installations(self):
        """(key, DisplayName, DisplayVersion) of each registered program called QBupdate, as
        Apps lists them; Windows Installer names the key after the ProductCode."""
        res = self.wine("reg", "query", UNINSTALL_KEY, "/s")
        found, key, name = [], None, None
        for line in res.stdout.decode(errors="replace").splitlines():
            fields = line.split(None, 2)
            if line.startswith("HKEY_"):
                key, name = line.rsplit("\\", 1)[-1].strip(), None
            elif fields[:2] == ["DisplayName", "REG_SZ"] and len(fields) == 3:
                name = fields[2]
            elif fields[:2] == ["DisplayVersion", "REG_SZ"] and name == "QBupdate":
                found.append((key, name, fields[2] if len(fields) == 3 else ""))
        return found

    def netsh_calls(self):
        path = os.path.join(self.drive_c, "netsh-calls.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            calls = f.read().splitlines()
        os.remove(path)
        return calls


def check_actions_ran(c, log, actions):
    for action in actions:
        c.check(f": {action}. Return value 1." in log,
                f"the installer's log shows {action} ending with success")


def long_image_path(tmp):
    """An image under a folder path of more than 260 characters (Linux allows 255 a name)."""
    folder = os.path.join(tmp, "Firmware " + "f" * 150, "QuibbleBox " + "q" * 150)
    os.makedirs(folder)
    path = os.path.join(folder, "image.bin")
    os.rename(make_image(tmp, 20000, 7), path)
    return path


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build_dir, recorder = (os.path.abspath(a) for a in sys.argv[1:])
    require_root()
    c = Checks("wine install")
    with workdir("install") as tmp, Lab("wineinst") as lab, winelab.Prefix("install") as env:
        os.environ.update(env)  # the lab's commands inherit it
        os.environ["LC_ALL"] = "C.UTF-8"
        os.environ["WINEDLLOVERRIDES"] += ";netsh.exe=n"  # the recorder, not Wine's netsh
        c.start("the installers of this build, of an older one and a rebuild of this one")
        msi, older, rebuild = build_installers(c, build_dir, tmp)
        if msi is None:
            c.finish()
        version = property_of(msi, "ProductVersion")
        machine = Machine(lab, env["WINEPREFIX"])
        machine.wine("cmd", "/c", "exit")  # the prefix is made, so its system32 exists
        shutil.copy(recorder, os.path.join(machine.drive_c, "windows", "system32", "netsh.exe"))
        machine.netsh_calls()  # none but the installers' from here on
        path_before = machine.path_entries()

        def installed_alone(what, package):
            c.equal(machine.installations(),
                    [(property_of(package, "ProductCode"), "QBupdate",
                      property_of(package, "ProductVersion"))],
                    f"installations registered after {what}: this one alone")
            c.equal(sorted(os.listdir(machine.folder)) if os.path.isdir(machine.folder) else None,
                    ["QBupdate.exe", "README.txt"], "files in C:\\Program Files\\QBupdate")
            c.equal(machine.path_entries(), path_before + [FOLDER], "the system PATH")

        c.start("an install that fails after the rule was added leaves no rule behind")
        failing = failing_copy(c, msi, tmp)
        log = machine.msiexec(c, "a failing build", "/i", failing,
                              os.path.join(tmp, "failing.log"), fails=True)
        failed_at = log.find(": FailAfterRule.")
        c.check(failed_at != -1 and ": FirewallRollbackUndo." in log[failed_at:],
                "the rollback step that deletes the rule runs after the failure")
        c.check(not rule_left(machine.netsh_calls(), False), "no rule is left")
        c.equal(machine.installations(), [], "installations registered after the failed install")
        c.check(not os.path.exists(machine.folder), "C:\\Program Files\\QBupdate is not there")

        c.start("a silent install of the older build, then of this one over it")
        log = machine.msiexec(c, "the older build", "/i", older, os.path.join(tmp, "older.log"))
        c.equal(machine.netsh_calls(), [DELETE, ADD], "the older build's netsh command lines")
        installed_alone("the older build", older)
        log = machine.msiexec(c, "this build", "/i", msi, os.path.join(tmp, "install.log"))
        c.check(f"Property(S): NETSH = {NETSH}" in log, "the log names the netsh it ran")
        check_actions_ran(c, log, ["RemoveExistingProducts", "FirewallForgetRule",
                                   "FirewallAllowRule", "WriteEnvironmentStrings"])
        # The older version goes first, its rule with it; then this one's rule.
        c.equal(machine.netsh_calls(), [DELETE, DELETE, ADD], "netsh command lines of the "
                "upgrade (the older version's uninstall, then this one's install)")
        installed_alone("the upgrade", msi)

        c.start(f"a rebuild of {version} installed over this one replaces it")
        log = machine.msiexec(c, "the rebuild", "/i", rebuild, os.path.join(tmp, "rebuild.log"))
        check_actions_ran(c, log, ["RemoveExistingProducts", "FirewallAllowRule"])
        c.equal(machine.netsh_calls(), [DELETE, DELETE, ADD], "netsh command lines of the "
                "same-version upgrade")
        installed_alone("the same-version upgrade", rebuild)

        c.start("QBupdate.exe, found through the PATH, updates the device from a long path")
        image_path = long_image_path(tmp)
        windows_path = "Z:" + image_path.replace("/", "\\")
        c.check(len(windows_path) > 260, f"the image path has only {len(windows_path)} characters")
        image = open(image_path, "rb").read()
        run = windows_console(c, update(lab, wine_launcher(tmp, "QBupdate.exe"), windows_path,
                                        tmp, ["--answer-after-beacons", "3"], timeout=60))
        check_transfer(c, run, lab, image)

        c.start("the uninstall leaves nothing behind")
        log = machine.msiexec(c, "the rebuild", "/x", rebuild, os.path.join(tmp, "uninstall.log"))
        check_actions_ran(c, log, ["FirewallRemoveRule", "RemoveEnvironmentStrings"])
        c.equal(machine.netsh_calls(), [DELETE], "netsh command lines of the uninstall")
        c.check(not os.path.exists(machine.folder), "C:\\Program Files\\QBupdate is gone")
        c.equal(machine.path_entries(), path_before, "the system PATH")
        c.equal(machine.installations(), [], "installations registered")
        res = machine.wine("QBupdate.exe")
        c.check(res.returncode != 0, "QBupdate.exe is no longer found through the PATH")
    c.finish()


if __name__ == "__main__":
    sys.exit(main())
