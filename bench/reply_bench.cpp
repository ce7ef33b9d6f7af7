// Throughput of the two answer paths: browse items through the reply stream
// to the reply reader, and an XML browse response of many items.

#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/BrowseMessageFields.h"
#include "host/MessageBase.h"
#include "host_framework/MessageXml.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/EvRestoreReturn.h"

namespace {

constexpr int ITEMS = 100000;

std::string Name(int i) { return "directory-entry-" + std::to_string(i) + ".dat"; }

void BM_ReturnItemThroughSocketToReader(benchmark::State& state) {
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair failed");
            break;
        }
        ReplyWire::Reply reply;
        std::string error;
        std::thread reader([&] { ReplyWire::ReadReply(fds[1], 10000, reply, error); });
        {
            CLumSocket socket(fds[0]);
            EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
            for (int i = 0; i < ITEMS; ++i)
                stream.returnItem(i & 1, Name(i).c_str(), 1700000000 + i, i * 512LL, 0, 0, 0, 0);
            stream.end(0);
        }
        reader.join();
        close(fds[0]);
        close(fds[1]);
        if (reply.items.size() != static_cast<size_t>(ITEMS)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(reply.items.data());
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_ReturnItemThroughSocketToReader)->Unit(benchmark::kMillisecond);

void BM_BuildAndWriteXmlResponse(benchmark::State& state) {
    using namespace App;
    for (auto _ : state) {
        MachineBrowseResp resp;
        resp.setstring(RESP_PATH.field, RESP_PATH.secondIndex, "/vol/data",
                       CLASS_MACHINE_BROWSE_RESP, RESP_PATH.id);
        std::vector<MachineBrowseItem>* items = resp.getBrowseItems();
        items->reserve(ITEMS);
        for (int i = 0; i < ITEMS; ++i) {
            MachineBrowseItem item;
            item.setint64(ITEM_FOLDER.field, ITEM_FOLDER.secondIndex, i & 1,
                          CLASS_MACHINE_BROWSE_ITEM, ITEM_FOLDER.id);
            item.setstring(ITEM_NAME.field, ITEM_NAME.secondIndex, Name(i),
                           CLASS_MACHINE_BROWSE_ITEM, ITEM_NAME.id);
            item.setint64(ITEM_MODIFY_TIME.field, ITEM_MODIFY_TIME.secondIndex, 1700000000 + i,
                          CLASS_MACHINE_BROWSE_ITEM, ITEM_MODIFY_TIME.id);
            item.setint64(ITEM_SIZE.field, ITEM_SIZE.secondIndex, i * 512LL,
                          CLASS_MACHINE_BROWSE_ITEM, ITEM_SIZE.id);
            items->push_back(item);
        }
        const std::string xml = MessageXml::WriteMachineBrowseResp(resp);
        benchmark::DoNotOptimize(xml.data());
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_BuildAndWriteXmlResponse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
