// Writes the input to a temporary file and loads it as a parameter file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/param_file.h"

using namespace velmora::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string p = std::string(tmp ? tmp : "/tmp") + "/fuzz_protocol_param_file_" + std::to_string(getpid());
        return p;
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    VideoParam rec;
    rec.bytes[0] = 0xAA;
    long long found = 0;
    int r = LoadParamFile(path, rec, &found);
    if (found != static_cast<long long>(size)) __builtin_trap();
    if (r == 0) {
        if (size != kVideoParamSize || std::memcmp(rec.bytes, data, size) != 0) __builtin_trap();
    } else if (r != kParamFileSizeMismatch || size == kVideoParamSize || rec.bytes[0] != 0xAA) {
        __builtin_trap();
    }
    std::remove(path.c_str());
    return 0;
}
