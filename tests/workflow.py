"""The Windows workflow parses, and names its three jobs and both images.
Exits 77, which CTest counts as skipped, where Python has no YAML parser."""
import sys

try:
    import yaml
except ImportError:
    sys.exit(77)

with open(sys.argv[1], encoding="utf-8") as file:
    jobs = yaml.safe_load(file)["jobs"]
assert sorted(jobs) == ["build", "desktop", "msvc"], sorted(jobs)
assert jobs["desktop"]["strategy"]["matrix"]["image"] == ["windows-2022", "windows-2025"], jobs["desktop"]["strategy"]
assert jobs["msvc"]["runs-on"] == "windows-2022", jobs["msvc"]["runs-on"]
