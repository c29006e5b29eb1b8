#!/usr/bin/env python3
"""Builds the release: dist/verdalune-<version>-win-x64.zip and, beside it,
dist/verdalune-<version>-setup.exe.

Usage: scripts/package.py --loader PATH [--preset mingw|msvc] [--out DIR] [--no-build]

The zip holds verdalune.exe, WebView2Loader.dll, site/, 使用说明.txt and
SHA256SUMS; the setup (res/setup.nsi, built with NSIS's makensis) installs the
same files but the checksums. The loader is the vendor's redistributable one
from the WebView2 SDK: PATH is the SDK package (.nupkg) or the x64
WebView2Loader.dll taken from it. Our own test runtimes are refused. The
version is CMake's project version.

On Linux, scripts/package installs what this needs and then runs it. On
Windows, run it with the msvc preset, with Visual Studio 2022 and NSIS 3
installed. --no-build packages what the preset's build folder
already holds.
"""
import argparse
import hashlib
import importlib.util
import io
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXE_LIMIT = 1_300_000  # bytes
SETUP_LIMIT = 1_500_000  # bytes
NUPKG_LOADER = "build/native/x64/WebView2Loader.dll"
WHERE = ("The loader comes with the WebView2 SDK, the NuGet package Microsoft.Web.WebView2\n"
         "(https://www.nuget.org/packages/Microsoft.Web.WebView2). Pass its .nupkg, or the\n"
         f"{NUPKG_LOADER} inside it, with --loader.")


class Refused(Exception):
    pass


class NotTheLoader(Refused):
    def __str__(self):
        return f"{self.args[0]}\n{WHERE}"


def exports(dll, name):
    """Names exported by an x64 DLL; refuses anything else."""
    def u16(at): return struct.unpack_from("<H", dll, at)[0]
    def u32(at): return struct.unpack_from("<I", dll, at)[0]
    try:
        if dll[:2] != b"MZ": raise NotTheLoader(f"{name} is not a Windows program file.")
        pe = u32(0x3C)
        if dll[pe:pe + 4] != b"PE\0\0": raise NotTheLoader(f"{name} is not a Windows program file.")
        machine, sections, optional_size, characteristics = u16(pe + 4), u16(pe + 6), u16(pe + 20), u16(pe + 22)
        if machine != 0x8664: raise NotTheLoader(f"{name} is not built for x64 (machine 0x{machine:04x}).")
        if not characteristics & 0x2000: raise NotTheLoader(f"{name} is not a DLL.")
        optional = pe + 24
        if u16(optional) != 0x20B: raise NotTheLoader(f"{name} is not a 64-bit image.")
        table = optional + optional_size
        spans = [(u32(s + 12), max(u32(s + 8), u32(s + 16)), u32(s + 20))
                 for s in range(table, table + 40 * sections, 40)]

        def offset(rva):
            for start, size, raw in spans:
                if start <= rva < start + size: return raw + rva - start
            raise NotTheLoader(f"{name} is damaged.")

        directory = u32(optional + 112)  # the export table's RVA
        if not directory: return set()
        base = offset(directory)
        count, names = u32(base + 24), offset(u32(base + 32))
        found = set()
        for i in range(count):
            at = offset(u32(names + 4 * i))
            found.add(dll[at:dll.index(b"\0", at)].decode("ascii", "replace"))
        return found
    except (struct.error, ValueError, IndexError):
        raise NotTheLoader(f"{name} is damaged or not a Windows DLL.")


def loader(path):
    """The loader's bytes from a .nupkg or a DLL, after the checks."""
    name = path.name
    data = path.read_bytes()
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as package:
            if NUPKG_LOADER not in package.namelist():
                raise NotTheLoader(f"{name} holds no {NUPKG_LOADER}: it is not the WebView2 SDK package.")
            data = package.read(NUPKG_LOADER)
            name = f"{name}:{NUPKG_LOADER}"
    names = exports(data, name)
    if "NotForRelease" in names:
        raise NotTheLoader(f"{name} is one of Verdalune's own test runtimes, which is never shipped.")
    if "CreateCoreWebView2EnvironmentWithOptions" not in names:
        raise NotTheLoader(f"{name} does not export CreateCoreWebView2EnvironmentWithOptions: it is not the WebView2 loader.")
    return data


def makensis():
    found = shutil.which("makensis") or shutil.which("makensis", path=r"C:\Program Files (x86)\NSIS")
    if not found: raise Refused("makensis is missing: the setup is built with NSIS 3 (Debian's nsis package).")
    return found


def nsisPath(name):
    if any(c in name for c in '"`$\''): raise Refused(f"{name}: a file name the setup cannot carry.")
    return name.replace("/", "\\")


def fileList(files):
    """The setup's include that installs these files and removes them again.

    The uninstaller removes exactly these and the folders they leave empty; the
    install writes the same lines to a record beside the uninstaller, from which
    the next version's setup removes what this one put there (folders end in a
    backslash and come after their files, deepest first).
    """
    names = [nsisPath(name) for name in files]
    folders = sorted({"\\".join(name.split("\\")[:i]) for name in names for i in range(1, name.count("\\") + 1)},
                     key=lambda folder: -folder.count("\\"))
    out = ["!macro installFiles"]
    for folder in [""] + sorted(folders):
        here = [name for name in names if name.rpartition("\\")[0] == folder]
        if here: out.append(f'    SetOutPath "$INSTDIR{chr(92) + folder if folder else ""}"')
        out += [f'    File "${{FILES}}/{name.replace(chr(92), "/")}"' for name in here]
    out += ["!macroend", "!macro removeFiles"]
    out += [f'    Delete "$INSTDIR\\{name}"' for name in names]
    out += [f'    RMDir "$INSTDIR\\{folder}"' for folder in folders]
    out += ["!macroend", "!macro recordFiles handle"]
    out += [f'    FileWriteUTF16LE ${{handle}} "{line}$\\r$\\n"' for line in names + [f"{folder}\\" for folder in folders]]
    out += ["!macroend", ""]
    return "\n".join(out)


def picture():
    """The welcome and finish pages' picture (164x314, the size those pages
    show): the icon's flower on a pale ground, as a 24-bit BMP."""
    spec = importlib.util.spec_from_file_location("icon", ROOT / "res/make-icon.py")
    icon = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(icon)
    width, height, flower, top, samples = 164, 314, 132, 96, 3
    soil = top + round(flower * 0.92)  # where the stem meets the ground
    rows = []
    for y in range(height):
        ground = (242, 247, 236) if y < soil else (214, 232, 204)
        row = bytearray()
        for x in range(width):
            fx, fy = (x - (width - flower) / 2) / flower, (y - top) / flower
            acc, cover = [0.0, 0.0, 0.0], 0.0
            if 0 <= fx <= 1 and 0 <= fy <= 1:
                for sy in range(samples):
                    for sx in range(samples):
                        colour, c = icon.shade(fx + (sx + 0.5) / samples / flower, fy + (sy + 0.5) / samples / flower)
                        for i in range(3): acc[i] += colour[i] * c
                        cover += c
            n = samples * samples
            r, g, b = (round((acc[i] + ground[i] * (n - cover)) / n) for i in range(3))
            row += bytes((b, g, r))
        rows.append(bytes(row) + b"\0" * (-len(row) % 4))
    pixels = b"".join(reversed(rows))  # bottom-up
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pixels), 0, 0, 14 + len(header)) + header + pixels


def setup(nsis, files, version, target):
    """Builds the setup from the files it installs."""
    with tempfile.TemporaryDirectory() as work:
        staging = Path(work, "files")
        for name, data in files.items():
            path = staging / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        # With a byte-order mark, makensis reads the include as UTF-8 whatever the machine's code page.
        Path(work, "files.nsh").write_text("\ufeff" + fileList(files), encoding="utf-8")
        Path(work, "picture.bmp").write_bytes(picture())
        size_kb = (sum(len(data) for data in files.values()) + 1023) // 1024
        numbers = (version.split(".") + ["0"] * 4)[:4]
        subprocess.run([nsis, "-V2", "-WX", "-INPUTCHARSET", "UTF8", f"-DVERSION={version}", f"-DVERSION4={'.'.join(numbers)}",
                        f"-DFILES={staging}", f"-DFILELIST={Path(work, 'files.nsh')}", f"-DPICTURE={Path(work, 'picture.bmp')}",
                        f"-DSIZE_KB={size_kb}", f"-DOUTFILE={target}", str(ROOT / "res/setup.nsi")],
                       check=True)


def build(preset):
    subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", "verdalune"], cwd=ROOT, check=True)


def main():
    parser = argparse.ArgumentParser(description="Builds the Verdalune release zip.")
    parser.add_argument("--loader", type=Path, help="the WebView2 SDK package (.nupkg) or its x64 WebView2Loader.dll")
    parser.add_argument("--preset", choices=["mingw", "msvc"], default="mingw")
    parser.add_argument("--out", type=Path, default=ROOT / "dist")
    parser.add_argument("--no-build", action="store_true", help="package the build folder as it is")
    args = parser.parse_args()
    try:
        if not args.loader: raise NotTheLoader("No loader given.")
        if not args.loader.is_file(): raise NotTheLoader(f"{args.loader} does not exist.")
        dll = loader(args.loader)  # before the build: a wrong file should fail fast
        nsis = makensis()

        if not args.no_build: build(args.preset)
        binary = ROOT / ("build" if args.preset == "mingw" else "build-msvc")
        if not (binary / "verdalune.exe").is_file(): raise Refused(f"{binary}/verdalune.exe is not built.")
        header = (binary / "res/version.h").read_text()
        version = re.search(r'#define VERSION_TEXT "([^"]+)"', header).group(1)
        exe = (binary / "verdalune.exe").read_bytes()
        if len(exe) > EXE_LIMIT:
            raise Refused(f"verdalune.exe is {len(exe):,} bytes, over the limit of {EXE_LIMIT:,}.")
    except Refused as refusal:
        sys.exit(f"package: {refusal}")

    # Notepad reads UTF-8 as such only with a byte-order mark on older Windows 10.
    notes = (ROOT / "res/使用说明.txt").read_text(encoding="utf-8").replace("\n", "\r\n")
    files = {"verdalune.exe": exe, "WebView2Loader.dll": dll, "使用说明.txt": b"\xef\xbb\xbf" + notes.encode("utf-8")}
    for path in sorted((ROOT / "site").rglob("*")):
        if path.is_file() and not any(part.startswith(".") for part in path.parts):
            files[path.relative_to(ROOT).as_posix()] = path.read_bytes()
    installed = dict(files)
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files.items()).encode()

    args.out.mkdir(parents=True, exist_ok=True)
    target = args.out / f"verdalune-{version}-win-x64.zip"
    buffer = io.BytesIO()
    # Non-ASCII names are stored as UTF-8 with the flag that tells unzippers so.
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    target.write_bytes(buffer.getvalue())
    setup_exe = args.out / f"verdalune-{version}-setup.exe"
    setup(nsis, installed, version, setup_exe.resolve())
    setup_size = setup_exe.stat().st_size
    if setup_size > SETUP_LIMIT:
        setup_exe.unlink()
        sys.exit(f"package: {setup_exe.name} is {setup_size:,} bytes, over the limit of {SETUP_LIMIT:,}.")

    def shown(path): return path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
    print(f"{shown(target)}: {target.stat().st_size:,} bytes, verdalune.exe {len(exe):,} bytes")
    print(f"{shown(setup_exe)}: {setup_size:,} bytes")


if __name__ == "__main__":
    main()
