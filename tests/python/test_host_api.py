import re

import pytest

import kiv_connector as kc


def test_module_registers_whole_api():
    for name in ("DataObject", "IDataObjectIterator", "DataSet", "new_kiv_dataset", "new_data_object"):
        assert hasattr(kc, name)
    with pytest.raises(TypeError, match="No constructor defined!"):
        kc.DataObject()
    with pytest.raises(TypeError, match="No constructor defined!"):
        kc.IDataObjectIterator()


@pytest.mark.parametrize("key", ["kiv://", "kiv://bucket/key", "/", "/bucket/a b", b"/bytes/key",
                                 bytearray(b"kiv://b/k")])
def test_new_data_object_accepts(key):
    o = kc.new_data_object(key, 7, "lbl")
    text = key.decode() if isinstance(key, (bytes, bytearray)) else key
    assert (o.key, o.size, o.label) == (text, 7, "lbl")
    assert o.err() == 0 and o.error_msg() == ""


@pytest.mark.parametrize("key", ["", "kiv:/", "kiv:", "bucket/key", "xyz://b/k", "kiv//b"])
def test_new_data_object_rejects(key):
    with pytest.raises(RuntimeError) as e:
        kc.new_data_object(key)
    assert str(e.value) == f"invalid kiv key: {key}, should start with 'kiv://' or '/'"


@pytest.mark.parametrize("call", [
    lambda: kc.new_data_object("/a", 1.0),
    lambda: kc.new_data_object("/a", -1),
    lambda: kc.new_data_object("/a", size="3"),
    lambda: kc.new_data_object(3),
    lambda: kc.new_data_object("/a").seek(1.5),
    lambda: kc.new_data_object("/a").seek(1, 2.0),
    lambda: kc.new_data_object("/a").read(1.0),
    lambda: kc.new_data_object("/a").read(-1),
    lambda: kc.new_kiv_dataset("ep", id=1.0),
    lambda: kc.new_kiv_dataset("ep", total=2 ** 31),
    lambda: kc.DataSet().list(bucket="b", prefix="p"),
    lambda: kc.DataSet().list("b"),
    lambda: kc.DataSet().list_with_preload(bucket="b", prefix="p"),
    lambda: kc.DataSet().list_from_uris(uris=[], prefetch=False, include_errors=False),
    lambda: kc.DataSet().list_from_uris_with_preload(uris=[]),
    lambda: kc.DataSet().open_ro("b", "k", size=1.5),
    lambda: kc.DataSet().open_ro("b", "k", type=0.0),
])
def test_argument_conversion_errors_are_type_errors(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_integer_arguments_take_index_objects():
    class Seven:
        def __index__(self):
            return 7

    o = kc.new_data_object("/a", Seven())
    assert o.size == 7
    assert o.seek(Seven()) == 7


def test_attributes_are_read_write():
    o = kc.new_data_object("/a", 3)
    o.key, o.size, o.label = "/b/c", -5, "broken"
    assert (o.key, o.size, o.label) == ("/b/c", -5, "broken")
    assert o.err() == 5 and o.error_msg() == "broken"


def test_seek_and_tell_rules(env):
    o = kc.new_data_object("/b/k", 100)
    steps = [((5, 0), 5), ((3, 1), 8), ((-10, 1), -2), ((10, 2), 110), ((-10, 2), 90), ((0,), 0),
             ((7,), 7)]
    for args, want in steps:
        assert o.seek(*args) == want, args
        assert o.tell() == want
    assert o.seek(0, 3) == -1
    assert o.tell() == 7  # a bad whence leaves the position alone
    # a fresh process, whose log still goes to standard output
    out = env.run_py("import kiv_connector as kc; print(kc.new_data_object('/b/k').seek(1, 3))").stdout
    assert out.endswith("\n-1\n"), out
    assert re.search(r"\|ERROR\|th=[0-9A-F]{16}\|[^|]+:\d+\|seek:invalid whence value\n", out), out


def test_reads_without_file_system_fail_with_object_error():
    o = kc.new_data_object("/b/k", 10, "x")
    with pytest.raises(RuntimeError) as e:
        o.read()
    msg = "errno=38(Function not implemented), msg=fs can't be nullptr [key=/b/k]"
    assert str(e.value) == "read failed, " + msg
    # the object has become an error object
    assert (o.size, o.err(), o.error_msg()) == (-38, 38, "fs can't be nullptr [key=/b/k]")
    with pytest.raises(RuntimeError) as e:
        o.readinto(bytearray(4))
    assert str(e.value) == "readinto failed, " + msg


def test_readinto_needs_a_writable_buffer():
    o = kc.new_data_object("/b/k", 10)
    with pytest.raises(BufferError):
        o.readinto(b"read-only")
    with pytest.raises(TypeError):
        o.readinto("text")
    assert o.size == 10  # nothing ran


def test_strided_buffers_are_refused():
    # a strided view's start address and length do not describe its bytes
    o = kc.new_data_object("/b/k", 10)
    with pytest.raises(BufferError):
        o.write(memoryview(b"0123456789")[::2])
    with pytest.raises(BufferError):
        o.readinto(memoryview(bytearray(10))[::2])
    assert o.size == 10


def test_write_on_read_only_object():
    o = kc.new_data_object("/b/k", 10)
    with pytest.raises(RuntimeError) as e:
        o.write(b"abc")
    # the object itself is not failed, so no error number or message is carried
    assert str(e.value) == "write failed, errno=0(Success), msg="
    with pytest.raises(TypeError):
        o.write("text")


def test_close_flush_copy_and_with():
    o = kc.new_data_object("/b/k", 10)
    assert o.flush() == -1
    assert o.close() == 0
    assert o.copy() is o
    with o as f:
        assert f is o
    with pytest.raises(KeyError):
        with kc.new_data_object("/b/k") as f:
            raise KeyError("propagates")
    assert o.__exit__(None, None, None) is False
