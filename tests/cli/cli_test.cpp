#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_options.h"
#include "cli/camera_sets.h"
#include "cli/commands.h"
#include "cli/upgrade_command.h"
#include "protocol/param_file.h"
#include "protocol/requests.h"

using namespace velmora::protocol;

namespace fs = std::filesystem;
using namespace velmora::cli;

namespace {

// Records what the command layer asks of a camera; answers from a scripted record.
class FakeCamera : public velmora::camera::Camera {
public:
    VideoParam rec;
    int readResult = 0;
    int setFailAt = -1;  // index of the set call that fails
    int setFailCode = -5;
    int frameRate = 25;
    int exchangeResult = 0;  // what LastExchangeResult reports after each call
    std::vector<std::string> setTexts;
    std::vector<VideoParam> written;

    bool IsNetwork() const override { return false; }
    int ReadIdentity(velmora::camera::CameraIdentity& out) override {
        out = {{"DeviceName", "模拟相机1"}, {"Serial", "SN1\n2\x1b[31m"}};
        return 0;
    }
    int ReadVideoParams(VideoParam& r) override {
        lastExchange_ = exchangeResult;
        if (readResult == 0) r = rec;
        return readResult;
    }
    int SetField(const VideoParamField& field, int32_t value) override {
        setTexts.push_back(FormatFieldText(field.member, value));
        return static_cast<int>(setTexts.size()) - 1 == setFailAt ? setFailCode : 0;
    }
    int WriteVideoParams(const VideoParam& r) override {
        written.push_back(r);
        return 0;
    }
    int RestoreDefaults() override { return 0; }
    int ReadAbilityList(AbilityList&) override { return 0; }
    int GetFocusNear() override { return -10; }
    int GetFrameRate() override {
        lastExchange_ = exchangeResult;
        return frameRate;
    }
    bool LabelsAreCp936() const override { return false; }
    int SendPtzTexts(const std::vector<std::string>&) override { return 0; }
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

CmdRun Exec(FakeCamera& t, std::vector<const char*> args) {
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

    // --home names the folder of toolscfg.ini; --version needs no command and takes --json.
    o = Parse({"--home", "/tmp/h", "search"}, &err);
    EXPECT_EQ(o.home, "/tmp/h");
    o = Parse({"--version", "--json"}, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(o.command, "version");
    EXPECT_TRUE(o.json);
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
    Parse({"--serial", "SN1", "--device", "2", "get"}, &err);
    EXPECT_NE(err.find("together"), std::string::npos);
    Parse({"--password", "a", "--password-file", "f", "--ip", "127.0.0.2", "get"}, &err);
    EXPECT_NE(err.find("together"), std::string::npos);
    // An address that is not dotted IPv4 is a usage error, not a failed login or a USB camera.
    for (const char* bad : {"", "localhost", "999.1.1.1", "127.0.0", "127.0.0.2 "}) {
        err.clear();
        CliOptions o = Parse({"--ip", bad, "get"}, &err);
        EXPECT_NE(err.find("dotted IPv4"), std::string::npos) << "'" << bad << "'";
        EXPECT_FALSE(o.ipGiven) << "'" << bad << "'";
    }
    // More vendor ids than the search keeps: refused, not the extra ones dropped in silence.
    std::vector<const char*> vids;
    for (int n = 0; n < 9; ++n) vids.insert(vids.end(), {"--vid", "1234"});
    err.clear();
    vids.push_back("list");
    EXPECT_EQ(Parse(vids, &err).vids.size(), 9u);
    EXPECT_TRUE(err.empty()) << err;
    vids.insert(vids.end() - 1, {"--vid", "1234"});
    Parse(vids, &err);
    EXPECT_NE(err.find("at most 9 vendor ids"), std::string::npos) << err;
    Parse({"--device"}, &err);
    EXPECT_NE(err.find("needs a value"), std::string::npos);
    Parse({}, &err);
    EXPECT_EQ(err, "no command given");
    Parse({"--version", "list"}, &err);
    EXPECT_EQ(err, "--version takes no command");
    EXPECT_TRUE(Parse({"--json", "list"}, &err).json);  // every command has a JSON form
    EXPECT_EQ(err, "");
    Parse({"--home", "", "list"}, &err);
    EXPECT_EQ(err, "--home needs a folder");
}

TEST(CliCommands, GetPrintsEveryMemberOnceInRecordOrderAsSent) {
    FakeCamera t;
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
    FakeCamera t;
    CmdRun r = Exec(t, {"set", "Luminance=50", "BExpCPS=-10"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(t.setTexts, (std::vector<std::string>{"\"Luminance\":50", "\"BExpCPS\":-10"}));

    FakeCamera refusing;
    refusing.setFailAt = 0;
    r = Exec(refusing, {"set", "Contrast=1", "Hue=2"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(refusing.setTexts.size(), 1u);
    EXPECT_NE(r.err.find("error -5: setting Contrast failed"), std::string::npos);

    // Names are the table's spelling, whatever case was typed.
    FakeCamera anyCase;
    EXPECT_EQ(Exec(anyCase, {"set", "luminance=5"}).status, kExitOk);
    EXPECT_EQ(anyCase.setTexts, std::vector<std::string>{"\"Luminance\":5"});

    // An unknown member or a value the member cannot hold is refused with the reason.
    FakeCamera typo;
    r = Exec(typo, {"set", "Contrast=1", "Luminence=5"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("did you mean Luminance?"), std::string::npos) << r.err;
    r = Exec(typo, {"set", "Luminance=1000"});
    EXPECT_NE(r.err.find("0..255"), std::string::npos) << r.err;
    r = Exec(typo, {"set", "BExpCPS=-129"});
    EXPECT_NE(r.err.find("-128..127"), std::string::npos) << r.err;
    EXPECT_TRUE(typo.setTexts.empty());

    // A malformed pair anywhere sends nothing at all.
    for (const char* bad : {"Luminance", "Lum\"inance=1", "Luminance=1.5", "Luminance=99999999999", "=3",
                            "Luminance= 1", "NoSuchMember=1"}) {
        FakeCamera fresh;
        r = Exec(fresh, {"set", "Contrast=1", bad});
        EXPECT_EQ(r.status, kExitUsage) << bad;
        EXPECT_TRUE(fresh.setTexts.empty()) << bad;
    }
}

TEST(CliCommands, ExportAndImportRoundTripAndRefuseBadFiles) {
    fs::path file = TempPath("params.dat");
    FakeCamera t;
    for (size_t i = 0; i < kVideoParamSize; ++i) t.rec.bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(Exec(t, {"export", file.c_str()}).status, kExitOk);
    EXPECT_EQ(fs::file_size(file), kVideoParamSize);

    CmdRun r = Exec(t, {"import", file.c_str()});
    ASSERT_EQ(r.status, kExitOk);
    ASSERT_EQ(t.written.size(), 1u);
    EXPECT_EQ(0, std::memcmp(t.written[0].bytes, t.rec.bytes, kVideoParamSize));

    // A failed read leaves an existing file exactly as it was.
    FakeCamera failing;
    failing.readResult = -302;
    r = Exec(failing, {"export", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    VideoParam back;
    ASSERT_EQ(LoadParamFile(file.string(), back, nullptr), 0);
    EXPECT_EQ(0, std::memcmp(back.bytes, t.rec.bytes, kVideoParamSize));

    // A file of the wrong size is refused before anything is sent, and the size is named.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
    FakeCamera fresh;
    r = Exec(fresh, {"import", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_TRUE(fresh.written.empty());
    EXPECT_NE(r.err.find("8192"), std::string::npos);
    fs::remove(file);

    // A missing file, a folder or a FIFO: the line names the file and the reason.
    r = Exec(fresh, {"import", file.c_str()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.err.find("could not open " + file.string() + ": cannot open it: No such file or directory"),
              std::string::npos) << r.err;
    const fs::path folder = TempPath("folder.dat"), fifo = TempPath("fifo.dat");
    fs::create_directory(folder);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path& odd : {folder, fifo}) {
        r = Exec(fresh, {"import", odd.c_str()});
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_NE(r.err.find("could not open " + odd.string() + ": it is a "), std::string::npos) << r.err;
    }
    fs::remove(folder);
    fs::remove(fifo);
}

TEST(CliCommands, ValueCommandsReportFailuresAsErrors) {
    FakeCamera t;
    CmdRun r = Exec(t, {"focus-near"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err.rfind("error -10: ", 0), 0u);
    r = Exec(t, {"frame-rate"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "25\n");
    // Camera texts cannot forge a line or reach the terminal as escape sequences.
    r = Exec(t, {"info"});
    EXPECT_EQ(r.out, "DeviceName=模拟相机1\nSerial=SN1\\x0a2\\x1b[31m\n");
    r = Exec(t, {"export"});
    EXPECT_EQ(r.status, kExitUsage);

    // One line with the real code, also where the operation answers a fixed -1 or 0.
    FakeCamera network;
    network.readResult = -1;
    network.exchangeResult = -1005;
    r = Exec(network, {"get"});
    EXPECT_EQ(r.err, "error -1005: reading the parameters failed\n");
    network.frameRate = 0;
    r = Exec(network, {"frame-rate"});
    EXPECT_EQ(r.err, "error -1005: reading the frame rate failed\n");
    network.exchangeResult = 0;
    r = Exec(network, {"frame-rate"});
    EXPECT_EQ(r.err.rfind("error -311: ", 0), 0u) << r.err;
    // A camera that refuses the connection says so in words as well.
    network.readResult = -42;
    r = Exec(network, {"get"});
    EXPECT_EQ(r.err, "error -42: reading the parameters failed (the camera is busy: all its connections are taken)\n");
}

TEST(CliOptions, CredentialsComeFromOneSourceAndMustFitTheLogin) {
    std::string err;
    CliOptions o = Parse({"--ip", "127.0.0.2", "get"});
    ASSERT_TRUE(ResolveCredentials(o, "fromenv", err));
    EXPECT_EQ(o.password, "fromenv");
    o = Parse({"--ip", "127.0.0.2", "--password", "given", "get"});
    ASSERT_TRUE(ResolveCredentials(o, "fromenv", err));
    EXPECT_EQ(o.password, "given");

    fs::path file = TempPath("password");
    std::ofstream(file) << "fromfile\r\nsecond line\n";
    std::string fileArg = file.string();
    o = Parse({"--ip", "127.0.0.2", "--password-file", fileArg.c_str(), "get"});
    ASSERT_TRUE(ResolveCredentials(o, "fromenv", err)) << err;
    EXPECT_EQ(o.password, "fromfile");
    fs::remove(file);
    o = Parse({"--ip", "127.0.0.2", "--password-file", fileArg.c_str(), "get"});
    EXPECT_FALSE(ResolveCredentials(o, nullptr, err));
    o = Parse({"--ip", "127.0.0.2", "--password-file", "/dev/zero", "get"});
    EXPECT_FALSE(ResolveCredentials(o, nullptr, err));
    // A NUL would log in with the bytes before it.
    std::ofstream(file, std::ios::binary) << std::string("pel\0no\n", 7);
    o = Parse({"--ip", "127.0.0.2", "--password-file", fileArg.c_str(), "get"});
    EXPECT_FALSE(ResolveCredentials(o, nullptr, err));
    EXPECT_NE(err.find("NUL"), std::string::npos) << err;
    fs::remove(file);

    // Longer than the login record holds: refused, never cut to a prefix that might log in.
    o = Parse({"--ip", "127.0.0.2", "--password", "123456789012345678901234", "get"});
    EXPECT_FALSE(ResolveCredentials(o, nullptr, err));
    EXPECT_NE(err.find("at most 23"), std::string::npos);
    o = Parse({"--ip", "127.0.0.2", "--user", "a-very-long-user-name", "get"});
    EXPECT_FALSE(ResolveCredentials(o, nullptr, err));
}

TEST(CliOutput, TerminalTextEscapesControlsAndKeepsUtf8) {
    EXPECT_EQ(TerminalText("模拟相机 1"), "模拟相机 1");
    EXPECT_EQ(TerminalText("a\nb\tc\x7f"), "a\\x0ab\\x09c\\x7f");
    EXPECT_EQ(TerminalText("\x1b]0;title\x07"), "\\x1b]0;title\\x07");
    EXPECT_EQ(TerminalText("\xc2\x9b" "1m"), "\\xc2\\x9b1m");  // C1 control (CSI)
    EXPECT_EQ(TerminalText("\xe6\xa8"), "\\xe6\\xa8");        // cut character
    EXPECT_EQ(TerminalText("back\\slash"), "back\\\\slash");
    // Bidirectional controls would reverse or reorder what follows: escaped byte by byte. Other
    // characters of that block (an en dash, U+2013) and emoji stay.
    EXPECT_EQ(TerminalText("cam\u202Egpj.exe"), "cam\\xe2\\x80\\xaegpj.exe");
    EXPECT_EQ(TerminalText("\u202A\u2066\u2069"), "\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9");
    EXPECT_EQ(TerminalText("a\u2013b \U0001F600 \u00F1\u00DF"), "a\u2013b \U0001F600 \u00F1\u00DF");
}

TEST(CliFleetOptions, UpgradeTakesItsOwnOptionsBeforeThePackages) {
    UpgradeArgs a;
    std::string error;
    ASSERT_TRUE(ParseUpgradeArgs({"--jobs", "4", "--timeout", "1.5", "--reboot", "--reconnect-timeout", "30",
                                  "--expect-version", "1.03", "--report", "r.json", "--", "--odd.dat", "b.dat"},
                                 a, error))
        << error;
    EXPECT_EQ(a.session.jobs, 4);
    EXPECT_EQ(a.session.deadline.count(), 1500);
    EXPECT_TRUE(a.session.verify);
    EXPECT_EQ(a.session.reconnectTimeout.count(), 30000);
    EXPECT_EQ(a.session.expectVersion, "1.03");
    EXPECT_EQ(a.report, "r.json");
    EXPECT_EQ(a.packages, (std::vector<std::string>{"--odd.dat", "b.dat"}));

    // Each refusal says what was wrong, and nothing runs.
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--jobs", "0", "a.dat"}, {"--jobs", "65", "a.dat"}, {"--timeout", "-1", "a.dat"},
             {"--timeout", "nan", "a.dat"}, {"--reconnect-timeout"}, {"--expect-version", "1.03", "a.dat"},
             {"--report", "", "a.dat"}, {"--frobnicate", "a.dat"}, {"--reboot"}, {}}) {
        EXPECT_FALSE(ParseUpgradeArgs(bad, a, error));
        EXPECT_FALSE(error.empty());
    }
    CliOptions o;
    const char* both[] = {"velmora-cli", "--serial-file", "f.txt", "--all", "upgrade", "a.dat"};
    EXPECT_FALSE(ParseCliOptions(6, both, o, error));
}

TEST(CliFleetOptions, SerialFilesAreListsOrTheFailedCamerasOfAReport) {
    std::vector<std::string> serials;
    bool fromReport = true;
    std::string error;
    ASSERT_EQ(ParseSerialList("# tray 4\r\n  SN1  \r\n\nSN2\n\tSN3", serials, fromReport, error), 0) << error;
    EXPECT_FALSE(fromReport);
    EXPECT_EQ(serials, (std::vector<std::string>{"SN1", "SN2", "SN3"}));

    const std::string report = R"({"cameras": [
        {"serial": "A", "result": "verified"}, {"serial": "B", "result": "failed"},
        {"serial": "C", "result": "done"}, {"serial": "D", "result": "failed"}]})";
    ASSERT_EQ(ParseSerialList(report, serials, fromReport, error), 0) << error;
    EXPECT_TRUE(fromReport);
    EXPECT_EQ(serials, (std::vector<std::string>{"B", "D"}));
    ASSERT_EQ(ParseSerialList(R"({"cameras": []})", serials, fromReport, error), 0);
    EXPECT_TRUE(serials.empty());

    // Broken JSON, a failed camera without a serial, a serial no camera can have: refused.
    for (const char* bad : {R"({"cameras": [)", R"({"other": 1})", R"({"cameras": [{"result": "failed"}]})",
                            "SN\x01", "0123456789012345678901234567890123"}) {
        EXPECT_EQ(ParseSerialList(bad, serials, fromReport, error), kExitUsage) << bad;
        EXPECT_FALSE(error.empty());
    }
}
