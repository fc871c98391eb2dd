#include "config/python_credential.h"

#include <pthread.h>

#include "zentho/common/logger.h"

namespace py = pybind11;
using namespace zentho;

PythonCredentialProvider::PythonCredentialProvider(py::object host) : m_host(std::move(host)) {
    ZenthoOptions opts;
    opts.aio_queue_depth = 32;
    opts.pooled_stacks = false;
    opts.bypass_pool = false;
    m_executor = new Executor(INIT_EVENT_EPOLL, INIT_IO_NONE, opts);
    // the executor thread never needs the interpreter lock to start
    m_thread = m_executor->run_and_wait([this]() -> Thread* {
        pthread_setname_np(pthread_self(), "pycred-update");
        Thread* th = thread_create(&refresh_loop, this, DEFAULT_STACK_SIZE);
        if (!th) LOG_ERROR("failed to create credential refresh thread ", ERRNO());
        return th;
    });
}

void* PythonCredentialProvider::refresh_loop(void* arg) {
    auto* self = static_cast<PythonCredentialProvider*>(arg);
    while (!self->m_stop) {
        thread_usleep(Timeout(REFRESH_US));
        if (self->m_stop) break;
        {
            py::gil_scoped_acquire gil;
            if (self->update(true) < 0) LOG_ERROR("update credential failed");
        }
    }
    return nullptr;
}

int PythonCredentialProvider::update(bool locked) {
    std::string id, secret, token;
    try {
        py::object creds = m_host.attr("get_credentials")();
        id = py::str(creds.attr("access_key_id"));
        auto optional = [&](const char* name) {
            if (!py::hasattr(creds, name)) return std::string();
            py::object v = creds.attr(name);
            return v.is_none() ? std::string() : std::string(py::str(v));
        };
        secret = optional("access_key_secret");
        token = optional("security_token");
    } catch (std::exception& e) {  // host exceptions and failed conversions
        LOG_ERROR("python error: ", e.what());
        return -1;
    }
    bool held = locked && m_lock.lock(WLOCK) == 0;
    m_access_key_id = id;
    m_access_key_secret = std::move(secret);
    m_security_token = std::move(token);
    m_expiration = 0;
    if (held) m_lock.unlock();
    LOG_INFO("update cred, accessKeyID: ", id, ", expire timestamp: ", 0);
    return 0;
}

std::string PythonCredentialProvider::access_key_id() { return read_locked(m_lock, m_access_key_id); }
std::string PythonCredentialProvider::access_key_secret() { return read_locked(m_lock, m_access_key_secret); }
std::string PythonCredentialProvider::security_token() { return read_locked(m_lock, m_security_token); }
int64_t PythonCredentialProvider::expiration() { return read_locked(m_lock, m_expiration); }

int PythonCredentialProvider::reset() {
    LOG_INFO("reset python cred provider");
    // its thread does not exist in the child; destroying it would wait forever
    m_executor = nullptr;
    m_thread = nullptr;
    return 0;
}

PythonCredentialProvider::~PythonCredentialProvider() {
    LOG_INFO("destruct PythonCredentialProvider");
    {
        py::gil_scoped_release nogil;
        if (m_executor) {
            m_executor->run_and_wait([this] {
                m_stop = true;
                if (m_thread) {
                    thread_set_joinable(m_thread);
                    thread_interrupt(m_thread, EINTR);
                    thread_join(m_thread);
                    m_thread = nullptr;
                }
                return 0;
            });
            delete m_executor;
            m_executor = nullptr;
        }
    }
    m_host = py::object();
    LOG_INFO("destruct PythonCredentialProvider done");
}
