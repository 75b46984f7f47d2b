"""Registry exports (.reg files as Windows' and Wine's regedit write them) made in a Wine
prefix and read into rows.

A row is (key, name, kind, data): key without the hive ("Software\\Classes\\CLSID\\{...}"),
name "" for a key's default value, kind "string" | "integer" | "binary" | "key" (a key that
holds no value), data the value as text (strings unescaped, integers in decimal, binary as
lower-case hex digits). Everything else a .reg can hold (expandable or multi-strings, 64-bit
integers) keeps its .reg kind ("hex(2)", "hex(7)", "hex(b)") with its hex digits, for the
installer's generator to refuse; text that is not a .reg line is refused with ValueError.

  registry_export.py export PREFIX NAME   exports as export_software does; prints the path
"""

import codecs
import os
import shutil
import subprocess
import sys

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "wine-run.sh")


def _read_text(path):
    with open(path, "rb") as f:
        raw = f.read()
    if raw.startswith(codecs.BOM_UTF16_LE):
        return raw[len(codecs.BOM_UTF16_LE):].decode("utf-16-le")
    return raw.decode("utf-8-sig")


def _logical_lines(text):
    """Joins the continuation lines (a trailing backslash after hex data)."""
    pending = ""
    for line in text.splitlines():
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.lstrip().startswith("["):
            pending = line[:-1]
            continue
        yield line
    if pending:
        yield pending


def _unquote(text, where):
    """The text of a quoted .reg string; returns (value, rest after the closing quote)."""
    if not text.startswith('"'):
        raise ValueError("%s: a quoted string was expected" % where)
    out = []
    i = 1
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
            continue
        if c == '"':
            return "".join(out), text[i + 1:]
        out.append(c)
        i += 1
    raise ValueError("%s: a string without its closing quotation mark" % where)


def read_rows(path, hive="HKEY_LOCAL_MACHINE"):
    """Every key and value of one hive in the export, in the export's order."""
    rows = []
    key = None
    valued = False
    prefix = hive + "\\"
    for number, line in enumerate(_logical_lines(_read_text(path)), 1):
        where = "%s line %d" % (path, number)
        stripped = line.strip()
        if not stripped or stripped.startswith(";") or stripped.startswith(("REGEDIT4", "Windows Registry Editor")):
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            if key is not None and not valued:
                rows.append((key, "", "key", ""))
            name = stripped[1:-1]
            key = name[len(prefix):] if name.upper().startswith(prefix.upper()) else None
            valued = False
            continue
        if key is None:
            continue
        if stripped.startswith("@="):
            name, rest = "", stripped[2:]
        else:
            name, rest = _unquote(stripped, where)
            if not rest.startswith("="):
                raise ValueError("%s: '=' was expected after the value's name" % where)
            rest = rest[1:]
        if rest.startswith('"'):
            value, tail = _unquote(rest, where)
            if tail.strip():
                raise ValueError("%s: text after a string value" % where)
            rows.append((key, name, "string", value))
        elif rest.startswith("dword:"):
            rows.append((key, name, "integer", str(int(rest[6:], 16))))
        elif rest.startswith("hex:"):
            digits = rest[4:].replace(",", "").replace(" ", "").lower()
            int(digits or "0", 16)
            rows.append((key, name, "binary", digits))
        elif rest.startswith("hex(") and "):" in rest:
            kind, digits = rest.split(":", 1)
            rows.append((key, name, kind, digits.replace(",", "").replace(" ", "").lower()))
        else:
            raise ValueError("%s: a value this reader does not know: %s" % (where, rest[:20]))
        valued = True
    if key is not None and not valued:
        rows.append((key, "", "key", ""))
    return rows


# The machine's own device and hardware state, which Wine updates while it runs (a device
# that appears): never part of a module's registration or an installation.
MACHINE_STATE = ("system\\", "hardware\\")


def without_machine_state(rows):
    """The rows outside the machine's device and hardware state."""
    return [row for row in rows if not row[0].lower().startswith(MACHINE_STATE)]


def added_rows(before, after):
    """The rows of `after` that `before` lacks: what happened between two exports. Values
    that changed count as added; a key that only gained values is not listed as a key."""
    seen = set(before)
    return [row for row in after if row not in seen]


def export_software(prefix, name, timeout=120):
    """Exports HKEY_LOCAL_MACHINE\\Software of the Wine prefix (made on first use) to C:\\name
    and returns the file's path; RuntimeError, saying what regedit did, when it cannot.

    That is where an installation and a registration write. The rest is the machine's device
    state, which Wine's services write while they start; an export that reads a key while it
    is written can stop part-way with status 1. The export starts once every program of the
    prefix has ended; one that fails anyway is tried once more, with a note on stderr."""
    path = os.path.join(prefix, "drive_c", name)
    env = dict(os.environ, WINEPREFIX=prefix)
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
    for attempt in (1, 2):
        if os.path.isdir(prefix):
            subprocess.run([wineserver, "-w"], env=env, timeout=timeout)
        if os.path.exists(path):
            os.remove(path)
        try:
            done = subprocess.run([WINE_RUN, prefix, "regedit", "/e", "C:\\" + name, "HKEY_LOCAL_MACHINE\\Software"],
                                  env=env, capture_output=True, timeout=timeout)
            code, err = done.returncode, done.stderr.decode("utf-8", "replace").strip()
        except subprocess.TimeoutExpired:
            code, err = 124, "it did not end within %d s" % timeout
        written = os.path.isfile(path) and os.path.getsize(path) > 0
        if code == 0 and written:
            return path
        what = "regedit /e %s exited %d%s%s" % (name, code, "" if written else " without writing it",
                                                (": " + err) if err else "")
        if attempt == 1:
            print("note: %s; trying once more" % what, file=sys.stderr, flush=True)
    raise RuntimeError("regedit could not export the registry (%s)" % what)


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "export":
        print("usage: registry_export.py export PREFIX NAME", file=sys.stderr)
        sys.exit(2)
    try:
        print(export_software(sys.argv[2], sys.argv[3]))
    except RuntimeError as error:
        print("registry_export: %s" % error, file=sys.stderr)
        sys.exit(1)
