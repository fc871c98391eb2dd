import json
import os
import re
import shutil

import pytest

import kiv_connector as kc

LINE = re.compile(r"^\d{4,}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\|(DEBUG|INFO |WARN |ERROR|FATAL)\|"
                  r"th=[0-9A-F]{16}\|[^|:]+:-?\d+\|[^:|]*:.*$")


def new_dataset(env, config=None, **kw):
    return kc.new_kiv_dataset("127.0.0.1:9", cred_path=env.creds(), config_path=config or env.config(), **kw)


def failing_dataset(env, config):
    """Standard output of a fresh process whose dataset creation fails."""
    return env.run_py(f"""
        import kiv_connector as kc
        try:
            kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={config!r})
        except RuntimeError as e:
            print("RAISED", e)
    """).stdout


def test_missing_config_file(env):
    path = str(env.root / "nope.json")
    with pytest.raises(RuntimeError) as e:
        new_dataset(env, config=path)
    assert str(e.value) == f"new kiv dataset failed, failed to parse config file '{path}': No such file or directory"


@pytest.mark.parametrize("doc,key", [
    ({"logLevel": -1}, "logLevel"),
    ({"logPath": 5}, "logPath"),
    ({"auditPath": False}, "auditPath"),
    ({"datasetConfig": {"prefetchMB": 1.5}}, "prefetchMB"),
    ({"datasetConfig": {"prefetchConcurrency": "8"}}, "prefetchConcurrency"),
    ({"datasetConfig": {"prefetchWorker": None}}, "prefetchWorker"),
    ({"datasetConfig": {"timeoutMs": 1.0}}, "timeoutMs"),
    ({"datasetConfig": {"enableFastList": 1}}, "enableFastList"),
    ({"datasetConfig": {"listConcurrency": [1]}}, "listConcurrency"),
    ({"datasetConfig": {"listWorker": "1"}}, "listWorker"),
    ({"checkpointConfig": {"prefetchIoSizeMB": 0.5}}, "prefetchIoSizeMB"),
    ({"checkpointConfig": {"prefetchConcurrency": True}}, "prefetchConcurrency"),
    ({"checkpointConfig": {"prefetchWorker": "4"}}, "prefetchWorker"),
    ({"checkpointConfig": {"writeIoSizeMB": 2 ** 40}}, "writeIoSizeMB"),
    ({"checkpointConfig": {"uploadIoSizeMB": {}}}, "uploadIoSizeMB"),
    ({"checkpointConfig": {"uploadConcurrency": 8.5}}, "uploadConcurrency"),
    ({"checkpointConfig": {"uploadBufferSizeMB": "1G"}}, "uploadBufferSizeMB"),
])
def test_config_type_checks(env, doc, key):
    path = env.config(doc)
    out = failing_dataset(env, path)
    assert out.endswith(f"RAISED new kiv dataset failed, failed to parse config file '{path}': Invalid argument\n")
    assert f":type mismatch for {key}\n" in out, out


@pytest.mark.parametrize("raw", ["", "{", "{} []", "{\"a\": 1,}", "// comment\n{}"])
def test_config_parse_errors(env, raw):
    path = env.config(raw=raw)
    out = failing_dataset(env, path)
    assert out.endswith(f"'{path}': Invalid argument\n")
    assert f"error parse json: {path} errno=22(Invalid argument)" in out


@pytest.mark.parametrize("cred,text", [
    (None, "credential file not found: {path}"),
    ("[", "failed to parse cred file: {path}"),
    ('{"AccessKeyId": 1, "AccessKeySecret": "s"}', "failed to parse cred file: {path}"),
    ('{"AccessKeySecret": "s"}', "'AccessKeyId' can't be empty"),
    ('{"AccessKeyId": "a", "AccessKeySecret": ""}', "'AccessKeySecret' can't be empty"),
    ('{"AccessKeyId": "a", "AccessKeySecret": "s", "Expiration": "soon"}', "failed to parse Expiration: soon"),
])
def test_credential_validation_errors(env, cred, text):
    path = str(env.root / "cred.json")
    if cred is not None:
        env.creds(raw=cred)

    class Never:
        def get_credentials(self):
            raise AssertionError("the file wins over the host object")

    with pytest.raises(RuntimeError) as e:
        kc.new_kiv_dataset("ep", cred_path=path, cred_provider=Never(), config_path=env.config())
    assert str(e.value) == "failed to initialize credential provider: " + text.format(path=path)


@pytest.mark.parametrize("get_credentials", [
    lambda: 1 / 0,
    lambda: object(),  # no access_key_id
])
def test_failing_host_credential_object_fails_the_dataset(env, get_credentials):
    class Provider:
        pass

    provider = Provider()
    provider.get_credentials = get_credentials
    with pytest.raises(RuntimeError) as e:
        kc.new_kiv_dataset("ep", cred_provider=provider, config_path=env.config())
    assert str(e.value) == "failed to initialize credential provider: "


def test_dataset_with_file_and_host_object_uses_the_file(env):
    class Never:
        def get_credentials(self):
            raise AssertionError("never called")

    ds = kc.new_kiv_dataset("ep", cred_path=env.creds(), cred_provider=Never(), config_path=env.config())
    assert isinstance(ds, kc.DataSet)
    del ds


def test_operations_not_available_yet(env):
    ds = new_dataset(env)
    calls = {
        "list_with_preload": lambda: ds.list_with_preload("b", "p"),
        "list_from_uris": lambda: ds.list_from_uris([kc.new_data_object("/b/k")], False, False),
        "list_from_uris_with_preload": lambda: ds.list_from_uris_with_preload([]),
        "list_from_tar": lambda: ds.list_from_tar("b", "t", "i", [1], [2]),
        "gen_tar_archive": lambda: ds.gen_tar_archive("t", "i", "s"),
    }
    for name, call in calls.items():
        with pytest.raises(RuntimeError, match=f"^{name} is not available yet$"):
            call()
    unbound = kc.DataSet()
    with pytest.raises(RuntimeError, match="not bound"):
        unbound.open_ro("b", "k")


def test_list_arguments_are_converted_during_the_call(env):
    ds = new_dataset(env)
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'str'>"):
        ds.list_from_uris([kc.new_data_object("/b/k"), "kiv://b/k"], False, False)
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'float'>"):
        ds.list_from_tar("b", "t", "i", [1, 2.0], [1, 2])
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        ds.list_from_tar("b", "t", "i", [1], [-1])


def test_per_worker_log_files(env):
    (env.root / "w").mkdir()
    cases = [
        # logPath, cwd, id, expected log file (relative to root)
        ("logs/", "w", 7, "w/logs/connector.log_7"),
        (str(env.root / "x.log"), ".", -1, "x.log_-1"),
        (str(env.root / "deep/er/dir") + "//", ".", 3, "deep/er/dir/connector.log_3"),
        ("rel.log", "w", 0, "w/rel.log_0"),
    ]
    for log_path, cwd, wid, expect in cases:
        cfg = env.config({"logLevel": 1, "logPath": log_path, "auditPath": str(env.root / "audit" / "a.log")})
        env.run_py(f"""
            import os, kiv_connector as kc
            os.chdir({str(env.root / cwd)!r})
            kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r}, id={wid})
        """)
        log = env.root / expect
        assert log.is_file(), (log_path, list(env.root.rglob("*")))
        text = log.read_text()
        assert f"set log path: {log}" not in text  # logged before the switch
        assert f"construct dataset, id: {wid}, total: 1, pid: " in text
        assert (env.root / "audit" / f"a.log_{wid}").is_file()
        for line in text.splitlines():
            assert LINE.match(line), line


def test_log_setup_lines_and_levels(env):
    log_dir = env.root / "log"
    first = env.config({"logLevel": 1, "logPath": str(log_dir) + "/", "auditPath": ""}, name="c1.json")
    cfg = env.config({"logLevel": 9, "logPath": str(log_dir) + "/", "auditPath": ""})
    r = env.run_py(f"""
        import kiv_connector as kc
        a = kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={first!r}, id=2)
        ds = kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r}, uuid="job-1", id=2, total=4)
        del ds
    """)
    # before any dataset the level is ERROR: the first dataset's INFO lines up
    # to the level switch are not shown
    assert "new kiv dataset, uuid:" not in r.stdout
    assert f"set log path: {log_dir}/connector.log_2" in r.stdout
    text = (log_dir / "connector.log_2").read_text()
    assert "logLevel '9' is invalid, set to 1" in text
    assert "new kiv dataset, uuid: job-1 id: 2, total: 4, pid: " in text
    assert f"[config_path={cfg}]" in text
    assert "set log level: 1" in text
    assert "'auditPath' is empty or is not string, audit log is disabled." in text
    assert text.count("reset_all_handle registed [getpid()=") == 1
    assert "construct dataset, id: 2, total: 4, pid: " in text
    assert "destruct dataset, pid: " in text and "destruct dataset done, pid: " in text
    assert not list(log_dir.glob("audit*"))


def test_empty_log_path_keeps_stdout_and_second_dataset_retargets(env):
    first = env.config({"logLevel": 0, "logPath": "", "auditPath": ""}, name="c1.json")
    second = env.config({"logLevel": 1, "logPath": str(env.root / "two.log"), "auditPath": ""}, name="c2.json")
    third = env.config({"logLevel": 1, "logPath": str(env.root / "three.log"), "auditPath": ""}, name="c3.json")
    r = env.run_py(f"""
        import kiv_connector as kc
        cred = {env.creds()!r}
        a = kc.new_kiv_dataset("ep", cred_path=cred, config_path={first!r})
        print("after-first", flush=True)
        b = kc.new_kiv_dataset("ep", cred_path=cred, config_path={second!r})
        c = kc.new_kiv_dataset("ep", cred_path=cred, config_path={third!r})
        kc.new_data_object("/b/k").seek(0, 9)
    """)
    head = r.stdout.split("after-first")[0]
    assert "'logPath' is empty or is not string, output log to stdout." in head
    assert "construct dataset, id: 0" in head
    two = (env.root / "two.log_0").read_text()
    three = (env.root / "three.log_0").read_text()
    assert "invalid whence value" in three and "invalid whence value" not in two
    # the after-fork handler is registered once per process
    everything = r.stdout + two + three
    assert len(re.findall(r"\|INFO \|[^\n]*reset_all_handle registed", everything)) == 1


def test_defaults_from_empty_config(env):
    # An empty object uses the fixed default directories; leave the machine as found.
    log_dir = "/var/log/kiv-connector/"
    run_dir = "/var/run/kiv-connector/"
    existed = {d: os.path.isdir(d) for d in (log_dir, run_dir)}
    wid = 900000 + os.getpid() % 10000
    files = [os.path.join(log_dir, f"connector.log_{wid}"), os.path.join(log_dir, f"audit.log_{wid}")]
    before = {f: os.path.exists(f) for f in files}
    cfg = env.config({})
    try:
        r = env.run_py(f"""
            import kiv_connector as kc
            kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r}, id={wid})
            kc.new_data_object("/b/k").seek(0, 7)
        """)
        assert f"set log path: {files[0]}" in r.stdout
        assert os.path.isdir(run_dir)
        text = open(files[0]).read()
        assert f"set audit path: {files[1]}" in text
        assert os.path.isfile(files[1])
        assert "invalid whence value" in text
        assert "|DEBUG|" not in text  # level 1 by default
    finally:
        for f in files:
            if not before[f] and os.path.exists(f):
                os.unlink(f)
        for d, was in existed.items():
            if not was and os.path.isdir(d) and not os.listdir(d):
                os.rmdir(d)


def test_default_credential_path(env):
    default = "/root/.marquelle/credentials"
    log = env.root / "first.log"
    cfg = env.config({"logLevel": 1, "logPath": str(log), "auditPath": ""})
    r = env.run_py(f"""
        import kiv_connector as kc
        kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r})
        try:
            kc.new_kiv_dataset("ep")
        except RuntimeError as e:
            print("ERR", e)
    """)
    text = (env.root / "first.log_0").read_text()
    assert f"neither cred path nor provider is provided, using default cred path {default}" in text
    if not os.path.exists(default):
        assert f"ERR failed to initialize credential provider: credential file not found: {default}" in r.stdout
    else:
        assert f"credential file not found: {default}" not in r.stdout
