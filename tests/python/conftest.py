import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest_plugins = ["kivstore_fixture"]


class Env:
    """Files a DataSet needs, in a private temporary directory."""

    def __init__(self, root):
        self.root = root

    def config(self, doc=None, name="config.json", raw=None):
        if doc is None and raw is None:
            doc = {"logLevel": 1, "logPath": str(self.root / "log") + "/",
                   "auditPath": str(self.root / "log" / "audit.log")}
        p = self.root / name
        p.write_text(raw if raw is not None else json.dumps(doc))
        return str(p)

    def creds(self, doc=None, name="cred.json", raw=None):
        if doc is None and raw is None:
            doc = {"AccessKeyId": "AKID", "AccessKeySecret": "SECRET"}
        p = self.root / name
        p.write_text(raw if raw is not None else json.dumps(doc))
        return str(p)

    def run_py(self, code, check=True):
        """Runs code in a fresh interpreter (process-wide logging state starts anew)."""
        r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=self.root,
                           capture_output=True, text=True, timeout=120)
        if check and r.returncode != 0:
            raise AssertionError(f"exit {r.returncode}\nstdout:\n{r.stdout}\nstderr:\n{r.stderr}")
        return r


@pytest.fixture
def env(tmp_path):
    return Env(tmp_path)
