// The host binding: argument conversion and error texts only. Every call keeps
// the interpreter lock for its whole duration.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/file_credential.h"
#include "config/python_credential.h"
#include "dataset/dataset.h"
#include "iterator/iterator.h"
#include "module/connector.h"
#include "object/object_basic.h"
#include "zentho/common/logger.h"

namespace py = pybind11;
using connector::failed;
using connector::object_error;

namespace {

// A plain description of one host-supplied object; the kind is not kept.
struct ObjectDesc {
    std::string key;
    int64_t size;
    std::string label;
    int64_t position;
};

[[noreturn]] void raise_runtime(const std::string& text) { throw std::runtime_error(text); }

[[noreturn]] void not_available(const char* op) {
    raise_runtime(std::string(op) + " is not available yet");
}

DataSet& bound(DataSet& ds) {
    if (!ds.bound()) raise_runtime("DataSet is not bound to an object store; use new_kiv_dataset");
    return ds;
}

// Objects and iterators read through their dataset's file systems: each one
// handed out keeps its dataset alive.
template <typename T>
py::object owned_by(py::handle dataset, std::unique_ptr<T> value) {
    py::object result = py::cast(std::move(value));
    py::detail::keep_alive_impl(result, dataset);
    return result;
}

std::vector<ObjectDesc> convert_uris(py::handle iterable) {
    std::vector<ObjectDesc> out;
    if (py::hasattr(iterable, "__len__")) out.reserve(py::len(iterable));
    for (py::handle h : iterable) {
        auto& obj = py::cast<IDataObject&>(h);
        out.push_back({obj.key, obj.size, obj.label, obj.position});
    }
    return out;
}

std::vector<uint64_t> convert_u64(py::handle iterable) {
    std::vector<uint64_t> out;
    for (py::handle h : iterable) out.push_back(py::cast<uint64_t>(h));
    return out;
}

// A buffer with its view released on scope exit.
struct BufferView {
    Py_buffer view{};
    BufferView(py::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view, flags) != 0) throw py::error_already_set();
    }
    ~BufferView() { PyBuffer_Release(&view); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
};

py::bytes read_object(IDataObject& obj, uint64_t count) {
    IBuffer* buf = obj.read(count);
    if (!buf) raise_runtime(object_error("read failed, errno=", obj));
    PyObject* bytes = PyBytes_FromStringAndSize(buf->data ? static_cast<const char*>(buf->data) : "",
                                                buf->data ? Py_ssize_t(buf->size) : 0);
    release_buffer(buf);
    if (!bytes) {
        PyErr_Clear();
        raise_runtime("Could not allocate bytes object!");
    }
    py::bytes result = py::reinterpret_steal<py::bytes>(bytes);
    if (failed(obj)) raise_runtime(object_error("read failed, errno=", obj));
    return result;
}

// Byte buffers are read into and written from whole. A buffer must be
// contiguous: a strided view's start address does not describe its bytes.
int64_t readinto_object(IDataObject& obj, py::handle target) {
    BufferView b(target, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    int64_t r = obj.readinto(b.view.buf, uint64_t(b.view.len));
    if (r < 0) raise_runtime(object_error("readinto failed, errno=", obj));
    return r;
}

int64_t write_object(IDataObject& obj, py::handle source) {
    BufferView b(source, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    int64_t r = obj.write(b.view.buf, uint64_t(b.view.len));
    if (r < 0) raise_runtime(object_error("write failed, errno=", obj));
    return r;
}

int close_object(IDataObject& obj) {
    if (obj.close() != 0) raise_runtime(object_error("close failed, errno=", obj));
    return 0;
}

std::unique_ptr<IDataObject> next_object(IDataObjectIterator& it) {
    std::unique_ptr<IDataObject> obj(it.next());
    if (!obj) throw py::stop_iteration("");
    if (obj->size >= 0 || it.include_errors || uint32_t(obj->size) == 0) return obj;
    raise_runtime(connector::next_error(*obj));
}

std::unique_ptr<DataSet> make_dataset(const std::string& endpoint, const std::string& cred_path,
                                      py::object cred_provider, const std::string& config_path,
                                      const std::string& uuid, int32_t id, int32_t total) {
    std::unique_ptr<CredentialProvider> provider;
    if (!cred_path.empty()) {
        provider = std::make_unique<FileCredentialProvider>(cred_path);
    } else if (cred_provider.is_none()) {
        LOG_INFO("neither cred path nor provider is provided, using default cred path ",
                 FileCredentialProvider::DEFAULT_PATH);
        provider = std::make_unique<FileCredentialProvider>(FileCredentialProvider::DEFAULT_PATH);
    } else {
        provider = std::make_unique<PythonCredentialProvider>(cred_provider);
    }
    if (!provider) raise_runtime("failed to initialize credential provider");
    std::string text;
    if (!provider->validate(text)) raise_runtime("failed to initialize credential provider: " + text);
    std::string error;
    DataSet* ds = new_kiv_dataset(endpoint, provider.get(), config_path, id, uuid, total, error);
    if (!ds) raise_runtime("new kiv dataset failed, " + error);
    provider.release();  // the dataset owns it now
    return std::unique_ptr<DataSet>(ds);
}

std::unique_ptr<IDataObject> make_data_object(const std::string& key, uint64_t size,
                                              const std::string& label) {
    if (!connector::valid_kiv_key(key))
        raise_runtime("invalid kiv key: " + key + ", should start with 'kiv://' or '/'");
    return std::make_unique<DataObjectBasicRO>(key, int64_t(size), label, nullptr);
}

}  // namespace

PYBIND11_MODULE(kiv_connector, m) {
    py::class_<IDataObject>(m, "DataObject")
        .def_readwrite("key", &IDataObject::key)
        .def_readwrite("size", &IDataObject::size)
        .def_readwrite("label", &IDataObject::label)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](IDataObject& o, py::object, py::object, py::object) {
                 int r = o.close();
                 if (r != 0) raise_runtime("close failed, ret: " + std::to_string(r));
                 return false;
             })
        .def("close", &close_object)
        .def("seek", &IDataObject::seek, py::arg("offset"), py::arg("whence") = 0)
        .def("tell", &IDataObject::tell)
        .def("read", &read_object, py::arg("count") = UINT64_MAX)
        .def("readinto", &readinto_object)
        .def("write", &write_object)
        .def("flush", &IDataObject::flush)
        .def("err", [](IDataObject& o) { return o.size < 0 ? -o.size : int64_t(0); })
        .def("error_msg", [](IDataObject& o) { return o.size < 0 ? o.label : std::string(); })
        .def("copy", [](py::object self) {
            self.cast<IDataObject&>().copy();
            return self;
        });

    py::class_<IDataObjectIterator>(m, "IDataObjectIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](py::object self) {
            return owned_by(self, next_object(self.cast<IDataObjectIterator&>()));
        })
        .def("__len__", [](IDataObjectIterator& it) { return it.length; });

    py::class_<DataSet>(m, "DataSet")
        .def(py::init<>())
        .def("list",
             [](py::object self, const std::string& bucket, const std::string& prefix) {
                 DataSet& ds = bound(self.cast<DataSet&>());
                 return owned_by(self, std::unique_ptr<IDataObjectIterator>(ds.list(bucket, prefix)));
             })
        .def("list_with_preload",
             [](DataSet& ds, const std::string&, const std::string&)
                 -> std::unique_ptr<IDataObjectIterator> {
                 bound(ds);
                 not_available("list_with_preload");
             })
        .def("list_from_uris",
             [](DataSet& ds, py::object uris, bool, bool) -> std::unique_ptr<IDataObjectIterator> {
                 bound(ds);
                 convert_uris(uris);
                 not_available("list_from_uris");
             })
        .def("list_from_uris_with_preload",
             [](DataSet& ds, py::object uris) -> std::unique_ptr<IDataObjectIterator> {
                 bound(ds);
                 convert_uris(uris);
                 not_available("list_from_uris_with_preload");
             })
        .def(
            "list_from_tar",
            [](DataSet& ds, const std::string&, const std::string&, const std::string&,
               py::object chunk_iter, py::object size_iter, bool,
               bool) -> std::unique_ptr<IDataObjectIterator> {
                bound(ds);
                convert_u64(chunk_iter);
                convert_u64(size_iter);
                not_available("list_from_tar");
            },
            py::arg("bucket"), py::arg("tar_key"), py::arg("index_key"), py::arg("chunk_iter"),
            py::arg("size_iter"), py::arg("prefetch") = false, py::arg("include_errors") = false)
        .def(
            "open_ro",
            [](py::object self, const std::string& bucket, const std::string& key, uint64_t size,
               int32_t type, const std::string& label) {
                DataSet& ds = bound(self.cast<DataSet&>());
                std::unique_ptr<IDataObject> obj(ds.open_ro(bucket, key, size, type, label));
                if (failed(*obj)) raise_runtime(object_error("open_ro failed, errno=", *obj));
                return owned_by(self, std::move(obj));
            },
            py::arg("bucket"), py::arg("key"), py::arg("size") = 0, py::arg("type") = 0,
            py::arg("label") = "")
        .def(
            "open_wo",
            [](py::object self, const std::string& bucket, const std::string& key) {
                DataSet& ds = bound(self.cast<DataSet&>());
                return owned_by(self, std::unique_ptr<IDataObject>(ds.open_wo(bucket, key)));
            },
            py::arg("bucket"), py::arg("key"))
        .def(
            "gen_tar_archive",
            [](DataSet& ds, const std::string&, const std::string&, const std::string&, bool) -> int {
                bound(ds);
                not_available("gen_tar_archive");
            },
            py::arg("tar_path"), py::arg("index_path"), py::arg("source_path"),
            py::arg("index_only") = false);

    m.def("new_kiv_dataset", &make_dataset, py::arg("endpoint"), py::arg("cred_path") = "",
          py::arg("cred_provider") = py::none(), py::arg("config_path") = "", py::arg("uuid") = "",
          py::arg("id") = 0, py::arg("total") = 1);
    m.def("new_data_object", &make_data_object, py::arg("key"), py::arg("size") = 0,
          py::arg("label") = "");
}
