// velmora-cli upgrade on a tray of cameras, as a production line runs it against velmora-camsim:
// a concurrency cap the simulator can see, the reboot and version check with each failure's own
// code, the report, resuming from it, and the per-camera deadline.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

using velmora::test::Child;
using velmora::test::ProgramResult;
using velmora::test::ReadAll;
using velmora::test::Spawn;
using velmora::test::Wait;
using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

class CliFleetTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-clifleet-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        package_ = dir_ + "/uImage.dat";
        std::ofstream(package_, std::ios::binary) << std::string(5000, 'p');
    }
    void TearDown() override {
        sim_.Stop();
        fs::remove_all(dir_);
    }

    void StartSim(int count, std::vector<std::string> extra) {
        std::vector<std::string> args = {"--usb-dir", dir_ + "/usb", "--usb-count", std::to_string(count),
                                         "--flash-steps", "2", "--reboot-ms", "100",
                                         "--writers-file", dir_ + "/writers.json"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_.Start(std::move(args))) << "simulator did not start";
    }

    ProgramResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), VELMORA_CLI_PATH);
        Child c = Spawn(args, {"VELMORA_USB_SIM=" + dir_ + "/usb"});
        ProgramResult r;
        std::thread errReader([&] { r.err = ReadAll(c.err); });
        r.out = ReadAll(c.out);
        errReader.join();
        r.status = Wait(c.pid);
        return r;
    }

    static Json Load(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return Json(cJSON_Parse(text.str().c_str()), &cJSON_Delete);
    }

    // The report's camera entry with this serial, or null.
    static const cJSON* Entry(const cJSON* report, const std::string& serial) {
        const cJSON* camera = nullptr;
        cJSON_ArrayForEach(camera, cJSON_GetObjectItem(report, "cameras")) {
            if (serial == cJSON_GetStringValue(cJSON_GetObjectItem(camera, "serial"))) return camera;
        }
        return nullptr;
    }
    static std::string Text(const cJSON* entry, const char* key) {
        const char* v = cJSON_GetStringValue(cJSON_GetObjectItem(entry, key));
        return v ? v : "<not a text>";
    }
    static int Number(const cJSON* entry, const char* key) {
        return static_cast<int>(cJSON_GetNumberValue(cJSON_GetObjectItem(entry, key)));
    }
    static std::string Serial(int n) { return "VMS2024" + std::string(n < 10 ? "0000" : "000") + std::to_string(n); }

    std::string dir_;
    std::string package_;
    velmora::test::SimulatorProcess sim_;
};

bool Has(const std::string& text, const std::string& line) { return text.find(line + "\n") != std::string::npos; }

}  // namespace

TEST_F(CliFleetTest, TwelveCamerasFourAtATimeEachFailureWithItsOwnCodeThenResumeFromTheReport) {
    StartSim(12, {"--fault", "cam03:rollback", "--fault", "cam06:no-return", "--fault", "cam09:stall,cmd=30001008,times=1",
                  "--fault", "cam12:slow-return=600"});
    const std::string report = dir_ + "/report.json";
    ProgramResult r = Cli({"--all", "upgrade", "--jobs", "4", "--reboot", "--reconnect-timeout", "3", "--report",
                           report, package_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error -360: camera 3 (serial VMS202400003): 版本未变\n"
                     "error -361: camera 6 (serial VMS202400006): 重启后未上线\n"
                     "error -302: camera 9 (serial VMS202400009): 请求升级失败:-302\n");
    EXPECT_TRUE(Has(r.out, "[12] 校验通过:版本1.03")) << r.out;
    EXPECT_TRUE(Has(r.out, "[1] 等待设备重新上线...")) << r.out;

    // The simulator saw at most four cameras receive or write at once, and more than one.
    Json writers = Load(dir_ + "/writers.json");
    ASSERT_NE(writers, nullptr);
    const int peak = Number(writers.get(), "peak_writers");
    EXPECT_LE(peak, 4);
    EXPECT_GE(peak, 2);

    Json first = Load(report);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Number(first.get(), "status"), 1);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(first.get(), "reboot")));
    ASSERT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(first.get(), "cameras")), 12);
    for (int n = 1; n <= 12; ++n) {
        SCOPED_TRACE(n);
        const cJSON* e = Entry(first.get(), Serial(n));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(Number(e, "index"), n);
        EXPECT_EQ(Text(e, "model"), "VMC-U2000");
        EXPECT_EQ(Text(e, "version_before"), "1.02");
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(e, "packages")), 1);
        const cJSON* seconds = cJSON_GetObjectItem(e, "seconds");
        for (const char* phase : {"sending", "flashing", "rebooting", "reconnecting", "verifying", "total"})
            EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(seconds, phase))) << phase;
        const int code = Number(e, "error_code");
        if (n == 3 || n == 6 || n == 9) {
            EXPECT_EQ(Text(e, "result"), "failed");
            EXPECT_EQ(code, n == 3 ? -360 : n == 6 ? -361 : -302);
        } else {
            EXPECT_EQ(Text(e, "result"), "verified");
            EXPECT_EQ(code, 0);
            EXPECT_EQ(Text(e, "version_after"), "1.03");
        }
    }
    EXPECT_EQ(Text(Entry(first.get(), Serial(3)), "version_after"), "1.02");
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(Entry(first.get(), Serial(6)), "version_after")));

    // Resume: only the failed cameras are taken. The stalled one now goes through, the one that
    // rolls back fails again, the one that never came back is not found (and the cameras after
    // it move up one place in list order).
    const std::string again = dir_ + "/again.json";
    r = Cli({"--json", "--serial-file", report, "upgrade", "--reboot", "--reconnect-timeout", "3", "--report", again,
             package_});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, R"({"camera": 8, "state": "verified", "percent": -1, "text": "校验通过:版本1.03"})")) << r.out;
    EXPECT_EQ(r.out.find(R"({"camera": 1,)"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "error -360: camera 3 (serial VMS202400003): 版本未变\n"
                     "error -304: no USB camera has serial VMS202400006 (found 11)\n");
    Json second = Load(again);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(second.get(), "cameras")), 3);
    EXPECT_EQ(Text(Entry(second.get(), Serial(9)), "result"), "verified");
    EXPECT_EQ(Number(Entry(second.get(), Serial(6)), "error_code"), -304);
    EXPECT_EQ(Number(Entry(second.get(), Serial(3)), "error_code"), -360);
}

TEST_F(CliFleetTest, EachCameraHasItsOwnDeadlineAndTheVersionCanBeNamed) {
    StartSim(2, {"--flash-steps", "cam01=0", "--fault", "cam01:slow-flash=60000"});
    ProgramResult r = Cli({"--all", "upgrade", "--timeout", "1", package_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error -362: camera 1 (serial VMS202400001): 升级超时:1秒内未完成\n");
    EXPECT_TRUE(Has(r.out, "[2] 升级成功.")) << r.out;

    // A list of serials names the cameras of any command; blanks and comments are skipped.
    const std::string list = dir_ + "/tray.txt";
    std::ofstream(list) << "# second camera of the tray\n  " << Serial(2) << " \n\n";
    r = Cli({"--serial-file", list, "info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "[2] Serial=" + Serial(2))) << r.out;

    // The second camera has written one package already: after this one it runs 1.04.
    r = Cli({"--serial", Serial(2), "upgrade", "--reboot", "--expect-version", "1.05", package_});
    EXPECT_EQ(r.status, 1);
    // Found by its serial, the camera still has its number in list order.
    EXPECT_EQ(r.err, "error -363: camera 2 (serial VMS202400002): 版本不符:1.04\n");
    r = Cli({"--device", "2", "upgrade", "--reboot", "--expect-version", "1.05", "--expect-build-date", "2024-05-20",
             package_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "[2] 校验通过:版本1.05")) << r.out;
}
