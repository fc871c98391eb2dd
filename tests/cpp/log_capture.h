#pragma once
// Redirects the default logger into a temporary file for the life of the object.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "zentho/common/logger.h"

class LogCapture {
public:
    explicit LogCapture(uint32_t level = zentho::ALOG_DEBUG) {
        char tmpl[] = "/tmp/logcap.XXXXXX";
        int fd = mkstemp(tmpl);
        m_path = tmpl;
        m_fd = fd;
        m_out = new zentho::BaseLogOutput(fd);
        m_saved = zentho::default_logger;
        zentho::default_logger.m_output = m_out;
        zentho::default_logger.m_level = level;
    }
    ~LogCapture() {
        zentho::default_logger = m_saved;
        delete m_out;
        ::close(m_fd);
        unlink(m_path.c_str());
    }
    std::string text() const {
        std::ifstream in(m_path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    void clear() {
        if (ftruncate(m_fd, 0) == 0) lseek(m_fd, 0, SEEK_SET);
    }

private:
    std::string m_path;
    int m_fd;
    zentho::BaseLogOutput* m_out;
    zentho::Logger m_saved;
};

// A private temporary directory removed with its content.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kivtest.XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + m_path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    const std::string& path() const { return m_path; }
    std::string write(const std::string& name, const std::string& content) const {
        std::string p = m_path + "/" + name;
        std::ofstream(p) << content;
        return p;
    }

private:
    std::string m_path;
};
