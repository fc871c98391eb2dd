#pragma once
// Real peers for network tests: child processes on loopback, free ports and a
// test CA made with the openssl command line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

namespace peers {

inline std::string which(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/", "/usr/local/bin/"}) {
        std::string p = std::string(dir) + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Waits (plain blocking calls, before the runtime touches the port) until something listens.
inline bool wait_listening(int port, int ms = 5000) {
    for (int i = 0; i < ms / 10; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int r = connect(fd, (sockaddr*)&a, sizeof(a));
        close(fd);
        if (r == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A child process killed (SIGTERM, then waited for) on destruction.
class Process {
public:
    explicit Process(std::vector<std::string> argv, const std::string& log = "/dev/null") {
        m_pid = fork();
        if (m_pid == 0) {
            FILE* f = freopen(log.c_str(), "w", stdout);
            (void)f;
            dup2(fileno(stdout), 2);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

inline void run(const std::string& cmd) {
    if (system((cmd + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("command failed: " + cmd);
}

// ca.pem/ca.key; a server cert for localhost and 127.0.0.1 (good), one for
// other.example (wrong name) and one from a CA nobody trusts (stranger).
class TestCA {
public:
    TestCA() {
        std::string openssl = which("openssl");
        if (openssl.empty()) throw std::runtime_error("openssl binary missing: run tools/setup.sh");
        const std::string d = m_dir.path();
        run(openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kiv-test-ca -keyout " + d +
            "/ca.key -out " + d + "/ca.pem");
        run(openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=stranger-ca -keyout " + d +
            "/sca.key -out " + d + "/sca.pem");
        issue(openssl, "good", "DNS:localhost,IP:127.0.0.1", "ca");
        issue(openssl, "wrong", "DNS:other.example", "ca");
        issue(openssl, "stranger", "DNS:localhost,IP:127.0.0.1", "sca");
    }
    std::string path(const std::string& f) const { return m_dir.path() + "/" + f; }

private:
    void issue(const std::string& openssl, const std::string& name, const std::string& san, const std::string& ca) {
        const std::string d = m_dir.path();
        run(openssl + " req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + d + "/" + name + ".key -out " +
            d + "/" + name + ".csr");
        FILE* f = fopen((d + "/" + name + ".ext").c_str(), "w");
        fprintf(f, "subjectAltName=%s\n", san.c_str());
        fclose(f);
        run(openssl + " x509 -req -days 2 -in " + d + "/" + name + ".csr -CA " + d + "/" + ca + ".pem -CAkey " + d +
            "/" + ca + ".key -CAcreateserial -extfile " + d + "/" + name + ".ext -out " + d + "/" + name + ".pem");
    }
    TempDir m_dir;
};

}  // namespace peers
