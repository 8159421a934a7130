"""What must hold of a game folder between the two releases, whatever
happened to the run that left it. Each check returns a list of violations
(texts); empty when it holds."""
import os

from soak_release import NEW, OLD, PLANTED, SERIALS, TAMPERED, recorded_keys

PROXY_KEYS = ("ProxyServer", "ProxyPort", "ProxyUserName", "ProxyPassWord")
# Files of the folder that belong to no item.
OWN_FILES = ("QuillMar.ini", "_QuillMar_.exe", "client-args.txt")


def parse_installed_copy(data):
    """Strict reading of the installed copy: (sections {name: {key: value}},
    problems). Every line must be blank, a section head or key=value; a key
    must not repeat within its section."""
    problems = []
    sections = {}
    current = None
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        return {}, ["not plain text: " + repr(data[:200])]
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            name = line[1:-1]
            if name in sections:
                problems.append(f"line {number}: section [{name}] repeated")
            current = sections.setdefault(name, {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            if key in current:
                problems.append(f"line {number}: key {key} repeated")
            current[key] = value
        else:
            problems.append(f"line {number}: not a section or a key: {raw!r}")
    return sections, problems


def file_state(path, old, new):
    """OLD, NEW, or a text saying what is wrong."""
    if not os.path.isfile(path):
        return "missing"
    with open(path, "rb") as f:
        data = f.read()
    if data == new:
        return NEW
    if data == old:
        return OLD
    return f"neither release's ({len(data)} bytes; old {len(old)}, new {len(new)})"


class Expectation:
    """The items, and the proxy lines that the installed copy must keep."""

    def __init__(self, items, proxy):
        self.items = items
        self.proxy = proxy  # key -> value

    def check_folder(self, folder):
        """The invariants of any moment: every item file wholly old or new;
        the installed copy whole, with only known keys, only old or new
        versions, and a new version only for an item whose files are all
        new. Returns (violations, {item name: OLD/NEW/"mixed"})."""
        violations = []
        states = {}
        ini_path = os.path.join(folder, "QuillMar.ini")
        if not os.path.isfile(ini_path):
            return ["QuillMar.ini is gone"], states
        with open(ini_path, "rb") as f:
            sections, problems = parse_installed_copy(f.read())
        violations += ["QuillMar.ini damaged: " + p for p in problems]
        # The launchers keep the highest serial they accepted.
        wanted = {"Proxy": set(PROXY_KEYS), "Integrity": {"Serial"}}
        for section, key in recorded_keys(self.items):
            wanted.setdefault(section, set()).add(key)
        for name, entries in sections.items():
            if name not in wanted:
                violations.append(f"QuillMar.ini has a section [{name}] of no item")
            elif set(entries) != wanted[name]:
                violations.append(f"QuillMar.ini [{name}] holds {sorted(entries)}, "
                                  f"not {sorted(wanted[name])}")
        for name in wanted:
            if name not in sections:
                violations.append(f"QuillMar.ini lost its section [{name}]")
        serial = sections.get("Integrity", {}).get("Serial")
        if serial not in (str(SERIALS[OLD]), str(SERIALS[NEW])):
            violations.append(f"QuillMar.ini [Integrity] Serial is {serial!r}")
        for key, value in self.proxy.items():
            got = sections.get("Proxy", {}).get(key)
            if got != value:
                violations.append(f"QuillMar.ini [Proxy] {key} is {got!r}, not {value!r}")

        for item in self.items:
            per_file = {}
            for name in item.files():
                per_file[name] = file_state(os.path.join(folder, name),
                                            item.members[OLD][name], item.members[NEW][name])
                if per_file[name] not in (OLD, NEW):
                    violations.append(f"{item.name}: {name} is {per_file[name]}")
            values = set(per_file.values())
            states[item.name] = values.pop() if len(values) == 1 else "mixed"
            if item.record is not None:
                section, key = item.record
                recorded = sections.get(section, {}).get(key)
                if recorded not in (item.versions[OLD], item.versions[NEW]):
                    violations.append(f"{item.name}: QuillMar.ini records {recorded!r}, "
                                      f"neither {item.versions[OLD]!r} nor "
                                      f"{item.versions[NEW]!r}")
                elif recorded == item.versions[NEW] and states[item.name] != NEW:
                    violations.append(f"{item.name}: recorded new ({recorded}) but its files "
                                      f"are {per_file}")
            elif per_file.get(item.versioned_file) == NEW and states[item.name] != NEW:
                violations.append(f"{item.name}: {item.versioned_file} is new but its files "
                                  f"are {per_file}")
        violations += partials(folder)
        return violations, states

    def check_final(self, folder):
        """After a clean run: the new release exactly, nothing else."""
        violations, states = self.check_folder(folder)
        for name, state in states.items():
            if state != NEW:
                violations.append(f"{name} is {state} after the clean run")
        if not violations:
            with open(os.path.join(folder, "QuillMar.ini"), "rb") as f:
                sections, _ = parse_installed_copy(f.read())
            for item in self.items:
                if item.record and sections[item.record[0]][item.record[1]] != \
                        item.versions[NEW]:
                    violations.append(f"{item.name} not recorded new after the clean run")
            if sections["Integrity"]["Serial"] != str(SERIALS[NEW]):
                violations.append("the new release's serial not recorded after the clean run")
        violations += leftovers(folder, self.items)
        return violations


def partials(folder):
    """A resumable download in Temp (<name> beside its record
    <name>.qmpart) never grows past the length its record announces."""
    temp = next((os.path.join(folder, e) for e in os.listdir(folder)
                 if e.lower() == "temp" and os.path.isdir(os.path.join(folder, e))), None)
    if temp is None:
        return []
    found = []
    for name in sorted(os.listdir(temp)):
        if not name.lower().endswith(".qmpart"):
            continue
        partial = os.path.join(temp, name[: -len(".qmpart")])
        with open(os.path.join(temp, name), "rb") as f:
            lines = f.read(4096).decode("latin-1").split("\r\n")
        length = next((line[len("Length="):] for line in lines if line.startswith("Length=")),
                      "")
        # A record torn by a kill has no usable length: the next start drops it.
        if os.path.isfile(partial) and length.isdigit() and \
                os.path.getsize(partial) > int(length):
            found.append(f"Temp/{os.path.basename(partial)} holds "
                         f"{os.path.getsize(partial)} bytes, its record says {length}")
    return found


def tampered_files(folder):
    """Files of the folder that came out of a tampered archive."""
    found = []
    for dirpath, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                head = f.read(len(TAMPERED))
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            if head == TAMPERED or rel.lower() == PLANTED:
                found.append(rel)
    return [f"installed from the tampered archive: {f}" for f in sorted(found)]


def leftovers(folder, items):
    """Files and folders that no item and no part of the game owns:
    temporaries, archives, set-aside files."""
    known_files = set(OWN_FILES)
    known_dirs = {"Temp"}
    for item in items:
        for name in item.files():
            known_files.add(name)
            parts = name.split("/")
            for i in range(1, len(parts)):
                known_dirs.add("/".join(parts[:i]))
    found = []
    for dirpath, dirs, files in os.walk(folder):
        rel_dir = os.path.relpath(dirpath, folder).replace(os.sep, "/")
        for d in dirs:
            rel = d if rel_dir == "." else f"{rel_dir}/{d}"
            if rel.lower() not in {k.lower() for k in known_dirs}:
                found.append(rel + "/")
        for name in files:
            rel = name if rel_dir == "." else f"{rel_dir}/{name}"
            if rel not in known_files:
                found.append(rel)
    return [f"left behind: {f}" for f in sorted(found)]
