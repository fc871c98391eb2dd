#include "zentho/common/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>
#include <fcntl.h>

using namespace zentho;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Captures the default logger's lines in a temporary file for one test.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/logger_test.XXXXXX";
        m_dir = mkdtemp(tmpl);
        m_path = m_dir + "/capture.log";
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644);
        ASSERT_GE(m_fd, 0);
        m_out = new BaseLogOutput(m_fd);
        m_saved = default_logger;
        default_logger.m_output = m_out;
        default_logger.m_level = ALOG_DEBUG;
    }
    void TearDown() override {
        default_logger = m_saved;
        delete m_out;
        ::close(m_fd);
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string captured() { return read_file(m_path); }

    std::string m_dir, m_path;
    int m_fd = -1;
    BaseLogOutput* m_out = nullptr;
    Logger m_saved{};
};

int lines_in(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

}  // namespace

TEST_F(LoggerTest, LineFormatForEachLevel) {
    int line = __LINE__ + 1;
    LOG_INFO("construct dataset, id: ", 0, ", total: ", 1);
    std::string s = captured();
    std::regex re(
        R"(^[0-9]{4,}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}\|INFO \|th=[0-9A-F]{16}\|logger_test\.cpp:([0-9]+)\|TestBody:construct dataset, id: 0, total: 1\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s, m, re)) << s;
    EXPECT_EQ(std::stoi(m[1]), line);
    // not a runtime thread
    EXPECT_NE(s.find("|th=0000000000000000|"), std::string::npos);
}

TEST_F(LoggerTest, TagsAndAuditShape) {
    struct Case {
        uint32_t level;
        const char* tag;
    } cases[] = {{ALOG_DEBUG, "|DEBUG|"}, {ALOG_WARN, "|WARN |"}, {ALOG_ERROR, "|ERROR|"},
                 {ALOG_FATAL, "|FATAL|"}, {ALOG_TEMP, "|TEMP |"}};
    for (auto& c : cases) {
        ASSERT_EQ(ftruncate(m_fd, 0), 0);
        LogSite site{"fn", "file.cpp", 7, c.level};
        log_line(default_logger, site, "x");
        std::string s = captured();
        EXPECT_NE(s.find(std::string(c.tag) + "th="), std::string::npos) << s;
        EXPECT_NE(s.find("|file.cpp:7|fn:x\n"), std::string::npos) << s;
    }
    // audit lines leave out file, line and function
    ASSERT_EQ(ftruncate(m_fd, 0), 0);
    Logger audit{m_out, ALOG_AUDIT};
    LogSite site{"fn", "file.cpp", 7, ALOG_AUDIT};
    log_line(audit, site, "slow read");
    std::regex re(R"(^[0-9/ :.]+\|AUDIT\|th=[0-9A-F]{16}\|slow read\n$)");
    EXPECT_TRUE(std::regex_match(captured(), re)) << captured();
}

TEST_F(LoggerTest, PiecesAndValueGroups) {
    int workers = 2;
    uint64_t big = 18446744073709551613ull;
    const std::string name = "abc";
    int64_t neg = -42;
    LOG_INFO("init ", VALUE(workers), VALUE(big), VALUE(name), " ", neg, ' ', true, false, ' ',
             ERRNO(ENOENT));
    std::string s = captured();
    EXPECT_NE(s.find(":init [workers=2][big=18446744073709551613][name=abc] -42 10 "
                     "errno=2(No such file or directory)\n"),
              std::string::npos)
        << s;
}

TEST_F(LoggerTest, ErrnoIsPreservedAndZeroMeansCurrent) {
    errno = EACCES;
    LOG_ERROR("open failed ", ERRNO());
    EXPECT_EQ(errno, EACCES);
    EXPECT_NE(captured().find("errno=13(Permission denied)"), std::string::npos);
}

TEST_F(LoggerTest, SuppressedLinesAreNotFormatted) {
    default_logger.m_level = ALOG_INFO;
    int evaluated = 0;
    auto side = [&] { return ++evaluated; };
    LOG_DEBUG("never ", side());
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(captured(), "");
    LOG_INFO("yes ", side());
    EXPECT_EQ(evaluated, 1);
}

TEST_F(LoggerTest, LongMessageIsCutAtPieceBoundary) {
    std::string small(100, 'a');
    std::string huge(5000, 'b');
    LOG_INFO(small, huge, "tail");
    std::string s = captured();
    EXPECT_LE(s.size(), LogBuffer::SIZE - 1);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back(), '\n');
    EXPECT_EQ(lines_in(s), 1);
    // the piece that does not fit is dropped whole, later pieces still go in
    EXPECT_EQ(s.find('b'), std::string::npos);
    EXPECT_NE(s.find(small + "tail\n"), std::string::npos);

    // many small pieces fill the line up to the limit
    ASSERT_EQ(ftruncate(m_fd, 0), 0);
    std::string chunk(1000, 'c');
    LOG_INFO(chunk, chunk, chunk, chunk, chunk);
    s = captured();
    EXPECT_EQ(lines_in(s), 1);
    EXPECT_EQ(s.back(), '\n');
    EXPECT_LE(s.size(), LogBuffer::SIZE - 1);
    std::string msg = s.substr(s.find("TestBody:") + 9);
    EXPECT_EQ(std::count(msg.begin(), msg.end(), 'c') % 1000, 0);
    EXPECT_EQ(msg.size(), 4001u);  // four pieces of 1000 fit after the prefix, the fifth does not
}

TEST(LogRotation, KeepsLiveFileAndTwoRotated) {
    char tmpl[] = "/tmp/logrot.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string p = dir + "/connector.log";
    for (auto& [suffix, text] : std::vector<std::pair<std::string, std::string>>{
             {"", "live"}, {".1", "one"}, {".2", "two"}}) {
        std::ofstream(p + suffix) << text;
    }
    log_rotate_files(p.c_str(), 3);
    EXPECT_EQ(access(p.c_str(), F_OK), -1);
    EXPECT_EQ(read_file(p + ".1"), "live");
    EXPECT_EQ(read_file(p + ".2"), "one");
    EXPECT_EQ(access((p + ".3").c_str(), F_OK), -1);

    // rotation by size through the file output, reopening an empty live file
    auto* out = static_cast<LogOutputFile*>(new_log_output_file(p.c_str(), 4096, 3, UINT64_MAX));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->m_rotation_size, LogOutputFile::MIN_ROTATION_SIZE);
    Logger lg{out, ALOG_INFO};
    std::string piece(1000, 'x');
    LogSite site{"f", "f.cpp", 1, ALOG_INFO};
    size_t total = 0;
    while (total <= (1u << 20)) {
        log_line(lg, site, piece);
        total += 1000;
    }
    log_line(lg, site, "after");
    out->destruct();
    EXPECT_EQ(read_file(p + ".2"), "live");
    std::string rotated = read_file(p + ".1");
    EXPECT_GT(rotated.size(), size_t(1 << 20));
    std::string live = read_file(p);
    EXPECT_LT(live.size(), size_t(1 << 20));
    EXPECT_NE(live.find("after"), std::string::npos);
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(LogRotation, CountIsCappedAt30) {
    char tmpl[] = "/tmp/logrot.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string p = dir + "/a.log";
    auto* out = static_cast<LogOutputFile*>(new_log_output_file(p.c_str(), 1 << 30, 50, 5));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->m_rotation_count, 30);
    EXPECT_EQ(out->rate_limit(), 5u);
    out->destruct();
    EXPECT_EQ(new_log_output_file((dir + "/missing/x.log").c_str(), 0, 3, UINT64_MAX), nullptr);
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(LogRateLimit, SleepsWhenSecondIsOverLimit) {
    LogOutputNull out;
    out.set_rate_limit(3);
    Logger lg{&out, ALOG_INFO};
    LogSite site{"f", "f.cpp", 1, ALOG_INFO};
    // align to the start of a second so that all lines fall into one
    auto now = std::chrono::system_clock::now();
    auto next = std::chrono::ceil<std::chrono::seconds>(now);
    std::this_thread::sleep_until(next + std::chrono::milliseconds(10));
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) log_line(lg, site, "x");
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_LT(t1 - t0, std::chrono::milliseconds(500));
    log_line(lg, site, "x");  // the fourth line of this second waits one second
    auto t2 = std::chrono::steady_clock::now();
    EXPECT_GE(t2 - t1, std::chrono::milliseconds(990));
}
