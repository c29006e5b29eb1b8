"""Packages the build with scripts/package.py and checks the zip a user downloads.

Our stand-in runtime and anything that is not the loader must be refused; the
zip must hold exactly the program, the loader it was given, the site, the
notes and true checksums; the program may import only Windows' own DLLs and
the loader; the setup must be written beside the zip and be small. The zip is
then unzipped into a folder whose path has Chinese characters and spaces,
where release_test.cpp reads and starts it under Wine, and installs the setup.
For the upgrade, which must start the program again by itself, the same setup
script is built once more with the stand-in inside (stand-in-setup.exe, a test
file that scripts/package would refuse to make).
"""
import argparse
import hashlib
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

args = argparse.ArgumentParser()
for option in ("root", "build", "version", "loader", "stand-in", "objdump", "work"):
    args.add_argument(f"--{option}", required=True)
args = args.parse_args()
root, build, work = Path(args.root), Path(args.build), Path(args.work)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAILED: {what}", file=sys.stderr)


def package(loader, out):
    return subprocess.run([sys.executable, str(root / "scripts/package.py"), "--no-build", "--loader", str(loader), "--out", str(out)],
                          capture_output=True, text=True)


def nupkg(path, dll):
    with zipfile.ZipFile(path, "w") as package:
        package.writestr("Microsoft.Web.WebView2.nuspec", "<package/>")
        package.write(dll, "build/native/x64/WebView2Loader.dll")
        package.write(dll, "build/native/x86/WebView2Loader.dll")
    return path


shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)

# Refused: the stand-in as a DLL and inside a package, the program itself, a package without the loader.
empty = work / "empty.nupkg"
zipfile.ZipFile(empty, "w").writestr("readme.txt", "nothing")
for wrong, reason in [(Path(args.stand_in), "test runtimes"), (nupkg(work / "stand-in.nupkg", args.stand_in), "test runtimes"),
                      (build / "verdalune.exe", "not a DLL"), (empty, "holds no build/native/x64/WebView2Loader.dll")]:
    result = package(wrong, work / "refused")
    check(result.returncode != 0, f"{wrong.name} is refused")
    check(reason in result.stderr, f"{wrong.name}: the refusal says why ({reason}): {result.stderr!r}")
    check("NuGet package Microsoft.Web.WebView2" in result.stderr, f"{wrong.name}: the refusal says where the loader is published")
check(not (work / "refused").exists() or not any((work / "refused").iterdir()), "nothing, zip or setup, is written when the loader is refused")

# Accepted: the throwaway loader, once as a DLL and once inside a package.
for given in (Path(args.loader), nupkg(work / "throwaway.nupkg", args.loader)):
    result = package(given, work / "dist")
    check(result.returncode == 0, f"{given.name} is packaged: {result.stderr}")
zip_path = work / "dist" / f"verdalune-{args.version}-win-x64.zip"
check(zip_path.is_file(), f"{zip_path.name} is written")
setup_path = work / "dist" / f"verdalune-{args.version}-setup.exe"
check(setup_path.is_file(), f"{setup_path.name} is written beside the zip")
if setup_path.is_file():
    size = setup_path.stat().st_size
    print(f"{setup_path.name}: {size:,} bytes")
    check(size <= 1_500_000, f"the setup is at most 1.5 MB: {size:,} bytes")
if failures: sys.exit(1)

with zipfile.ZipFile(zip_path) as archive:
    files = {info.filename: archive.read(info) for info in archive.infolist()}
    infos = archive.infolist()
site = {path.relative_to(root).as_posix() for path in (root / "site").rglob("*") if path.is_file()}
check(set(files) == {"verdalune.exe", "WebView2Loader.dll", "使用说明.txt", "SHA256SUMS"} | site,
      f"the zip holds the program, the loader, the notes, the checksums and the site: {sorted(files)}")
check(files.get("verdalune.exe") == (build / "verdalune.exe").read_bytes(), "the program is the one built")
check(files.get("WebView2Loader.dll") == Path(args.loader).read_bytes(), "the loader is the one given")
for info in infos:
    if not info.filename.isascii():
        check(info.flag_bits & 0x800, f"{info.filename} is marked as UTF-8, so Windows shows its name right")

notes = files.get("使用说明.txt", b"")
check(notes.startswith(b"\xef\xbb\xbf") and b"\r\n" in notes and b"\n" not in notes.replace(b"\r\n", b""),
      "the notes are UTF-8 with a byte-order mark and Windows line ends")
text = notes.decode("utf-8", "replace")
for needed in ("verdalune.exe", "“^”", "WebView2 Runtime", r"%LOCALAPPDATA%\Verdalune\WebView2", "备份到文件", "退出 Verdalune",
               "setup.exe", "免安装版", "启动应用", "更多信息", "仍要运行", "同时删除我的花园"):
    check(needed in text, f"the notes mention {needed}")

sums = files.get("SHA256SUMS", b"").decode()
listed = dict(reversed(line.split("  ", 1)) for line in sums.splitlines())
check(set(listed) == set(files) - {"SHA256SUMS"}, "SHA256SUMS lists every other file once")
for name, digest in listed.items():
    check(name in files and hashlib.sha256(files[name]).hexdigest() == digest, f"the checksum of {name} is right")

# Imports: Windows' own DLLs and the loader, nothing a user would have to find.
dump = subprocess.run([args.objdump, "-p", str(build / "verdalune.exe")], capture_output=True, text=True, check=True).stdout
imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
windows = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "advapi32.dll", "gdi32.dll", "msvcrt.dll", "ucrtbase.dll",
           "wtsapi32.dll"}
check("webview2loader.dll" in imports, f"the program imports the loader: {imports}")
check(all(name in windows or name.startswith("api-ms-win-") for name in imports - {"webview2loader.dll"}),
      f"everything else it imports comes with Windows: {sorted(imports)}")

unzipped = work / "Verdalune 发布 测试"
with zipfile.ZipFile(zip_path) as archive:
    archive.extractall(unzipped)
check((unzipped / "site/garden/index.html").is_file(), "the zip unzips into a folder with Chinese and spaces in its path")

sys.path.insert(0, str(root / "scripts"))
import package as packaging  # noqa: E402 (scripts/package.py)
installed = {name: data for name, data in files.items() if name != "SHA256SUMS"}
installed["WebView2Loader.dll"] = Path(args.stand_in).read_bytes()
packaging.setup(packaging.makensis(), installed, args.version, work / "stand-in-setup.exe")

sys.exit(1 if failures else 0)
