#include "protocol/param_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/atomic_file.h"
#include "platform/run_in_child.h"

using namespace velmora::platform;
using namespace velmora::protocol;

namespace fs = std::filesystem;

namespace {

class ParamFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "velmora_param_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static VideoParam Pattern(uint8_t seed) {
        VideoParam rec;
        for (size_t i = 0; i < kVideoParamSize; ++i) rec.bytes[i] = static_cast<uint8_t>(i * 31 + seed);
        return rec;
    }
    static void WriteBytes(const fs::path& p, size_t n, char fill) {
        std::ofstream(p, std::ios::binary) << std::string(n, fill);
    }
    static std::string ReadAll(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t EntriesInDir() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }

    fs::path dir_;
};

TEST_F(ParamFileTest, SaveAndLoadRoundTrip) {
    const fs::path file = dir_ / kParamFileDefaultName;
    const VideoParam saved = Pattern(5);
    ASSERT_EQ(SaveParamFile(file.string(), saved), 0);
    EXPECT_EQ(fs::file_size(file), kVideoParamSize);
    EXPECT_EQ(EntriesInDir(), 1u);  // no temporary file left behind

    VideoParam loaded;
    long long size = 0;
    ASSERT_EQ(LoadParamFile(file.string(), loaded, &size), 0);
    EXPECT_EQ(size, 8191);
    EXPECT_EQ(0, std::memcmp(loaded.bytes, saved.bytes, kVideoParamSize));

    // Saving again replaces the file.
    const VideoParam second = Pattern(9);
    ASSERT_EQ(SaveParamFile(file.string(), second), 0);
    ASSERT_EQ(LoadParamFile(file.string(), loaded, nullptr), 0);
    EXPECT_EQ(0, std::memcmp(loaded.bytes, second.bytes, kVideoParamSize));
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(ParamFileTest, WrongSizesAreRefusedWithTheSizeFound) {
    const VideoParam before = Pattern(1);
    for (size_t n : {size_t{8192}, size_t{0}, size_t{8190}, size_t{100000}}) {
        const fs::path file = dir_ / ("size_" + std::to_string(n) + ".dat");
        WriteBytes(file, n, 'x');
        VideoParam out = before;
        long long size = -5;
        EXPECT_EQ(LoadParamFile(file.string(), out, &size), kParamFileSizeMismatch) << n;
        EXPECT_EQ(size, static_cast<long long>(n));
        EXPECT_EQ(0, std::memcmp(out.bytes, before.bytes, kVideoParamSize)) << n;
    }
}

TEST_F(ParamFileTest, UnopenableInputsAreRefused) {
    const VideoParam before = Pattern(2);
    VideoParam out = before;
    long long size = 0;
    EXPECT_EQ(LoadParamFile((dir_ / "missing.dat").string(), out, &size), kParamFileOpenFailed);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(LoadParamFile(dir_.string(), out, &size), kParamFileOpenFailed);  // a folder
    EXPECT_EQ(LoadParamFile("", out, nullptr), kParamFileOpenFailed);
    // A FIFO must neither block the open nor be read.
    const fs::path fifo = dir_ / "pipe.dat";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(LoadParamFile(fifo.string(), out, &size), kParamFileOpenFailed);
    EXPECT_EQ(0, std::memcmp(out.bytes, before.bytes, kVideoParamSize));
}

TEST_F(ParamFileTest, SaveIntoMissingFolderFails) {
    EXPECT_EQ(SaveParamFile((dir_ / "no_such_folder" / kParamFileDefaultName).string(), Pattern(3)),
              kParamFileOpenFailed);
    EXPECT_EQ(SaveParamFile("", Pattern(3)), kParamFileOpenFailed);
    EXPECT_EQ(EntriesInDir(), 0u);
}

TEST_F(ParamFileTest, SaveOverAFolderFailsAndLeavesItAlone) {
    const fs::path target = dir_ / kParamFileDefaultName;
    fs::create_directory(target);
    WriteBytes(target / "inside", 3, 'i');
    EXPECT_EQ(SaveParamFile(target.string(), Pattern(4)), kParamFileWriteFailed);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(ReadAll(target / "inside"), "iii");
    EXPECT_EQ(EntriesInDir(), 1u);  // the temporary file was removed
}

// A write that fails half-way (here: the file-size limit, which stops root as well) must not
// touch the previous export.
TEST_F(ParamFileTest, FailedWriteKeepsThePreviousFile) {
    const fs::path file = dir_ / kParamFileDefaultName;
    const VideoParam old = Pattern(6);
    ASSERT_EQ(SaveParamFile(file.string(), old), 0);
    const std::string before = ReadAll(file);

    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int result = SaveParamFile(file.string(), Pattern(7));
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, kParamFileWriteFailed);
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(ParamFileTest, SaveKeepsTheTargetsPermissions) {
    const fs::path file = dir_ / kParamFileDefaultName;
    WriteBytes(file, 10, 'o');
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_EQ(SaveParamFile(file.string(), Pattern(8)), 0);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Under a file-size limit an export used to die by SIGXFSZ without a word and leave its
// temporary file. With the signal ignored, the write fails with a reason and cleans up.
TEST_F(ParamFileTest, FileSizeLimitGivesAnErrorInsteadOfKillingTheProcess) {
    const fs::path file = dir_ / kParamFileDefaultName;
    ASSERT_EQ(SaveParamFile(file.string(), Pattern(6)), 0);
    const std::string before = ReadAll(file);
    EXPECT_EQ(RunInChild([&] {
                  velmora::platform::IgnoreFileSizeSignal();
                  struct rlimit limit {};
                  getrlimit(RLIMIT_FSIZE, &limit);
                  limit.rlim_cur = 4096;
                  std::string error = setrlimit(RLIMIT_FSIZE, &limit) == 0 ? "" : "no limit set";
                  return std::to_string(SaveParamFile(file.string(), Pattern(7), &error)) + " " + error;
              }),
              std::to_string(kParamFileWriteFailed) + " writing failed: " + std::strerror(EFBIG));
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_EQ(EntriesInDir(), 1u);
}

}  // namespace
