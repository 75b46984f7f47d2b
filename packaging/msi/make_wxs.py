#!/usr/bin/env python3
"""Writes the Windows installer's source (.wxs, for wixl) from the two staged installations
and the registration the camera's own DllRegisterServer made in a scratch registry.

  make_wxs.py --version 0.1.0 --stage64 DIR --stage32 DIR --tool FILE... \
      --registry BEFORE.reg CAMERA.reg SOURCE.reg --capture-root 'C:\\Program Files\\Amberline\\' \
      --output Amberline.wxs

What goes where:
  [ProgramFiles64Folder]Amberline\\   Bin\\ (the 64-bit stage's programs and modules, and every
                                     --tool), Data\\, data\\ (the pictures)
  [ProgramFiles64Folder]Amberline\\sdk\\   Bin\\amberline_sender.dll, include\\, lib\\, python\\
  [ProgramFilesFolder]Amberline\\     Bin\\amberline.dll, Bin\\amberline_sender.dll, Data\\, data\\
  registry: the rows DllRegisterServer of amberline.dll wrote (BEFORE -> CAMERA) in both views
  (the 32-bit view's rows name the 32-bit module), the rows amberline-mf.dll's wrote
  (CAMERA -> SOURCE) in the 64-bit view, the bridge agent under HKLM's Run key, and Start
  menu shortcuts for the producer and the diagnosis.

Binary registry values are written as "#x<hex>" strings: wixl stores those as "##x<hex>",
which build_msi.sh turns into the binary form afterwards (no string value of the
registration may therefore begin with "#"; one that does is refused).
Exit status 1 with a sentence on standard error when an input is missing or a row cannot be
carried by an installer.
"""

import argparse
import hashlib
import os
import re
import sys
import uuid
from xml.sax.saxutils import quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import registry_export  # noqa: E402

# Fixed for every version: the installer of a newer version replaces an older one in place.
UPGRADE_CODE = "6F1C2B7E-3A58-4C1D-9E02-7B4A51D3C8E9"
MANUFACTURER = "Trelvox"
PRODUCT = "Amberline"
# The bridge agent's value under the Run key; amberline-vcam --install and --remove use the same.
BRIDGE_VALUE = "Amberline Bridge"
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
SDK_PARTS = ("include", "lib", "python")
SENDER_DLL = "amberline_sender.dll"


class Refused(Exception):
    pass


def ident(prefix, text):
    """An MSI identifier (letters, digits, '_' and '.', at most 72) unique for text."""
    digest = hashlib.sha1(text.encode("utf-8")).hexdigest()[:10]
    stem = re.sub(r"[^A-Za-z0-9_.]", "_", text)[-40:]
    return "%s_%s_%s" % (prefix, stem, digest)


class Tree:
    """Folders and files below one installation folder. Sources are kept relative to base,
    the folder wixl runs in (the output's)."""

    def __init__(self, dir_id, base, path=None):
        self.dir_id = dir_id
        self.base = base
        self.path = path or dir_id
        self.files = []  # (file id, source path relative to base)
        self.children = {}  # name -> Tree

    def child(self, name):
        # Windows's folder names ignore case: the stage's "Data" and "data" are one folder
        # there, and two Directory rows for it would leave one behind at removal.
        name = next((n for n in self.children if n.lower() == name.lower()), name)
        if name not in self.children:
            path = self.path + "\\" + name
            self.children[name] = Tree(ident("d", path), self.base, path)
        return self.children[name]

    def node(self, parts):
        node = self
        for part in parts:
            node = node.child(part)
        return node

    def add(self, parts, source):
        node = self.node(parts)
        file_id = ident("f", node.path + "\\" + os.path.basename(source))
        node.files.append((file_id, os.path.relpath(os.path.abspath(source), self.base)))

    def file_id(self, parts, name):
        """The identifier of the file name in the folder parts, None when it is not there."""
        node = self
        for part in parts:
            node = node.children.get(part)
            if node is None:
                return None
        return next((i for i, source in node.files if os.path.basename(source) == name), None)


def files_below(root, sub):
    """(folder parts relative to root, path) of every file below root/sub, in name order."""
    base = os.path.join(root, sub)
    if not os.path.isdir(base):
        raise Refused("%s is not a folder: build that stage first" % base)
    for folder, dirs, files in os.walk(base):
        dirs.sort()
        parts = os.path.relpath(folder, root).split(os.sep)
        for name in sorted(files):
            yield parts, os.path.join(folder, name)


def component_xml(indent, comp_id, body, win64, guid="*"):
    return '%s<Component Id="%s" Guid="%s" Win64="%s">\n%s%s</Component>\n' % (
        indent, comp_id, guid, "yes" if win64 else "no", body, indent)


def tree_xml(tree, name, indent, win64, components):
    out = []
    if name is None:
        opening = ""
    else:
        opening = '%s<Directory Id="%s" Name=%s>\n' % (indent, tree.dir_id, quoteattr(name))
    out.append(opening)
    inner = indent + "  " if name is not None else indent
    for file_id, source in tree.files:
        comp_id = "c" + file_id[1:]
        body = '%s  <File Id="%s" Source=%s KeyPath="yes"/>\n' % (inner, file_id, quoteattr(source))
        out.append(component_xml(inner, comp_id, body, win64))
        components.append(comp_id)
    # Every folder is removed with the installation once it is empty: the folders without a
    # file of their own too, which Wine's msiexec otherwise leaves behind after an upgrade.
    comp_id = "k" + tree.dir_id[1:] if tree.dir_id.startswith("d_") else "k_" + tree.dir_id
    body = '%s  <CreateFolder/>\n%s  <RemoveFolder Id="r%s" On="uninstall"/>\n' % (inner, inner, comp_id[1:])
    # wixl derives no identifier for a component without a file or value; this one is the
    # same for the same folder in every version, as a component's must be.
    guid = str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), "folder " + tree.path)).upper()
    out.append(component_xml(inner, comp_id, body, win64, guid))
    components.append(comp_id)
    for child_name in sorted(tree.children):
        out.append(tree_xml(tree.children[child_name], child_name, inner, win64, components))
    if name is not None:
        out.append("%s</Directory>\n" % indent)
    return "".join(out)


def registry_value_xml(indent, key, name, kind, data, key_path=False):
    attributes = ['Root="HKLM"', "Key=%s" % quoteattr(key)]
    if name:
        attributes.append("Name=%s" % quoteattr(name))
    if kind == "string":
        attributes += ['Type="string"', "Value=%s" % quoteattr(data)]
    elif kind == "integer":
        attributes += ['Type="integer"', 'Value="%s"' % data]
    elif kind == "binary":
        attributes += ['Type="string"', 'Value="#x%s"' % data]
    if key_path:
        attributes.append('KeyPath="yes"')
    return "%s<RegistryValue %s/>\n" % (indent, " ".join(attributes))


def registration_rows(rows, capture_root, install_folder_id, what):
    """The rows of one registration with the capture folder replaced by the install folder."""
    rows = registry_export.without_machine_state(rows)
    keys_with_values = [row[0] for row in rows if row[2] != "key"]
    out = []
    for key, name, kind, data in rows:
        if kind == "key":
            # A key that only holds the others is made by them; an empty key on its own
            # cannot be a row of an installer that must remove exactly what it wrote.
            if any(k.lower().startswith(key.lower() + "\\") for k in keys_with_values):
                continue
            raise Refused("%s made the empty key %s, which an installer row cannot carry" % (what, key))
        if kind not in ("string", "integer", "binary"):
            raise Refused("%s wrote %s\\%s as %s, which this installer does not carry" % (what, key, name, kind))
        if kind == "string":
            if data.startswith("#"):
                raise Refused("%s wrote %s\\%s beginning with '#'" % (what, key, name))
            if "[" in data or "]" in data:
                raise Refused("%s wrote %s\\%s with a bracket, which the installer would read as a property"
                              % (what, key, name))
            if data.lower().startswith(capture_root.lower()):
                data = "[%s]%s" % (install_folder_id, data[len(capture_root):])
            elif capture_root.rstrip("\\").lower() in data.lower():
                raise Refused("%s wrote %s\\%s naming the capture folder inside the value" % (what, key, name))
        out.append((key, name, kind, data))
    if not out:
        raise Refused("%s wrote nothing to the registry" % what)
    return out


def registration_component(indent, comp_id, rows, win64):
    # The key path is the server key's default value (the module's path), the row whose
    # presence says the camera is registered.
    key_row = next((i for i, r in enumerate(rows) if r[0].lower().endswith("\\inprocserver32") and not r[1]), 0)
    body = "".join(registry_value_xml(indent + "  ", *row, key_path=(i == key_row)) for i, row in enumerate(rows))
    return component_xml(indent, comp_id, body, win64)


def build(args):
    for path in [args.stage64, args.stage32] + args.tool + args.registry:
        if not os.path.exists(path):
            raise Refused("%s does not exist" % path)
    before, camera, source = (registry_export.read_rows(p) for p in args.registry)
    camera_rows = registry_export.added_rows(before, camera)
    source_rows = registry_export.added_rows(camera, source)

    base = os.path.dirname(os.path.abspath(args.output))
    tree64 = Tree("AMBERLINE64", base)
    for top in sorted(os.listdir(args.stage64)):
        if top in SDK_PARTS:
            continue
        for parts, path in files_below(args.stage64, top):
            tree64.add(parts, path)
    for tool in args.tool:
        tree64.add(["Bin"], tool)
    tree64.add(["sdk", "Bin"], os.path.join(args.stage64, "Bin", SENDER_DLL))
    for part in SDK_PARTS:
        for parts, path in files_below(args.stage64, part):
            tree64.add(["sdk"] + parts, path)

    tree32 = Tree("AMBERLINE32", base)
    for name in ("amberline.dll", SENDER_DLL):
        path = os.path.join(args.stage32, "Bin", name)
        if not os.path.isfile(path):
            raise Refused("%s does not exist: build the mingw32 preset first" % path)
        tree32.add(["Bin"], path)
    for part in ("Data", "data"):
        for parts, path in files_below(args.stage32, part):
            tree32.add(parts, path)

    def installed_64(name, why):
        file_id = tree64.file_id(["Bin"], name)
        if file_id is None:
            raise Refused("%s is not among the files to install, and %s" % (name, why))
        return file_id

    vcam = installed_64("amberline-vcam.exe", "the bridge agent and the diagnosis are that program")
    producer = installed_64("amberline-producer.exe", "the Start menu starts it (name it with --tool)")
    # Bin of the 64-bit installation is the shortcuts' working folder.
    bin64 = tree64.child("Bin").dir_id

    components = []
    dirs64 = tree_xml(tree64, None, " " * 10, True, components)
    dirs32 = tree_xml(tree32, None, " " * 10, False, components)

    regs = []
    rows = registration_rows(camera_rows, args.capture_root, "AMBERLINE64", "amberline.dll (64-bit)")
    regs.append(registration_component(" " * 10, "reg_camera64", rows, True))
    rows32 = registration_rows(camera_rows, args.capture_root, "AMBERLINE32", "amberline.dll (32-bit)")
    regs.append(registration_component(" " * 10, "reg_camera32", rows32, False))
    rows_mf = registration_rows(source_rows, args.capture_root, "AMBERLINE64", "amberline-mf.dll")
    regs.append(registration_component(" " * 10, "reg_source64", rows_mf, True))
    run = registry_value_xml(" " * 12, RUN_KEY, BRIDGE_VALUE, "string", '"[#%s]" --bridge' % vcam, key_path=True)
    regs.append(component_xml(" " * 10, "run_bridge", run, True))
    components += ["reg_camera64", "reg_camera32", "reg_source64", "run_bridge"]

    menu = (
        '            <Shortcut Id="menu_producer" Name="Amberline producer" Description="Sends a test pattern to the '
        'camera until its window is closed" Target="[#%s]" WorkingDirectory="%s"/>\n'
        '            <Shortcut Id="menu_diagnose" Name="Amberline diagnosis" Description="What the camera needs on '
        'this Windows, item by item" Target="[System64Folder]cmd.exe" Arguments=%s WorkingDirectory="%s"/>\n'
        '            <RemoveFolder Id="menu_folder" On="uninstall"/>\n'
        '%s' % (producer, bin64, quoteattr('/k ""[#%s]" --diagnose"' % vcam), bin64,
                registry_value_xml(" " * 12, "Software\\%s\\%s\\Installer" % (MANUFACTURER, PRODUCT), "StartMenu",
                                   "integer", "1", key_path=True)))
    components.append("menu")

    refs = "".join('      <ComponentRef Id="%s"/>\n' % c for c in components)
    return """<?xml version="1.0" encoding="utf-8"?>
<!-- Generated by packaging/msi/make_wxs.py; edit that, not this. -->
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="{product}" Language="1033" Version="{version}" Manufacturer="{manufacturer}"
           UpgradeCode="{upgrade}">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"
             Description="{product} {version}: the virtual camera for 64-bit and 32-bit video applications"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of {product} is installed already."/>
    <Media Id="1" Cabinet="amberline.cab" EmbedCab="yes"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="AMBERLINE64" Name="{product}">
{dirs64}{regs}        </Directory>
      </Directory>
      <Directory Id="ProgramFilesFolder">
        <Directory Id="AMBERLINE32" Name="{product}">
{dirs32}        </Directory>
      </Directory>
      <Directory Id="ProgramMenuFolder">
        <Directory Id="menu_folder" Name="{product}">
          <Component Id="menu" Guid="*" Win64="yes">
{menu}          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Camera" Title="{product}" Level="1">
{refs}    </Feature>
  </Product>
</Wix>
""".format(product=PRODUCT, version=args.version, manufacturer=MANUFACTURER, upgrade=UPGRADE_CODE,
           dirs64=dirs64, regs="".join(regs), dirs32=dirs32, menu=menu, refs=refs)


def main():
    parser = argparse.ArgumentParser(description="Writes the Windows installer's .wxs.")
    parser.add_argument("--version", required=True)
    parser.add_argument("--stage64", required=True)
    parser.add_argument("--stage32", required=True)
    parser.add_argument("--tool", action="append", default=[])
    parser.add_argument("--registry", nargs=3, required=True, metavar=("BEFORE", "CAMERA", "SOURCE"))
    parser.add_argument("--capture-root", required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+", args.version):
        print("make_wxs: the version must be three numbers (1.2.3), not %r" % args.version, file=sys.stderr)
        return 1
    try:
        text = build(args)
    except (Refused, ValueError, OSError) as error:
        print("make_wxs: %s" % error, file=sys.stderr)
        return 1
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
