#!/usr/bin/python3
"""One version everywhere: every program's --version and the Python package say the project's.
    version_test.py VERSION PYTHON-SOURCE PROGRAM...
VERSION is the project's (CMake's PROJECT_VERSION). The Python package is built into a wheel the
way its README says, by pip with no build isolation and no package index, from a copy of
PYTHON-SOURCE (so that the tree stays clean): that also proves that the build needs nothing
beyond Debian's setuptools and no network. Standard library only."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import fixtures  # noqa: E402
import tempfile
import zipfile


def main():
    version, source, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
    faults = []
    for prog in programs:
        r = subprocess.run([prog, "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=30)
        name = os.path.basename(prog)
        if r.returncode != 0 or r.stdout.strip() != f"{name} (orvane) {version}":
            faults.append(f"{name} --version said {r.stdout.strip()!r} (status {r.returncode})")

    with tempfile.TemporaryDirectory(prefix="orvane-version-") as tmp:
        copy = os.path.join(tmp, "python")
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("__pycache__", "tests"))
        env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
        r = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation",
                            "--no-deps", "-q", "-w", os.path.join(tmp, "dist"), copy],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                           timeout=120)
        if r.returncode != 0:
            faults.append(f"pip wheel --no-build-isolation failed:\n{r.stdout}")
        else:
            wheel, = os.listdir(os.path.join(tmp, "dist"))
            if not wheel.startswith(f"orvane-{version}-"):
                faults.append(f"the Python package was built as {wheel}, not version {version}")
            names = zipfile.ZipFile(os.path.join(tmp, "dist", wheel)).namelist()
            for want in ("orvane/fields.tsv", "orvane/plot.py", "orvane/version.py"):
                if want not in names:
                    faults.append(f"{wheel} holds no {want}")

    fixtures.report("version_test", faults,
                    f"{len(programs)} programs and the Python package are at {version}")


if __name__ == "__main__":
    main()
