// velmora-cli's profile commands as scripts use them, against velmora-camsim: diff, apply, export
// to JSON, --json output parsed back, and the exit statuses 0, 1 and 3.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

using Result = velmora::test::ProgramResult;

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

Json ParseJson(const std::string& text) {
    Json j(cJSON_Parse(text.c_str()));
    EXPECT_TRUE(j) << "not JSON: " << text;
    return j;
}

// The apply report's member entry named `member`, or null.
const cJSON* ReportMember(const cJSON* report, const char* member) {
    const cJSON* m = nullptr;
    cJSON_ArrayForEach(m, cJSON_GetObjectItem(report, "members")) {
        if (std::string(cJSON_GetObjectItem(m, "member")->valuestring) == member) return m;
    }
    return nullptr;
}

std::string Text(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item->valuestring : "";
}

// cam01 plain, cam02 clamps Luminance to 10..80 and ignores Contrast, cam03 refuses every set.
class CliProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-cliprofile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(sim_.Start({"--usb-dir", dir_ + "/usb", "--usb-count", std::to_string(CameraCount()),
                                "--fault", "cam02:clamp=Luminance:10..80", "--fault", "cam02:ignore=Contrast",
                                "--fault", "cam03:refuse=-5,cmd=40001090"}))
            << "simulator did not start";
    }
    void TearDown() override {
        sim_.Stop();
        fs::remove_all(dir_);
    }
    Result Cli(const std::string& args, bool mergeErr = false) {
        return velmora::test::Shell(
            "VELMORA_USB_SIM=" + dir_ + "/usb VELMORA_SEARCH_TARGETS=127.0.0.1 " + VELMORA_CLI_PATH + " " + args,
            mergeErr);
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + "/" + name) << text;
        return dir_ + "/" + name;
    }

    virtual int CameraCount() const { return 3; }

    std::string dir_;
    velmora::test::SimulatorProcess sim_;
};

class CliFleetTest : public CliProfileTest {
protected:
    int CameraCount() const override { return 16; }
};

}  // namespace

TEST_F(CliProfileTest, ExportDiffAndDiffOfTwoFiles) {
    const std::string golden = dir_ + "/golden.json";
    Result r = Cli("--device 1 --json export " + golden);
    ASSERT_EQ(r.status, 0) << r.out;
    Json exported = ParseJson(r.out);
    EXPECT_EQ(Text(exported.get(), "format"), "json");
    std::ifstream in(golden);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Json file = ParseJson(text);
    EXPECT_EQ(Text(file.get(), "model"), "VMC-U2000");
    EXPECT_EQ(Text(file.get(), "serial"), "VMS202400001");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(file.get(), "members")), 46);

    r = Cli("--device 1 diff " + golden);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(Cli("--device 1 set Luminance=61 BExpCPS=-3").status, 0);
    r = Cli("--device 1 diff " + golden);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Luminance\t61\t50\nBExpCPS\t-3\t0\n");
    r = Cli("--device 1 --json diff " + golden);
    EXPECT_EQ(r.status, 3);
    Json diff = ParseJson(r.out);
    EXPECT_EQ(cJSON_GetObjectItem(diff.get(), "different")->valueint, 2);
    const cJSON* first = cJSON_GetArrayItem(cJSON_GetObjectItem(diff.get(), "members"), 0);
    EXPECT_EQ(cJSON_GetObjectItem(first, "camera")->valueint, 61);
    EXPECT_EQ(cJSON_GetObjectItem(first, "profile")->valueint, 50);

    // File against file: the parameter file of the changed camera against the golden profile.
    const std::string dat = dir_ + "/now.dat";
    ASSERT_EQ(Cli("--device 1 export " + dat).status, 0);
    r = Cli("diff " + dat + " " + golden);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Luminance\t61\t50\nBExpCPS\t-3\t0\n");
    const std::string partial = Write("partial.json", R"({"format": "velmora-profile", "version": 1,
        "members": {"Luminance": 61}})");
    r = Cli("--json diff " + partial + " " + golden);
    EXPECT_EQ(r.status, 3);
    Json both = ParseJson(r.out);
    EXPECT_EQ(cJSON_GetObjectItem(both.get(), "different")->valueint, 46);  // 45 only on the right
    EXPECT_EQ(Cli("diff " + golden + " " + golden).status, 0);
}

TEST_F(CliProfileTest, ApplyClassifiesAndTheStatusSaysHowItEnded) {
    const std::string profile = Write("p.json", R"({"format": "velmora-profile", "version": 1,
        "members": {"Luminance": 95, "Contrast": 20, "Saturation": 40}})");
    // A camera that takes everything.
    Result r = Cli("--device 1 apply " + profile);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Luminance\tconfirmed\t50 -> 95\n"), std::string::npos) << r.out;
    EXPECT_EQ(Cli("--device 1 diff " + profile).status, 0);

    // Clamped and ignored: finished, with members adjusted (3).
    r = Cli("--device 2 --json apply " + profile);
    EXPECT_EQ(r.status, 3) << r.out;
    Json report = ParseJson(r.out);
    EXPECT_EQ(Text(ReportMember(report.get(), "Luminance"), "outcome"), "adjusted");
    EXPECT_EQ(cJSON_GetObjectItem(ReportMember(report.get(), "Luminance"), "after")->valueint, 80);
    EXPECT_EQ(Text(ReportMember(report.get(), "Contrast"), "outcome"), "adjusted");
    EXPECT_EQ(Text(ReportMember(report.get(), "Saturation"), "outcome"), "confirmed");

    // Refused: a failure (1) with one error line.
    r = Cli("--device 3 apply " + profile, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Luminance\trefused\terror -5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("error -5: the camera did not take 3 of the members\n"), std::string::npos) << r.out;
}

TEST_F(CliProfileTest, ABadProfileIsRefusedWithItsPlaceAndNothingIsSent) {
    const std::string broken = Write("broken.json", "{\"format\": \"velmora-profile\", \"version\": 1,\n"
                                                    "  \"members\": {\"Luminance\": 20,, }}");
    Result r = Cli("--device 1 apply " + broken, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not JSON at line 2, column 32; nothing was sent"), std::string::npos) << r.out;
    const std::string typo = Write("typo.json", R"({"format": "velmora-profile", "version": 1,
        "members": {"Luminance": 20, "Saturaton": 1}})");
    r = Cli("--device 1 apply " + typo, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("did you mean Saturation?"), std::string::npos) << r.out;
    EXPECT_EQ(Cli("--device 1 get").out.rfind("Luminance=50\n", 0), 0u);
    EXPECT_EQ(Cli("--device 1 apply").status, 2);
}

TEST_F(CliProfileTest, JsonOutputOfTheCameraCommandsParsesBack) {
    Result r = Cli("--device 1 --json set Luminance=12 BExpCPS=-4");
    ASSERT_EQ(r.status, 0);
    Json set = ParseJson(r.out);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(set.get(), "set"), "BExpCPS")->valueint, -4);
    Json get = ParseJson(Cli("--device 1 --json get").out);
    const cJSON* members = cJSON_GetObjectItem(get.get(), "members");
    EXPECT_EQ(cJSON_GetArraySize(members), 46);
    EXPECT_EQ(cJSON_GetObjectItem(members, "Luminance")->valueint, 12);
    Json info = ParseJson(Cli("--device 2 --json info").out);
    EXPECT_EQ(Text(cJSON_GetObjectItem(info.get(), "identity"), "DeviceName"), "模拟相机2");
    Json abilities = ParseJson(Cli("--device 1 --json abilities").out);
    EXPECT_GT(cJSON_GetArraySize(cJSON_GetObjectItem(abilities.get(), "abilities")), 10);

    // Failures: the error object on stdout, the error line on stderr, the usual status.
    r = Cli("--device 3 --json set Luminance=1");
    EXPECT_EQ(r.status, 1);
    Json failed = ParseJson(r.out);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(failed.get(), "error"), "code")->valueint, -5);
    r = Cli("--device 9 --json get");
    EXPECT_EQ(r.status, 1);
    Json missing = ParseJson(r.out);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(missing.get(), "error"), "code")->valueint, -304);
    r = Cli("--json diff " + dir_ + "/none.json " + dir_ + "/none.json");
    EXPECT_EQ(r.status, 1);
    ParseJson(r.out);
}

TEST_F(CliProfileTest, ASetOfCamerasWorksInParallelAndReportsEachCamera) {
    // One file per camera, named by serial and index.
    Result r = Cli("--all export " + dir_ + "/cam-{serial}-{index}.json");
    EXPECT_EQ(r.status, 0) << r.out;
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(fs::exists(dir_ + "/cam-VMS20240000" + std::to_string(i) + "-" + std::to_string(i) + ".json"));

    // The refusing camera fails, the others are done: status 1, one error line naming it.
    const std::string profile = Write("p.json", R"({"format": "velmora-profile", "version": 1,
        "members": {"Saturation": 44}})");
    r = Cli("--jobs 2 --all apply " + profile, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error -5: camera 3 (serial VMS202400003): the camera did not take 1 of the members\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[1] Saturation\tconfirmed\t50 -> 44\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[2] Saturation\tconfirmed\t50 -> 44\n"), std::string::npos) << r.out;

    // --json: one object per camera and line.
    r = Cli("--device 1 --device 3 --json diff " + profile);
    EXPECT_EQ(r.status, 3);
    std::istringstream lines(r.out);
    int cameras = 0;
    for (std::string line; std::getline(lines, line); ++cameras) {
        Json j = ParseJson(line);
        const int index = cJSON_GetObjectItem(cJSON_GetObjectItem(j.get(), "camera"), "index")->valueint;
        EXPECT_EQ(cJSON_GetObjectItem(j.get(), "status")->valueint, index == 1 ? 0 : 3);
    }
    EXPECT_EQ(cameras, 2);
    // A refused profile is said once, and no camera is touched.
    const std::string typo = Write("typo.json", R"({"format": "velmora-profile", "version": 1, "members": {"Lumi": 1}})");
    r = Cli("--all apply " + typo, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    // A camera that is not there fails alone.
    r = Cli("--device 1 --device 7 get", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error -304: camera 7: there is no USB camera 7 (found 3)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[1] Luminance=50\n"), std::string::npos);
}

TEST_F(CliFleetTest, SixteenCamerasTakeAProfileInParallel) {
    const std::string profile = Write("p.json", R"({"format": "velmora-profile", "version": 1,
        "members": {"Luminance": 61, "Contrast": 62, "Saturation": 63, "ucHue": 64, "Hue": 65}})");
    Result r = Cli("--all --json apply " + profile);
    // cam02 ignores Contrast (3; 61 is inside its Luminance clamp), cam03 refuses (1): the whole is 1.
    EXPECT_EQ(r.status, 1);
    std::istringstream lines(r.out);
    std::map<int, int> statuses;
    for (std::string line; std::getline(lines, line);) {
        Json j = ParseJson(line);
        statuses[cJSON_GetObjectItem(cJSON_GetObjectItem(j.get(), "camera"), "index")->valueint] =
            cJSON_GetObjectItem(j.get(), "status")->valueint;
    }
    ASSERT_EQ(statuses.size(), 16u);
    for (const auto& [index, status] : statuses) EXPECT_EQ(status, index == 2 ? 3 : index == 3 ? 1 : 0) << index;
    r = Cli("--all diff " + profile);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 5);  // cam02 kept Contrast, cam03 all five
}
