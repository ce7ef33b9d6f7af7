// The log writer: level gating, one whole line per call, escaping, threads.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/pointer_cast.hpp>
#include <gtest/gtest.h>

#include "host/LogWriter.h"

namespace {

// The fixed head of a line: time, level; the tail: where in the code,
// process id, thread id.
const std::regex kHead(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (error|info|debug(\d+)) )");
const std::regex kTail(R"(  \(in (.*):(\d+), process (\d+) thread (\d+)\)$)");

struct Line {
    long pid;
    int level;
    std::string function;
    std::string message;
};

// Each test gets a fresh directory and a file writer installed as the
// process writer; both are undone afterwards.
class HostLog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nsb-hostlog-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_path = m_dir + "/host.log";
        m_saved = g_ptrLogWriter;
    }

    void TearDown() override {
        g_ptrLogWriter = m_saved;
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }

    boost::shared_ptr<CAdjustableLogWriter> InstallFileWriter(int level) {
        g_ptrLogWriter = MakeLogWriter(m_path, level);
        return boost::dynamic_pointer_cast<CAdjustableLogWriter>(g_ptrLogWriter);
    }

    // Every line of the file; fails the test on a line of the wrong shape.
    std::vector<Line> ReadLines() {
        std::vector<Line> lines;
        std::ifstream in(m_path);
        std::string text;
        while (std::getline(in, text)) {
            std::smatch head, tail;
            const size_t at = text.rfind("  (in ");
            const std::string end = at == std::string::npos ? "" : text.substr(at);
            if (!std::regex_search(text, head, kHead) || !std::regex_match(end, tail, kTail)) {
                ADD_FAILURE() << "not a whole log line: [" << text << "]";
                continue;
            }
            const int level = head[1] == "error" ? -1 : head[1] == "info" ? 0 : std::stoi(head[2]);
            const size_t start = head.length(0);
            lines.push_back({std::stol(tail[3]), level, tail[1], text.substr(start, at - start)});
        }
        return lines;
    }

    std::string m_dir;
    std::string m_path;
    boost::shared_ptr<CLogWriterInterface> m_saved;
};

TEST(HostLogDefault, WriterExistsAtLoadAtLevelZero) {
    ASSERT_NE(nullptr, g_ptrLogWriter.get());
    EXPECT_EQ(0, CurrentLogLevel());
    EXPECT_NE(nullptr, boost::dynamic_pointer_cast<CAdjustableLogWriter>(g_ptrLogWriter));
}

TEST_F(HostLog, GatedLinesAreNeitherWrittenNorEvaluated) {
    boost::shared_ptr<CAdjustableLogWriter> writer = InstallFileWriter(2);
    ASSERT_NE(nullptr, writer);
    int evaluated = 0;
    NSB_LOG(3, "void F()", "level 3 [%d]", ++evaluated);
    NSB_LOG(4, "void F()", "level 4 [%d]", ++evaluated);
    EXPECT_EQ(0, evaluated);
    NSB_LOG(2, "void F()", "level 2 [%d]", ++evaluated);
    NSB_LOG(LOG_ERROR, "void F()", "failure [%d]", ++evaluated);
    EXPECT_EQ(2, evaluated);

    writer->SetLogLevel(-1);
    EXPECT_EQ(-1, CurrentLogLevel());
    NSB_LOG(0, "void F()", "level 0 [%d]", ++evaluated);
    NSB_LOG(LOG_ERROR, "void F()", "failure [%d]", ++evaluated);
    writer->SetLogLevel(4);
    NSB_LOG(4, "void F()", "level 4 [%d]", ++evaluated);
    writer->WriteLog(5, "void F()", 1, 0, 0, "level 5 written directly");  // still gated
    EXPECT_EQ(4, evaluated);

    const std::vector<Line> lines = ReadLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("level 2 [1]", lines[0].message);
    EXPECT_EQ(2, lines[0].level);
    EXPECT_EQ("failure [2]", lines[1].message);
    EXPECT_EQ(-1, lines[1].level);
    EXPECT_EQ("failure [3]", lines[2].message);
    EXPECT_EQ("level 4 [4]", lines[3].message);
    EXPECT_EQ("void F()", lines[0].function);
    EXPECT_EQ(static_cast<long>(getpid()), lines[0].pid);
}

TEST_F(HostLog, ValuesCannotForgeLinesOrActAsFormats) {
    InstallFileWriter(0);
    NSB_LOG(0, "void F()", "Skipping [%s] since it is a snapshot dir.",
            "a\nfake line\r\\x\x7f\x01");
    NSB_LOG(0, "void F()", "value [%s]", "%s%n");
    const std::string longValue(20000, 'y');
    NSB_LOG(0, "void F()", "[%s]", longValue.c_str());
    NSB_LOG(0, "void F()", "%s", "{} {0} {:>10}");  // spdlog's own syntax is inert too

    const std::vector<Line> lines = ReadLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("Skipping [a\\x0afake line\\x0d\\\\x\\x7f\\x01] since it is a snapshot dir.",
              lines[0].message);
    EXPECT_EQ("value [%s%n]", lines[1].message);
    EXPECT_EQ("[" + longValue + "]", lines[2].message);
    EXPECT_EQ("{} {0} {:>10}", lines[3].message);
}

TEST_F(HostLog, EightThreadsWriteOnlyWholeLines) {
    InstallFileWriter(4);
    const int kThreads = 8;
    const int kPerThread = 300;
    const std::string padding(200, 'p');  // long lines make interleaving visible
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kPerThread; ++i)
                NSB_LOG(i % 5, "void Worker(int)", "thread [%d] line [%d] %s", t, i,
                        padding.c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::vector<Line> lines = ReadLines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), lines.size());
    std::set<std::pair<int, int>> seen;
    const std::regex message(R"(thread \[(\d)\] line \[(\d+)\] p{200})");
    for (const Line& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line.message, m, message)) << line.message;
        EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), seen.size());
}

TEST_F(HostLog, UnopenableFileThrowsAndNoWriterIsTolerated) {
    std::ofstream(m_path) << "a regular file";
    EXPECT_THROW(MakeLogWriter(m_path + "/sub.log", 0), std::runtime_error);

    g_ptrLogWriter.reset();
    int evaluated = 0;
    NSB_LOG(LOG_ERROR, "void F()", "[%d]", ++evaluated);
    EXPECT_EQ(0, evaluated);
    EXPECT_EQ(-1, CurrentLogLevel());
}

}  // namespace
