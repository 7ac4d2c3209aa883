"""`pip install ./python` into a fresh virtual environment without a package
index, then the installed package, imported from elsewhere, talks to a
simulated device."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from simulated_bus import LIBRARY, SimulatedBus

SOURCE = Path(__file__).resolve().parents[2] / "python"

USE_INSTALLED = """
import sys, qx318
assert qx318.__file__.startswith(sys.prefix), qx318.__file__
with qx318.open_port(sys.argv[1]) as port:
    print(qx318.__version__, port.device(3).hello().value3)
"""


class InstallIntoVirtualEnvironment(unittest.TestCase):
    def test_install_and_use(self):
        folder = tempfile.TemporaryDirectory(prefix="qx318-venv-")
        self.addCleanup(folder.cleanup)
        scratch = Path(folder.name)
        # pip builds in the source folder: a copy keeps the checkout clean.
        source = scratch / "source"
        shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("__pycache__"))

        # The tools run without the sanitizer runtime the test may carry.
        tool_env = {k: v for k, v in os.environ.items()
                    if k not in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS")}
        tool_env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        environment = scratch / "env"
        self.run_step([sys.executable, "-m", "venv", str(environment)], tool_env)
        python = str(environment / "bin" / "python")
        self.run_step([python, "-m", "pip", "install", "--no-index", str(source)], tool_env)

        run_env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        run_env["QX318_LIBRARY"] = LIBRARY
        with SimulatedBus() as bus:
            done = self.run_step([python, "-c", USE_INSTALLED, bus.path], run_env, cwd=scratch)
        self.assertEqual(done.stdout.split(), ["1.0.0.1", "3180003"])

    def run_step(self, command, env, cwd=None):
        done = subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True,
                              timeout=240, check=False)
        self.assertEqual(done.returncode, 0, f"{command}\n{done.stdout}\n{done.stderr}")
        return done


if __name__ == "__main__":
    unittest.main()
