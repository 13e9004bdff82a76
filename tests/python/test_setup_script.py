"""scripts/system_packages.sh, the system-package step of scripts/setup.sh, on
machines with and without dpkg and apt-get. Stand-ins for dpkg, apt-get and id
on a PATH of their own: nothing is installed."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "system_packages.sh"
BASH = shutil.which("bash")
PACKAGES = ["g++", "pkg-config", "libopenblas-dev", "libgtest-dev"]
WHAT_TO_INSTALL = ["C++20 compiler", "pkg-config", "OpenBLAS", "pkg-config --exists openblas",
                   "GoogleTest", "CMake and Ninja come from pip",
                   "pip install --no-build-isolation ."]


def tool(bin_dir, name, body):
    path = bin_dir / name
    path.write_text(f"#!{BASH}\n{body}\n")
    path.chmod(0o755)


@pytest.mark.parametrize(
    "installed, tools, rc, says",
    [
        # no dpkg (and no apt-get): nothing tells what is there
        (None, [], 1, "no dpkg here to tell which system packages are installed"),
        (PACKAGES[:2], [], 1, "libopenblas-dev libgtest-dev missing, and no apt-get to install them"),
        (PACKAGES, [], 0, None),
        (PACKAGES[1:], ["apt-get"], 0, "setup: installing g++"),
    ],
)
def test_missing_packages_are_installed_with_apt_get_or_named(tmp_path, installed, tools, rc, says):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "apt-get.log"
    if installed is not None:
        cases = " | ".join(installed)
        tool(bin_dir, "dpkg", f'case "$2" in {cases}) exit 0 ;; *) exit 1 ;; esac')
    if "apt-get" in tools:
        tool(bin_dir, "apt-get", f'echo "$@" >> "{log}"')
        tool(bin_dir, "id", "echo 0")
    r = subprocess.run([BASH, str(SCRIPT)], env={"PATH": str(bin_dir)}, capture_output=True,
                       text=True, timeout=30)
    out = r.stdout + r.stderr
    assert r.returncode == rc, out
    assert "command not found" not in out
    if says is None:
        assert out == ""
    else:
        assert says in out
    if rc == 1:
        assert all(item in r.stderr for item in WHAT_TO_INSTALL), r.stderr
    if "apt-get" in tools:
        assert log.read_text().splitlines() == ["update -qq", "install -y -qq g++"]


def test_setup_on_a_machine_without_dpkg_or_apt_get_stops_with_the_list(tmp_path):
    # setup.sh and its step copied to a tree of their own, so that nothing
    # after the step could touch this checkout
    (tmp_path / "scripts").mkdir()
    for name in ["setup.sh", "system_packages.sh"]:
        shutil.copy(ROOT / "scripts" / name, tmp_path / "scripts" / name)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    os.symlink(shutil.which("dirname"), bin_dir / "dirname")
    r = subprocess.run([BASH, str(tmp_path / "scripts" / "setup.sh")], env={"PATH": str(bin_dir)},
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1, r.stdout + r.stderr
    assert all(item in r.stderr for item in WHAT_TO_INSTALL), r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "scripts"]
