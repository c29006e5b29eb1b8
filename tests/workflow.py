"""The Windows workflow parses, names its three jobs and both images, bounds
every job in time, and uses only GitHub's own actions, each pinned by commit
with its release tag beside it. Exits 77, which CTest counts as skipped,
where Python has no YAML parser."""
import re
import sys

try:
    import yaml
except ImportError:
    sys.exit(77)

with open(sys.argv[1], encoding="utf-8") as file:
    text = file.read()
jobs = yaml.safe_load(text)["jobs"]
assert sorted(jobs) == ["build", "desktop", "msvc"], sorted(jobs)
assert jobs["desktop"]["strategy"]["matrix"]["image"] == ["windows-2022", "windows-2025"], jobs["desktop"]["strategy"]
assert jobs["msvc"]["runs-on"] == "windows-2022", jobs["msvc"]["runs-on"]
for name, job in jobs.items():
    assert job.get("timeout-minutes"), f"{name} has no timeout-minutes"
uses = re.findall(r"^\s*(?:- )?uses:\s*(.*)$", text, re.MULTILINE)
assert uses, "no actions found"
for line in uses:
    assert re.fullmatch(r"actions/[\w-]+@[0-9a-f]{40} # v\d+\.\d+\.\d+", line), line
