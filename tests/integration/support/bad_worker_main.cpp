// A stand-in for the NFS client worker that misbehaves, for the library's
// tests of its side of the boundary. The misbehaviour is the last part of
// the name it is started by (a link to this program): crash, garbage, hang,
// silent-exit, huge-frame, flood, wrong-frame.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "nfs_client/WorkerFrames.h"

namespace {

void WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0) _exit(1);
        done += static_cast<size_t>(n);
    }
}

std::string Entry(uint64_t i) {
    NFSItemInfo info{};
    const std::string name = "f" + std::to_string(i);
    info.name = name.c_str();
    info.type = 1;
    std::string frame;
    nfsclient::frames::Append(frame, nfsclient::frames::kEntry,
                              nfsclient::frames::EncodeEntry(info));
    return frame;
}

}  // namespace

int main(int, char** argv) {
    std::string mode = argv[0];
    mode = mode.substr(mode.rfind('-') + 1);
    char buffer[4096];
    while (read(0, buffer, sizeof buffer) > 0) {
    }  // the whole request, up to its end
    if (mode == "crash") {
        // Killed by the signal, as a crashing worker is: a sanitizer's own
        // handler would catch it and exit with a status instead.
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    }
    if (mode == "hang") pause();
    if (mode == "exit") _exit(0);
    if (mode == "garbage") WriteAll(std::string(100, '\xee'));
    if (mode == "huge")
        WriteAll(std::string("\xff\xff\xff\x7f", 4) + "I");  // a frame of 2 GiB declared
    if (mode == "wrong") {                                   // an export path in a listing
        std::string frame;
        nfsclient::frames::Append(frame, nfsclient::frames::kExport, "/vol");
        WriteAll(Entry(1) + frame);
    }
    if (mode == "flood")
        for (uint64_t i = 1;; ++i) WriteAll(Entry(i));
    pause();
}
