import os


def test_forked_child_gets_a_new_dataset_executor(env):
    log_dir = env.root / "log"
    cfg = env.config({"logLevel": 1, "logPath": str(log_dir) + "/", "auditPath": ""})
    r = env.run_py(f"""
        import os, sys, kiv_connector as kc
        ds = kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r})
        pid = os.fork()
        if pid == 0:
            # the child's dataset works through a fresh executor; dropping it
            # runs the file system's destruction there and must not hang
            other = kc.new_kiv_dataset("ep", cred_path={env.creds()!r}, config_path={cfg!r})
            del other
            del ds
            print("child done", os.getpid(), flush=True)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child status", status, "pid", pid, flush=True)
        del ds
        print("parent done", flush=True)
    """)
    assert "child status 0" in r.stdout, r.stdout + r.stderr
    assert "parent done" in r.stdout
    child_pid = int(r.stdout.split("child status 0 pid ")[1].split()[0])
    lines = (log_dir / "connector.log_0").read_text().splitlines()
    child = [l for l in lines if f"pid: {child_pid}" in l or f"[getpid()={child_pid}]" in l]
    text = "\n".join(lines)
    assert f"reset all handle called [getpid()={child_pid}]" in text
    assert "reset ExecForwardFS" in text
    assert f"reset all handle done [getpid()={child_pid}]" in text
    assert f"destruct dataset done, pid: {child_pid}" in text
    # the module's handler was registered once, by the parent's first dataset
    assert text.count("reset_all_handle registed [getpid()=") == 1
    parent_pid = int([l for l in lines if "reset_all_handle registed" in l][0].split("getpid()=")[1].split("]")[0])
    assert parent_pid != child_pid
    assert f"destruct dataset done, pid: {parent_pid}" in text
    assert child
