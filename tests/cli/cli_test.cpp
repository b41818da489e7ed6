#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "protocol/param_file.h"

namespace fs = std::filesystem;
using namespace velmora::cli;

namespace {

// Records what the command layer asks of a camera; answers from a scripted record.
class FakeTarget : public CameraTarget {
public:
    VideoParam rec;
    int readResult = 0;
    int setFailAt = -1;  // index of the set call that fails
    int setFailCode = -5;
    std::vector<std::string> setTexts;
    std::vector<VideoParam> written;

    int Open(std::string&) override { return 0; }
    int Info(std::vector<std::pair<std::string, std::string>>& out) override {
        out = {{"DeviceName", "模拟相机1"}, {"Serial", "SN1"}};
        return 0;
    }
    int ReadVideoParams(VideoParam& r) override {
        if (readResult == 0) r = rec;
        return readResult;
    }
    int SetVideoParamField(const std::string& text) override {
        setTexts.push_back(text);
        return static_cast<int>(setTexts.size()) - 1 == setFailAt ? setFailCode : 0;
    }
    int WriteVideoParams(const VideoParam& r) override {
        written.push_back(r);
        return 0;
    }
    int RestoreDefaults() override { return 0; }
    int ReadAbilityList(AbilityList&) override { return 0; }
    int GetFocusNear() override { return -10; }
    int GetFrameRate() override { return 25; }
    bool LabelsAreCp936() const override { return false; }
};

CliOptions Parse(std::vector<const char*> args, std::string* error = nullptr) {
    args.insert(args.begin(), "velmora-cli");
    CliOptions o;
    std::string e;
    bool ok = ParseCliOptions(static_cast<int>(args.size()), args.data(), o, e);
    if (error) *error = ok ? "" : e;
    return o;
}

struct CmdRun {
    int status;
    std::string out, err;
};

CmdRun Exec(FakeTarget& t, std::vector<const char*> args) {
    std::string error;
    CliOptions o = Parse(std::move(args), &error);
    EXPECT_EQ(error, "");
    std::ostringstream out, err;
    int s = RunCameraCommand(o, t, out, err);
    return {s, out.str(), err.str()};
}

fs::path TempPath(const char* name) {
    return fs::temp_directory_path() / (std::string("velmora-cli-") + std::to_string(::getpid()) + "-" + name);
}

}  // namespace

TEST(CliOptions, OptionsStandBeforeTheCommand) {
    std::string err;
    CliOptions o = Parse({"--device", "2", "--vid", "0x1234", "--vid", "abcd", "export", "f.dat"}, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(o.device, 2);
    EXPECT_EQ(o.vids, (std::vector<uint16_t>{0x1234, 0xabcd}));
    EXPECT_EQ(o.command, "export");
    EXPECT_EQ(o.args, std::vector<std::string>{"f.dat"});

    // After the command everything is an argument, even what looks like an option.
    o = Parse({"set", "--device=3"}, &err);
    EXPECT_EQ(o.args, std::vector<std::string>{"--device=3"});

    o = Parse({"--ip", "127.0.0.2", "--password", "pelno", "get"}, &err);
    EXPECT_EQ(o.ip, "127.0.0.2");
    EXPECT_EQ(o.user, "admin");
}

TEST(CliOptions, UsageErrorsAreExplained) {
    std::string err;
    Parse({"--device", "0", "get"}, &err);
    EXPECT_NE(err.find("--device"), std::string::npos);
    Parse({"--vid", "xyz", "list"}, &err);
    EXPECT_NE(err.find("--vid"), std::string::npos);
    // Only hexadecimal digits make a vendor id: a sign or a blank would otherwise slip through
    // strtoul ("-1" became 0xffff) and search a vendor nobody asked for.
    for (const char* bad : {"-1", "+12", " 12", "0x-1", "0x+1", "0x 1", "12 "}) {
        err.clear();
        CliOptions o = Parse({"--vid", bad, "list"}, &err);
        EXPECT_NE(err.find("--vid"), std::string::npos) << "'" << bad << "'";
        EXPECT_TRUE(o.vids.empty()) << "'" << bad << "'";
    }
    Parse({"--device", "1", "--ip", "127.0.0.2", "get"}, &err);
    EXPECT_NE(err.find("together"), std::string::npos);
    Parse({"--device"}, &err);
    EXPECT_NE(err.find("needs a value"), std::string::npos);
    Parse({}, &err);
    EXPECT_EQ(err, "no command given");
}

TEST(CliCommands, GetPrintsEveryMemberOnceInRecordOrderAsSent) {
    FakeTarget t;
    t.rec.bytes[0] = 72;                 // Luminance
    t.rec.bytes[kExpCompensationOffset] = 251;  // BExpCPS -5
    WriteInt32LE(t.rec, 7169, 1);        // u32Lut
    CmdRun r = Exec(t, {"get"});
    ASSERT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out.rfind("Luminance=72\nContrast=0\n", 0), 0u);
    EXPECT_NE(r.out.find("\nBExpCPS=-5\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nu32Lut=1\n"), std::string::npos);
    size_t scene = r.out.find("eSceneMode=");
    ASSERT_NE(scene, std::string::npos);
    EXPECT_EQ(r.out.find("eSceneMode=", scene + 1), std::string::npos);
    EXPECT_LT(r.out.find("bHorzInvert="), r.out.find("ucDigitalZoom="));

    t.readResult = -310;
    r = Exec(t, {"get"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err.rfind("error -310: ", 0), 0u);
}

TEST(CliCommands, SetSendsOneRequestPerPairInOrderAndStopsAtTheFirstRefusal) {
    FakeTarget t;
    CmdRun r = Exec(t, {"set", "Luminance=50", "BExpCPS=-10"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(t.setTexts, (std::vector<std::string>{"\"Luminance\":50", "\"BExpCPS\":-10"}));

    FakeTarget refusing;
    refusing.setFailAt = 0;
    r = Exec(refusing, {"set", "Contrast=1", "Hue=2"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(refusing.setTexts.size(), 1u);
    EXPECT_NE(r.err.find("error -5: setting Contrast failed"), std::string::npos);

    // A malformed pair anywhere sends nothing at all.
    for (const char* bad : {"Luminance", "Lum\"inance=1", "Luminance=1.5", "Luminance=99999999999", "=3"}) {
        FakeTarget fresh;
        r = Exec(fresh, {"set", "Contrast=1", bad});
        EXPECT_EQ(r.status, kExitUsage) << bad;
        EXPECT_TRUE(fresh.setTexts.empty()) << bad;
    }
}

TEST(CliCommands, ExportAndImportRoundTripAndRefuseBadFiles) {
    fs::path file = TempPath("params.dat");
    FakeTarget t;
    for (size_t i = 0; i < kVideoParamSize; ++i) t.rec.bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(Exec(t, {"export", file.c_str()}).status, kExitOk);
    EXPECT_EQ(fs::file_size(file), kVideoParamSize);

    CmdRun r = Exec(t, {"import", file.c_str()});
    ASSERT_EQ(r.status, kExitOk);
    ASSERT_EQ(t.written.size(), 1u);
    EXPECT_EQ(0, std::memcmp(t.written[0].bytes, t.rec.bytes, kVideoParamSize));

    // A failed read leaves an existing file exactly as it was.
    FakeTarget failing;
    failing.readResult = -302;
    r = Exec(failing, {"export", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    VideoParam back;
    ASSERT_EQ(LoadParamFile(file.string(), back, nullptr), 0);
    EXPECT_EQ(0, std::memcmp(back.bytes, t.rec.bytes, kVideoParamSize));

    // A file of the wrong size is refused before anything is sent, and the size is named.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
    FakeTarget fresh;
    r = Exec(fresh, {"import", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_TRUE(fresh.written.empty());
    EXPECT_NE(r.err.find("8192"), std::string::npos);
    fs::remove(file);

    r = Exec(fresh, {"import", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.err.find("could not open"), std::string::npos);
}

TEST(CliCommands, ValueCommandsReportFailuresAsErrors) {
    FakeTarget t;
    CmdRun r = Exec(t, {"focus-near"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err.rfind("error -10: ", 0), 0u);
    r = Exec(t, {"frame-rate"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "25\n");
    r = Exec(t, {"info"});
    EXPECT_EQ(r.out, "DeviceName=模拟相机1\nSerial=SN1\n");
    r = Exec(t, {"export"});
    EXPECT_EQ(r.status, kExitUsage);
}
