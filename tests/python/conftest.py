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


@pytest.fixture(scope="session", autouse=True)
def store_ca_trusted(kivstore_tls_dir):
    """Trusts the local store's test CA in this process: a thread's TLS context is made
    on its first request and kept, so the CA must be known before any test's first one."""
    os.environ["SSL_CERT_FILE"] = str(kivstore_tls_dir / "ca.pem")


@pytest.fixture
def env(tmp_path):
    return Env(tmp_path)
