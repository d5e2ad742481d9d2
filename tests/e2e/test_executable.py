"""Quillomarvet.exe as a file: a 32-bit GUI program that needs only Windows' own DLLs, with its
version block, icon and manifest; quillomarvet-cli.exe needing only Windows' DLLs too."""

import glob
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile
import xml.etree.ElementTree as ET

EXE = os.environ.get("QM_EXE", "build/windows/app/win32/Quillomarvet.exe")
CLI = os.environ.get("QM_CLI_EXE", "build/windows/console/quillomarvet-cli.exe")
OBJDUMP = "i686-w64-mingw32-objdump"

# DLLs every Windows installation has; anything else (the compiler's runtime DLLs above all)
# would have to be shipped next to the .exe.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll",
               "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll", "shlwapi.dll",
               "msvcrt.dll", "version.dll", "uxtheme.dll", "cfgmgr32.dll", "ws2_32.dll"}

# The processorArchitecture a manifest must name for each PE machine type.
MANIFEST_ARCH = {0x014C: "x86", 0x8664: "amd64", 0xAA64: "arm64"}

SPANISH_MODERN = 0x0C0A
UNICODE_CODE_PAGE = 1200


def run(*args):
    return subprocess.run(args, capture_output=True, check=True).stdout


def version_tree(data, offset=0):
    """One node of a VS_VERSIONINFO resource: (key, value, children), and where it ends."""
    def align(n):
        return (n + 3) & ~3

    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    pos = align(key_end + 2)
    if value_type == 1:  # text; the length counts characters
        raw = data[pos:min(pos + 2 * value_length, end)]
        value = raw.decode("utf-16-le").split("\0")[0]
        pos += 2 * value_length
    else:
        value = data[pos:pos + value_length]
        pos += value_length
    children = []
    pos = align(pos)
    while pos < end:
        child, child_end = version_tree(data, pos)
        children.append(child)
        pos = align(child_end)
    return (key, value, children), end


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path} is not a PE file")
    return struct.unpack_from("<H", data, pe + 4)[0]


def builds():
    """The .exe under test and, when it has been built, its sibling for the other processor."""
    exes = [EXE]
    preset_dir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(EXE))))
    for preset in ("windows", "windows64"):
        other = os.path.join(os.path.dirname(preset_dir), preset, "app", "win32",
                             os.path.basename(EXE))
        if os.path.isfile(other) and not os.path.samefile(other, EXE):
            exes.append(other)
    return exes


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [t for t in (OBJDUMP, "wrestool", "icotool", "convert") if not shutil.which(t)]
        if missing:
            raise RuntimeError("missing tools: " + ", ".join(missing))
        cls.headers = run(OBJDUMP, "-p", EXE).decode()

    def header(self, name):
        m = re.search(rf"^{name}\s+(\S+)", self.headers, re.M)
        self.assertIsNotNone(m, f"{name} in the PE header")
        return m.group(1)

    def resource(self, kind):
        return run("wrestool", "-x", "--raw", f"--type={kind}", EXE)

    def test_a_32_bit_windows_gui_program(self):
        self.assertIn("file format pei-i386", self.headers)
        self.assertEqual(self.header("Magic"), "010b", "PE32, not PE32+")
        self.assertEqual(self.header("Subsystem"), "00000002", "GUI, no console window")

    def test_each_program_imports_only_system_dlls(self):
        # The console edition links its MQTT client (and its threads) statically; the window
        # has no use for the network.
        for exe, not_for_it in ((EXE, {"ws2_32.dll"}), (CLI, set())):
            with self.subTest(exe=os.path.basename(exe)):
                headers = self.headers if exe == EXE else run(OBJDUMP, "-p", exe).decode()
                dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
                print(f"\n  {os.path.basename(exe)} imports: " + ", ".join(sorted(dlls)))
                self.assertTrue({"kernel32.dll", "user32.dll"} <= dlls, dlls)
                self.assertEqual(dlls - (SYSTEM_DLLS - not_for_it), set(),
                                 "DLLs that are not part of Windows or not for this program")

    def test_the_version_block(self):
        (key, fixed, children), _ = version_tree(self.resource(16))
        self.assertEqual(key, "VS_VERSION_INFO")
        (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, _, file_type) = \
            struct.unpack_from("<10I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF),
                         (1, 0, 0, 1), "numeric file version")
        self.assertEqual((product_ms, product_ls), (file_ms, file_ls), "numeric product version")
        self.assertEqual(file_type, 1, "VFT_APP")

        blocks = {k: (v, c) for k, v, c in children}
        tables = blocks["StringFileInfo"][1]
        self.assertEqual([k for k, _, _ in tables],
                         [f"{SPANISH_MODERN:04X}{UNICODE_CODE_PAGE:04X}"], "one string table")
        strings = {k: v for k, v, _ in tables[0][2]}
        expected = {"FileVersion": "1.00.0001", "ProductVersion": "1.00.0001",
                    "ProductName": "Quillomarvet", "InternalName": "Quillomarvet",
                    "OriginalFilename": "Quillomarvet.exe"}
        self.assertEqual({k: strings.get(k) for k in expected}, expected)
        self.assertTrue(strings.get("CompanyName", "").strip(), "CompanyName")

        translation = {k: v for k, v, _ in blocks["VarFileInfo"][1]}["Translation"]
        self.assertEqual(struct.unpack("<HH", translation), (SPANISH_MODERN, UNICODE_CODE_PAGE))

    def test_the_icon_has_a_32_and_a_16_pixel_image_in_16_colours(self):
        with tempfile.TemporaryDirectory() as work:
            run("wrestool", "-x", "--type=14", "-o", work, EXE)
            icons = glob.glob(os.path.join(work, "*.ico"))
            self.assertEqual(len(icons), 1, "one icon group")
            listing = run("icotool", "-l", icons[0]).decode()
            images = sorted((int(w), int(h), int(d)) for w, h, d in re.findall(
                r"--width=(\d+) --height=(\d+) --bit-depth=(\d+)", listing))
            self.assertEqual(images, [(16, 16, 4), (32, 32, 4)], listing)

            run("icotool", "-x", "-o", work, icons[0])
            pngs = glob.glob(os.path.join(work, "*.png"))
            self.assertEqual(len(pngs), 2)
            for png in pngs:
                colours = int(run("convert", png, "-format", "%k", "info:"))
                self.assertGreater(colours, 2, f"{os.path.basename(png)} has a picture on it")

    def test_the_manifest(self):
        root = ET.fromstring(self.resource(24))
        v1 = "{urn:schemas-microsoft-com:asm.v1}"
        identity = root.find(f"{v1}assemblyIdentity")
        self.assertEqual((identity.get("name"), identity.get("processorArchitecture")),
                         ("Quillomarvet", "x86"))
        # Each build names its own processor: side-by-side activation can refuse an .exe whose
        # manifest names another.
        for exe in builds():
            with self.subTest(exe=exe):
                manifest = ET.fromstring(run("wrestool", "-x", "--raw", "--type=24", exe))
                arch = manifest.find(f"{v1}assemblyIdentity").get("processorArchitecture")
                print(f"\n  {exe}: {arch}")
                self.assertEqual(arch, MANIFEST_ARCH[pe_machine(exe)])
        texts = {el.tag.split("}")[1]: (el.text or "").strip() for el in root.iter()}
        self.assertIn("PerMonitor", texts.get("dpiAwareness", ""), "per-monitor DPI aware")
        level = next(el for el in root.iter() if el.tag.endswith("requestedExecutionLevel"))
        self.assertEqual(level.get("level"), "asInvoker", "no elevation prompt")

    def test_the_release_zip_holds_the_programs_and_no_test_stand_ins(self):
        tree = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(EXE))))
        run("cmake", "--build", tree, "--target", "package")
        [package] = glob.glob(os.path.join(tree, "Quillomarvet-*-win32.zip"))
        with zipfile.ZipFile(package) as z:
            self.assertEqual(sorted(z.namelist()), ["LICENSE", "Quillomarvet.exe", "README.md",
                                                    "THIRD-PARTY-NOTICES.txt",
                                                    "quillomarvet-cli.exe"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
