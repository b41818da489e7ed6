// Parse time of a complete read-parameters reply and build time of the whole-record request,
// plus an ability-list reply of a typical camera on both transports.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/ability_list.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

using namespace velmora::protocol;

namespace {

std::string FullVideoParamsReply() {
    std::string text = "{\"Content\":{\"nResult\":0,\"VideoParam\":{";
    bool first = true;
    int value = 1;
    for (const VideoParamField& field : VideoParamFields()) {
        if (field.offset == kSceneModeCopyOffset) continue;  // one eSceneMode member
        if (!first) text += ",";
        first = false;
        text += "\"" + std::string(field.member) + "\":" + std::to_string(value++);
    }
    return text + "}}}";
}

std::string AbilityReply(AbilityShape shape) {
    std::string text = "{\"Content\":{\"nResult\":0,\"Image\":[";
    for (int item = 0; item < 20; ++item) {
        if (item) text += ",";
        std::string options;
        for (int o = 0; o < 8; ++o) options += (o ? "," : "") + ("\"" + std::to_string(o) + "\":\"选项" + std::to_string(o) + "\"");
        std::string zh = shape == AbilityShape::Network ? "{\"Title\":\"标题\",\"Value\":{\"Options\":{" + options + "}}}"
                                                        : "{\"Title\":\"标题\",\"Options\":{" + options + "}}";
        text += "{\"Key\":\"key" + std::to_string(item) + "\",\"Display\":1,\"zh\":" + zh + "}";
    }
    return text + "]}}";
}

void BM_ParseVideoParamsReply(benchmark::State& state) {
    const std::string text = FullVideoParamsReply();
    VideoParam rec;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseVideoParamsReply(text.c_str(), rec));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseVideoParamsReply);

void BM_BuildWriteVideoParamsRequest(benchmark::State& state) {
    VideoParam rec;
    for (size_t i = 0; i < kVideoParamSize; ++i) rec.bytes[i] = static_cast<uint8_t>(i);
    for (auto _ : state) {
        std::string text = BuildWriteVideoParamsRequest(rec);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_BuildWriteVideoParamsRequest);

void BM_ParseAbilityListReply(benchmark::State& state) {
    const AbilityShape shape = state.range(0) == 0 ? AbilityShape::Network : AbilityShape::Usb;
    const std::string text = AbilityReply(shape);
    AbilityList list;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseAbilityListReply(text.c_str(), shape, 0, list));
    }
    state.SetLabel(shape == AbilityShape::Network ? "network (CP936 labels)" : "usb");
}
BENCHMARK(BM_ParseAbilityListReply)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
