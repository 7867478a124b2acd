"""The installer's tables against the rules Windows Installer enforces and wixl does not check.

    python3 msi_check.py INSTALLER.msi VERSION

Reads the tables with msiinfo and prints each fault; exits 1 when there is one. There is no
ICE validator on this build machine, so these are the project's own checks:
- every deferred custom action (in-script, 0x400) stands between InstallInitialize and
  InstallFinalize, where Windows Installer writes the script (else error 2762 ends the run);
- the firewall steps: executables named by NETSH, deferred and not impersonated, each change to
  the rule preceded by a rollback step that undoes it, on the right side of the files;
- the one rule: inbound UDP 67 and 69 for the installed program, from any remote address, on
  wired adapters only, in every profile, deleted by its own name only;
- the Upgrade table: older versions and builds of this same one removed, newer ones refused;
- the older version removed inside the script, before this one's components.
"""

import subprocess
import sys

IN_SCRIPT = 0x400
ROLLBACK = 0x100
NO_IMPERSONATE = 0x800
EXE_IN_PROPERTY = 50
KIND_MASK = 0x3F
MIGRATE_FEATURES = 1
ONLY_DETECT = 2
MIN_INCLUSIVE = 256
MAX_INCLUSIVE = 512

PROGRAM = 'program="[INSTALLDIR]QBupdate.exe"'
ADD = ("advfirewall firewall add rule name=QBupdate dir=in action=allow protocol=udp "
       f"localport=67,69 remoteip=any interfacetype=lan profile=any enable=yes {PROGRAM}")
DELETE = f"advfirewall firewall delete rule name=QBupdate dir=in {PROGRAM}"
REMOVING = 'REMOVE~="ALL"'


def table(msi, name):
    """The rows of a table as dicts by column name (msiinfo export: names, types, keys, rows)."""
    res = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True)
    if res.returncode != 0:
        raise SystemExit(f"msiinfo cannot read the table {name} of {msi}: {res.stderr}")
    lines = res.stdout.split("\n")
    columns = lines[0].rstrip("\r").split("\t")
    return [dict(zip(columns, line.rstrip("\r").split("\t"))) for line in lines[3:] if line]


def check(msi, version):
    faults = []
    actions = {row["Action"]: row for row in table(msi, "CustomAction")}
    sequence = {row["Action"]: (int(row["Sequence"]), row["Condition"])
                for row in table(msi, "InstallExecuteSequence")}
    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}

    def at(action):
        return sequence[action][0] if action in sequence else None

    for fixed in ("InstallInitialize", "InstallFinalize", "InstallFiles", "RemoveFiles",
                  "ProcessComponents", "RemoveExistingProducts"):
        if fixed not in sequence:
            faults.append(f"the install sequence has no {fixed}")
    if faults:
        return faults
    first = at("InstallInitialize")

    # Deferred means written into the script, which exists only between these two, in both
    # sequences that run one (as ICE77 checks).
    for sequence_table in ("InstallExecuteSequence", "AdminExecuteSequence"):
        places = {row["Action"]: int(row["Sequence"]) for row in table(msi, sequence_table)}
        start, end = places.get("InstallInitialize"), places.get("InstallFinalize")
        for name, row in actions.items():
            kind = int(row["Type"])
            if kind & IN_SCRIPT and name in places and \
                    (start is None or end is None or not start < places[name] < end):
                faults.append(f"the deferred action {name} (type {kind}) runs at {places[name]} "
                              f"in {sequence_table}, outside InstallInitialize ({start}) to "
                              f"InstallFinalize ({end})")

    # The firewall steps, in sequence order: (rollback?, command, condition) per phase.
    steps = {"install": [], "removal": []}
    for name, row in sorted(actions.items(), key=lambda item: at(item[0]) or 0):
        if not row["Target"].startswith("advfirewall ") or name not in sequence:
            continue
        kind = int(row["Type"])
        if row["Source"] != "NETSH" or kind & KIND_MASK != EXE_IN_PROPERTY or \
                kind & (IN_SCRIPT | NO_IMPERSONATE) != IN_SCRIPT | NO_IMPERSONATE:
            faults.append(f"{name} has type {kind}: not a deferred netsh run without impersonation")
        condition = sequence[name][1]
        removal = condition == REMOVING
        if removal and at(name) > at("RemoveFiles"):
            faults.append(f"{name} runs at {at(name)}, after the files are removed")
        if not removal and at(name) < at("InstallFiles"):
            faults.append(f"{name} runs at {at(name)}, before the files are installed")
        steps["removal" if removal else "install"].append(
            (bool(kind & ROLLBACK), row["Target"], condition))
    install = [(True, ADD, 'Installed AND NOT ' + REMOVING), (True, DELETE, 'NOT ' + REMOVING),
               (False, DELETE, 'NOT ' + REMOVING), (False, ADD, 'NOT ' + REMOVING)]
    removal = [(True, ADD, REMOVING), (False, DELETE, REMOVING)]
    for phase, expected in (("install", install), ("removal", removal)):
        if steps[phase] != expected:
            faults.append(f"the firewall steps of the {phase}, as (rollback, command, condition), "
                          f"are {steps[phase]}, not {expected}")

    # Wired adapters only (a direct cable or the office LAN, not a cafe's Wi-Fi), and any remote
    # address: the device's BOOTP request comes from 0.0.0.0, which no subnet holds.
    for name, row in actions.items():
        if not row["Target"].startswith("advfirewall firewall add rule"):
            continue
        words = dict(word.split("=", 1) for word in row["Target"].split() if "=" in word)
        if words.get("interfacetype") != "lan":
            faults.append(f"{name} adds a rule for interface type "
                          f"{words.get('interfacetype', 'any')}, not lan")
        if words.get("remoteip", "any") != "any":
            faults.append(f"{name} lets in only remote addresses {words['remoteip']}: the "
                          "device's BOOTP request comes from 0.0.0.0")

    # Major upgrades: this version's row must include its own version (a rebuild has another
    # ProductCode), and the found products' property must reach the elevated side.
    secure = properties.get("SecureCustomProperties", "").split(";")
    upgrades = [row for row in table(msi, "Upgrade")
                if row["UpgradeCode"] == properties.get("UpgradeCode")]
    removes = [row for row in upgrades if not int(row["Attributes"]) & ONLY_DETECT]
    detects = [row for row in upgrades if int(row["Attributes"]) & ONLY_DETECT]
    if len(removes) != 1 or removes[0]["VersionMax"] != version or \
            int(removes[0]["Attributes"]) & (MAX_INCLUSIVE | MIGRATE_FEATURES) != \
            MAX_INCLUSIVE | MIGRATE_FEATURES or removes[0]["ActionProperty"] not in secure:
        faults.append(f"the Upgrade rows that remove products are {removes}: not one up to "
                      f"{version} inclusive (attribute {MAX_INCLUSIVE}) with migrated features "
                      f"and a secure property ({secure})")
    if len(detects) != 1 or detects[0]["VersionMin"] != version or \
            int(detects[0]["Attributes"]) & MIN_INCLUSIVE:
        faults.append(f"the Upgrade rows that detect a newer version are {detects}")
    elif not any(row["Condition"] == "NOT " + detects[0]["ActionProperty"]
                 for row in table(msi, "LaunchCondition")):
        faults.append("no launch condition refuses the install over a newer version")

    # The older version's removal runs where RemoveExistingProducts stands in the script: after
    # this version's firewall rule, it would delete it again.
    if not first < at("RemoveExistingProducts") < at("ProcessComponents"):
        faults.append(f"RemoveExistingProducts runs at {at('RemoveExistingProducts')}, not "
                      f"between InstallInitialize and ProcessComponents")
    return faults


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(sys.argv[1], sys.argv[2])
    for fault in faults:
        print(f"{sys.argv[1]}: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
