#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/fault.h"
#include "sim/hid_framing.h"
#include "sim/sim_options.h"

using namespace velmora::sim;

namespace {

std::vector<uint8_t> Report(uint32_t cmd, std::string_view payload, bool last, size_t len = 65) {
    std::vector<uint8_t> r(len, 0);
    std::memcpy(&r[1], "FDTH", 4);
    PutLe32(&r[5], cmd);
    PutLe16(&r[9], static_cast<uint16_t>(payload.size()));
    PutLe16(&r[11], last ? 1 : 0);
    std::memcpy(&r[13], payload.data(), payload.size());
    return r;
}

}  // namespace

TEST(RequestAssemblerTest, ReassemblesAndRefusesMalformedReports) {
    RequestAssembler a(65);
    using E = RequestAssembler::Event;
    auto r1 = Report(40001090, std::string(52, 'a'), false);
    auto r2 = Report(40001090, "b", true);
    EXPECT_EQ(a.Feed(r1.data(), r1.size()), E::Incomplete);
    EXPECT_EQ(a.Feed(r2.data(), r2.size()), E::Complete);
    EXPECT_EQ(a.command(), 40001090u);
    EXPECT_EQ(a.payload().size(), 53u);
    EXPECT_EQ(a.payload().back(), 'b');

    auto empty = Report(40001117, "", true);
    EXPECT_EQ(a.Feed(empty.data(), empty.size()), E::Complete);
    EXPECT_TRUE(a.payload().empty());

    // Malformed reports drop the partial request.
    auto bad = r1;
    bad[4] = 'X';
    auto longLen = Report(1, "", true);
    PutLe16(&longLen[9], 53);
    auto flag = Report(1, "", true);
    PutLe16(&flag[11], 7);
    auto id = Report(1, "", true);
    id[0] = 3;
    for (const auto& m : {bad, longLen, flag, id}) {
        EXPECT_EQ(a.Feed(r1.data(), r1.size()), E::Incomplete);
        EXPECT_EQ(a.Feed(m.data(), m.size()), E::Malformed);
        EXPECT_FALSE(a.error().empty());
        EXPECT_EQ(a.Feed(r2.data(), r2.size()), E::Complete);
        EXPECT_EQ(a.payload().size(), 1u);  // the first half was dropped
    }
    EXPECT_EQ(a.Feed(r1.data(), 64), E::Malformed);  // short packet
    EXPECT_EQ(a.Feed(r1.data(), 0), E::Malformed);

    // A different command before the last report starts a new request.
    EXPECT_EQ(a.Feed(r1.data(), r1.size()), E::Incomplete);
    EXPECT_EQ(a.Feed(empty.data(), empty.size()), E::Complete);
    EXPECT_EQ(a.command(), 40001117u);
}

TEST(RequestAssemblerTest, BoundsTheRequestSize) {
    RequestAssembler a(65, 100);
    using E = RequestAssembler::Event;
    auto part = Report(3004, std::string(52, 'x'), false);
    auto last = Report(3004, "y", true);
    EXPECT_EQ(a.Feed(part.data(), part.size()), E::Incomplete);
    EXPECT_EQ(a.Feed(part.data(), part.size()), E::Incomplete);
    EXPECT_EQ(a.Feed(part.data(), part.size()), E::Incomplete);
    EXPECT_EQ(a.Feed(last.data(), last.size()), E::Oversized);
    EXPECT_TRUE(a.payload().empty());
    // The next request is served normally.
    EXPECT_EQ(a.Feed(last.data(), last.size()), E::Complete);
    EXPECT_EQ(a.payload().size(), 1u);
}

TEST(ReplyReportsTest, SplitsStatusAndMagic) {
    const std::string body(58, 'z');
    auto out = BuildReplyReports(40001089, -7, body, 65);
    ASSERT_EQ(out.size(), 2u * 65);
    EXPECT_EQ(GetLe32(&out[1]), kHidMagic);
    EXPECT_EQ(GetLe16(&out[9]), 48);
    EXPECT_EQ(GetLe16(&out[11]), 0);
    EXPECT_EQ(static_cast<int32_t>(GetLe32(&out[13])), -7);
    EXPECT_EQ(GetLe16(&out[65 + 9]), 10);
    EXPECT_EQ(GetLe16(&out[65 + 11]), 1);

    auto empty = BuildReplyReports(40001090, 0, "", 65);
    ASSERT_EQ(empty.size(), 65u);
    EXPECT_EQ(GetLe16(&empty[9]), 0);
    EXPECT_EQ(GetLe16(&empty[11]), 1);

    ReplyFraming f;
    f.chunk = 5;
    f.badMagicFrom = 3;
    auto split = BuildReplyReports(1, 0, "abcdefghijkl", 65, f);
    ASSERT_EQ(split.size(), 3u * 65);
    EXPECT_EQ(GetLe32(&split[1]), kHidMagic);
    EXPECT_EQ(GetLe32(&split[65 + 1]), kHidMagic);
    EXPECT_NE(GetLe32(&split[130 + 1]), kHidMagic);
    EXPECT_EQ(GetLe16(&split[130 + 9]), 2);
}

TEST(FaultTest, ParsesTheDocumentedSyntax) {
    Fault f;
    std::string error;
    ASSERT_EQ(ParseFault("refuse=-5,cmd=40001090,after=1,times=2", &f, &error), 0) << error;
    EXPECT_EQ(f.kind, Fault::Kind::Refuse);
    EXPECT_EQ(f.value, -5);
    EXPECT_EQ(f.where, Fault::Where::Both);
    EXPECT_EQ(f.command, 40001090u);
    ASSERT_EQ(ParseFault("stall", &f, &error), 0);
    EXPECT_TRUE(f.forever);
    ASSERT_EQ(ParseFault("stall=250", &f, &error), 0);
    EXPECT_FALSE(f.forever);
    ASSERT_EQ(ParseFault("unplug=3,replug=500", &f, &error), 0);
    EXPECT_EQ(f.replugMs, 500);
    ASSERT_EQ(ParseFault("neg-progress=-7,phase=progress", &f, &error), 0);
    EXPECT_EQ(f.phaseCommand, 40001207u);
    ASSERT_EQ(ParseFault("refuse-status=-3", &f, &error), 0);
    EXPECT_EQ(f.where, Fault::Where::Status);
    ASSERT_EQ(ParseFault("clamp=bexpcps:-10..-2", &f, &error), 0) << error;
    EXPECT_EQ(f.member, "BExpCPS");  // the camera's spelling
    EXPECT_EQ(f.min, -10);
    EXPECT_EQ(f.max, -2);
    ASSERT_EQ(ParseFault("ignore=Contrast", &f, &error), 0);
    EXPECT_EQ(f.kind, Fault::Kind::Ignore);
    // The reboot faults act on the camera, not on exchanges.
    std::vector<Fault> reboot(1);
    EXPECT_EQ(RebootAwayMs(reboot, 1500), 1500);  // a refusal does not change the reboot
    ASSERT_EQ(ParseFault("slow-return=4000", &reboot[0], &error), 0) << error;
    EXPECT_TRUE(IsModelFault(reboot[0].kind));
    EXPECT_EQ(RebootAwayMs(reboot, 1500), 4000);
    reboot.emplace_back();
    ASSERT_EQ(ParseFault("no-return", &reboot[1], &error), 0);
    EXPECT_EQ(RebootAwayMs(reboot, 1500), -1);
    ASSERT_EQ(ParseFault("rollback", &f, &error), 0);
    EXPECT_EQ(f.kind, Fault::Kind::Rollback);

    for (const char* bad : {"", "refuse", "refuse=0", "refuse=x", "stall=-1", "split=0", "unplug", "nope",
                            "not-json=1", "split=8,cmd", "split=8,replug=5", "neg-progress=5",
                            "refuse=-1,times=0", "bad-magic=0", "refuse=99999999999", "refuse=+-5",
                            "clamp=Luminance", "clamp=Luminance:5", "clamp=Nope:1..2", "clamp=Luminance:9..2",
                            "clamp=Luminance:1..x", "ignore", "ignore=Nope", "rollback=1", "no-return=5",
                            "slow-return", "slow-return=-1", "slow-return=5,replug=3"}) {
        EXPECT_NE(ParseFault(bad, &f, &error), 0) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(FaultTest, PlansFollowFiltersAndCounts) {
    std::vector<Fault> faults(3);
    std::string error;
    ASSERT_EQ(ParseFault("refuse=-5,cmd=40001090,after=1,times=1", &faults[0], &error), 0);
    ASSERT_EQ(ParseFault("split=4", &faults[1], &error), 0);
    ASSERT_EQ(ParseFault("unplug=2,cmd=40001089,replug=10", &faults[2], &error), 0);
    auto p = PlanExchange(faults, 40001090);
    EXPECT_FALSE(p.refuse);  // after=1
    EXPECT_EQ(p.split, 4u);
    p = PlanExchange(faults, 40001090);
    EXPECT_TRUE(p.refuse);
    EXPECT_EQ(p.refuseStatus, -5);
    EXPECT_FALSE(PlanExchange(faults, 40001090).refuse);  // times=1
    EXPECT_FALSE(PlanExchange(faults, 40001089).unplug);
    p = PlanExchange(faults, 40001089);
    EXPECT_TRUE(p.unplug);
    EXPECT_EQ(p.replugMs, 10);
    EXPECT_FALSE(PlanExchange(faults, 40001089).unplug);  // counts again after the replug
    EXPECT_TRUE(PlanExchange(faults, 40001089).unplug);

    std::vector<Fault> neg(1);
    ASSERT_EQ(ParseFault("neg-progress=-9", &neg[0], &error), 0);
    EXPECT_FALSE(PlanExchange(neg, 40001089).negativeProgress);
    EXPECT_TRUE(PlanExchange(neg, 3004).negativeProgress);
    EXPECT_EQ(PlanExchange(neg, 40001207).progressCode, -9);
}

TEST(SimOptionsTest, CommandLineAndScenarioBuildCameras) {
    SimOptions o;
    std::string error;
    const char* argv[] = {"camsim", "--usb-dir", "/tmp/x", "--usb-count", "3", "--usb-report-len", "33",
                          "--usb-report-len", "cam02=65", "--fault", "cam02:stall", "--fault", "*:split=8",
                          "--flash-ms", "100"};
    ASSERT_EQ(ParseCommandLine(static_cast<int>(std::size(argv)), argv, &o, &error), 0) << error;
    ASSERT_EQ(ApplyScenario(R"({"cameras":{"cam03":{"device_name":"走廊","params":{"Luminance":70},
        "ability":[{"Key":"eWBMode","Display":1,"zh":{"Title":"白平衡","Value":{"Options":{"0":"手动"}}}}],
        "faults":["refuse=-5"]}}})",
                            &o, &error),
              0)
        << error;
    std::vector<UsbCameraConfig> cams;
    ASSERT_EQ(BuildUsbCameras(o, &cams, &error), 0) << error;
    ASSERT_EQ(cams.size(), 3u);
    EXPECT_EQ(cams[0].name, "cam01");
    EXPECT_EQ(cams[0].reportLength, 33u);
    EXPECT_EQ(cams[1].reportLength, 65u);
    EXPECT_EQ(cams[1].faults.size(), 2u);
    EXPECT_EQ(cams[0].faults.size(), 1u);
    EXPECT_EQ(cams[2].model.identity.deviceName, "走廊");
    EXPECT_EQ(cams[2].model.identity.serial, CameraModel::DefaultIdentity(3).serial);
    EXPECT_EQ(cams[2].params.at("Luminance"), 70);
    ASSERT_EQ(cams[2].model.ability.size(), 1u);
    EXPECT_EQ(cams[2].model.ability[0].options[0].label, "手动");
    EXPECT_EQ(cams[2].model.flashMs, 100);
    EXPECT_EQ(UsbCameraName(7, 120), "cam007");

    // Settings for a camera that does not exist are an error, not silently ignored.
    SimOptions typo;
    const char* argv2[] = {"camsim", "--usb-dir", "/tmp/x", "--usb-count", "2", "--fault", "cam3:stall"};
    ASSERT_EQ(ParseCommandLine(static_cast<int>(std::size(argv2)), argv2, &typo, &error), 0);
    EXPECT_NE(BuildUsbCameras(typo, &cams, &error), 0);

    for (const char* bad : {"[]", "{\"usb_count\":-1}", "{\"cameras\":{\"cam01\":{\"report_len\":5}}}",
                            "{\"cameras\":{\"cam01\":{\"params\":{\"Nope\":1}}}}", "{\"bogus\":1}",
                            "{\"cameras\":{\"cam01\":{\"faults\":[\"stall=x\"]}}}",
                            "{\"cameras\":{\"cam01\":{\"ability\":[{\"Display\":1}]}}}"}) {
        SimOptions s;
        EXPECT_NE(ApplyScenario(bad, &s, &error), 0) << bad;
    }
    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
             {"camsim", "--usb-count"}, {"camsim", "--usb-count", "x"}, {"camsim", "--what", "1"},
             {"camsim", "--usb-report-len", "17"}, {"camsim", "--fault", "stall"},
             {"camsim", "--scenario", "/nonexistent/scenario.json"}}) {
        SimOptions s;
        EXPECT_NE(ParseCommandLine(static_cast<int>(bad.size()), bad.data(), &s, &error), 0) << bad[1];
    }
}

TEST(SimOptionsTest, ScenarioMustBeABoundedRegularFile) {
    char tmpl[] = "/tmp/camsim-scenario-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto parse = [](const std::string& path, std::string* error) {
        SimOptions o;
        const char* argv[] = {"camsim", "--scenario", path.c_str()};
        return ParseCommandLine(3, argv, &o, error);
    };
    std::string error;
    for (const std::string& path : {std::string("/dev/null"), dir}) {
        EXPECT_NE(parse(path, &error), 0) << path;
        EXPECT_EQ(error, "scenario " + path + " is not a regular file");
    }
    // Valid JSON padded to just over the bound is refused by its size, not read.
    const std::string big = dir + "/big.json";
    std::string text = "{\"usb_count\": 1}";
    text.resize(1024 * 1024 + 1, ' ');
    std::ofstream(big, std::ios::binary) << text;
    EXPECT_NE(parse(big, &error), 0);
    EXPECT_NE(error.find("scenario " + big + " is 1048577 bytes"), std::string::npos) << error;
    text.resize(1024 * 1024);
    std::ofstream(big, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(parse(big, &error), 0) << error;
    std::filesystem::remove_all(dir);
}
