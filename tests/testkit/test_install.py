"""The kit installed with pip, offline, into virtual environments: that environment's pytest finds
the plugin through its entry point, and an environment without Debian's packages still drives
the instrument, windowless or with its window (whose panel's part runs under the system
interpreter). Run with kestrin and kestrin-headless on PATH."""

import configparser
import os
import shutil
import subprocess
import sys
import textwrap
import tomllib

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUN_TIMEOUT = 240


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=RUN_TIMEOUT, **options)
    assert result.returncode == 0, f"{' '.join(command)} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_pyproject_says_what_the_debian_package_installs():
    with open(os.path.join(SOURCE, "testkit", "pyproject.toml"), "rb") as file:
        project = tomllib.load(file)["project"]
    entry_points = configparser.ConfigParser()
    entry_points.read(os.path.join(SOURCE, "testkit", "entry_points.txt"))
    assert project["scripts"] == dict(entry_points["console_scripts"])
    assert project["entry-points"]["pytest11"] == dict(entry_points["pytest11"])


@pytest.fixture(scope="module")
def kit_tree(tmp_path_factory):
    """A copy of testkit/, so that building leaves nothing in the source tree."""
    copy = tmp_path_factory.mktemp("source") / "testkit"
    shutil.copytree(os.path.join(SOURCE, "testkit"), copy, ignore=shutil.ignore_patterns("build", "*.egg-info"))
    return str(copy)


@pytest.fixture(scope="module")
def environment():
    """The caller's environment without the checkout's kit on the path."""
    variables = dict(os.environ)
    variables.pop("PYTHONPATH", None)
    return variables


@pytest.fixture(scope="module")
def system_venv(tmp_path_factory, kit_tree, environment):
    """Debian's pytest and PyVISA visible, the kit installed by pip from the tree alone."""
    venv = tmp_path_factory.mktemp("venv") / "system"
    run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)])
    run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "--quiet", kit_tree],
        env=environment)
    return venv


def test_the_environments_pytest_finds_the_plugin_and_runs_the_example(system_venv, environment):
    output = run([str(system_venv / "bin" / "python"), "-m", "pytest", "-p", "no:cacheprovider", "-q",
                  "test_my_client.py::test_analyze_over_tcp"],
                 cwd=os.path.join(SOURCE, "examples", "ci"), env=environment)
    assert "1 passed" in output


def test_an_environment_without_debians_packages_drives_the_instrument(system_venv, tmp_path, kit_tree, environment):
    venv = tmp_path / "plain"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = str(venv / "bin" / "python")
    # This environment has no setuptools to build with: the wheel is built beside it.
    pip = str(system_venv / "bin" / "pip")
    run([pip, "wheel", "--no-build-isolation", "--no-index", "--no-deps", "--quiet", "--wheel-dir", str(tmp_path),
         kit_tree], env=environment)
    run([pip, "--python", python, "install", "--no-index", "--quiet", *map(str, tmp_path.glob("*.whl"))],
        env=environment)
    check = textwrap.dedent("""
        import importlib.util
        from kestrin_testkit import Conversation, Instrument
        assert importlib.util.find_spec("pyatspi") is None
        for window in (False, True):
            with Instrument(window=window) as instrument, \
                    Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as kestrin:
                print(kestrin.request("txtOutput"))
    """)
    assert run([python, "-c", check], env=environment).split() == ["OK", "OK"]
    assert os.access(venv / "bin" / "kestrin-testkit", os.X_OK)
