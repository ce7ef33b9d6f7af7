// Reading a reply stream into a presenter as it arrives.
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "nasbrowse/Stream.h"
#include "plumbing/EvRestoreReturn.h"

namespace nasbrowse {
namespace {

// Counts what it is handed; remembers when the first item came.
class Recorder : public Presenter {
public:
    void Begin() override {}
    void Add(const Item& item) override {
        if (m_items++ == 0) firstAt = std::chrono::steady_clock::now();
        names += item.name + ";";
        if (onAdd) onAdd();
    }
    void Finish(const Failure&, double) override {}
    std::string names;
    std::chrono::steady_clock::time_point firstAt;
    std::function<void()> onAdd;
};

// The reply is written to `writer` and read from `reader`.
using Pair = nsbtest::SocketPair;

// The reply on `fd` read into `recorder` within `timeoutMs`; the output is
// thrown away.
StreamOutcome Read(int fd, Recorder& recorder, int timeoutMs = 5000) {
    const int sink = memfd_create("out", MFD_CLOEXEC);
    OutputStream out(sink);
    const StreamOutcome outcome = StreamReply(fd, timeoutMs, "the test's reply", recorder, out);
    close(sink);
    return outcome;
}

TEST(StreamReply, ItemsReachThePresenterWhileTheWriterIsStillWriting) {
    Pair pair;
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        CLumSocket socket(pair.writer);
        EvRestoreReturn reply(5, RETURN_KIND_NAS_BROWSE, false, &socket, nullptr);
        reply.returnItem(0, "early", 1, 2, 0, 0, 0, 0);
        reply.dumpBuffer(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reply.returnItem(1, "late", 3, 0, 0, 0, 0, 0);
        reply.end(0);
        writerDone = true;
        shutdown(pair.writer, SHUT_WR);
    });
    Recorder recorder;
    bool sawEarlyBeforeTheEnd = false;
    recorder.onAdd = [&] {
        if (recorder.items() == 1) sawEarlyBeforeTheEnd = !writerDone;
    };
    const StreamOutcome outcome = Read(pair.reader, recorder);
    writer.join();
    EXPECT_FALSE(outcome.failure.failed) << outcome.failure.message;
    EXPECT_TRUE(sawEarlyBeforeTheEnd);
    EXPECT_EQ(recorder.names, "early;late;");
}

TEST(StreamReply, AFailureMessageAfterItemsIsTheFailureAndTheItemsStay) {
    Pair pair;
    {
        CLumSocket socket(pair.writer);
        EvRestoreReturn reply(5, RETURN_KIND_NAS_BROWSE, false, &socket, nullptr);
        reply.returnItem(0, "came", 1, 2, 0, 0, 0, 0);
        char text[] = "The folder [/x] of NAS file server [nas1] could not be listed: gone";
        reply.returnMessage(text);
        reply.end(0);
    }
    shutdown(pair.writer, SHUT_WR);
    Recorder recorder;
    const StreamOutcome outcome = Read(pair.reader, recorder);
    EXPECT_TRUE(outcome.failure.failed);
    EXPECT_FALSE(outcome.failure.hasCode);
    EXPECT_EQ(outcome.failure.message,
              "The folder [/x] of NAS file server [nas1] could not be listed: gone");
    EXPECT_EQ(recorder.names, "came;");
}

TEST(StreamReply, ACutOrSilentReplyIsAFailureNeverAnEmptySuccess) {
    {
        Pair pair;
        {
            CLumSocket socket(pair.writer);
            EvRestoreReturn reply(5, RETURN_KIND_NAS_BROWSE, false, &socket, nullptr);
            reply.returnItem(0, "only", 1, 2, 0, 0, 0, 0);
            reply.dumpBuffer(0);  // no end marker
        }
        shutdown(pair.writer, SHUT_WR);
        Recorder recorder;
        const StreamOutcome outcome = Read(pair.reader, recorder);
        EXPECT_TRUE(outcome.failure.failed);
        EXPECT_NE(outcome.failure.message.find("before its end marker"), std::string::npos)
            << outcome.failure.message;
        EXPECT_EQ(recorder.items(), 1u);
    }
    {
        Pair pair;  // nothing is ever written
        Recorder recorder;
        const auto start = std::chrono::steady_clock::now();
        const StreamOutcome outcome = Read(pair.reader, recorder, 300);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_TRUE(outcome.failure.failed);
        EXPECT_NE(outcome.failure.message.find("timed out"), std::string::npos)
            << outcome.failure.message;
        EXPECT_FALSE(outcome.gotHeader);
    }
    {
        Pair pair;
        const char junk[] = "this is no reply stream at all, but it is long enough";
        ASSERT_EQ(write(pair.writer, junk, sizeof junk), static_cast<ssize_t>(sizeof junk));
        shutdown(pair.writer, SHUT_WR);
        Recorder recorder;
        const StreamOutcome outcome = Read(pair.reader, recorder);
        EXPECT_TRUE(outcome.failure.failed);
        EXPECT_EQ(outcome.failure.message.rfind("the test's reply could not be read: ", 0), 0u)
            << outcome.failure.message;
    }
}

TEST(StreamReply, StopsReadingWhenTheOutputFails) {
    signal(SIGPIPE, SIG_IGN);
    Pair pair;
    std::thread writer([&] {
        CLumSocket socket(pair.writer);
        EvRestoreReturn reply(5, RETURN_KIND_NAS_BROWSE, false, &socket, nullptr);
        for (int i = 0; i < 100000 && !reply.failed(); ++i)
            reply.returnItem(0, "an item", 1, 2, 0, 0, 0, 0);
        reply.end(0);
        shutdown(pair.writer, SHUT_WR);
    });
    int closedPipe[2];
    ASSERT_EQ(pipe(closedPipe), 0);
    close(closedPipe[0]);
    OutputStream out(closedPipe[1]);
    Recorder recorder;
    recorder.onAdd = [&] { out.Append("line\n"); };
    const StreamOutcome outcome = StreamReply(pair.reader, 5000, "the test's reply", recorder, out);
    EXPECT_TRUE(outcome.outputFailed);
    EXPECT_TRUE(out.closed());
    EXPECT_LT(recorder.items(), 100000u);
    shutdown(pair.reader, SHUT_RDWR);  // the writer's next writes fail
    writer.join();
    close(closedPipe[1]);
}

}  // namespace
}  // namespace nasbrowse
