// velmora-cli keep against the simulator: cameras kept at their profiles as they arrive, drift and
// leave, cameras without a rule left alone, a refusing camera retried at its interval, a prompt stop.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/program_runner.h"

using namespace velmora::test;

namespace {

constexpr int kLineWaitMs = 20000;  // a guard against a hang, not a timing

struct JsonDoc {
    cJSON* root = nullptr;
    explicit JsonDoc(const std::string& text) : root(cJSON_Parse(text.c_str())) {}
    ~JsonDoc() { cJSON_Delete(root); }
    JsonDoc(const JsonDoc&) = delete;
    JsonDoc& operator=(const JsonDoc&) = delete;
    std::string Text(const char* key) const {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(root, key);
        return cJSON_IsString(v) ? v->valuestring : "";
    }
    const cJSON* Item(const char* key) const { return cJSON_GetObjectItemCaseSensitive(root, key); }
};

// Milliseconds since the epoch of an event's "time" (2026-12-08T00:01:02.345Z).
int64_t EventMillis(const std::string& time) {
    std::tm tm{};
    int ms = 0;
    if (sscanf(time.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
               &tm.tm_sec, &ms) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
}

class KeepTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-keep-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        usb_ = dir_ + "/usb";
        Write("p.json", R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 70, "Contrast": 40}})");
    }
    void TearDown() override {
        if (keep_.pid > 0) {
            kill(keep_.pid, SIGKILL);
            Wait(keep_.pid);
        }
        sim_.Stop();
        std::filesystem::remove_all(dir_);
    }
    void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }
    bool StartSim(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--usb-dir", usb_};
        args.insert(args.end(), extra.begin(), extra.end());
        return sim_.Start(args);
    }
    void StartKeep(std::vector<std::string> args) {
        args.insert(args.begin(), VELMORA_CLI_PATH);
        keep_ = Spawn(args, {"VELMORA_USB_SIM=" + usb_});
        ASSERT_GT(keep_.pid, 0);
    }
    std::string Ctl(const std::string& command) {
        const ProgramResult r = Shell(std::string(VELMORA_CAMSIM_PATH) + " ctl " + usb_ + " " + command, true);
        EXPECT_EQ(r.status, 0) << command << ": " << r.out;
        return r.out.substr(0, r.out.find('\n'));
    }
    // Reads events until one has `event` for `serial`; the lines read on the way are kept.
    std::unique_ptr<JsonDoc> NextEvent(const std::string& event, const std::string& serial) {
        std::string line;
        while (ReadLineWithin(keep_.out, kLineWaitMs, line)) {
            seen_.push_back(line);
            auto doc = std::make_unique<JsonDoc>(line);
            EXPECT_NE(doc->root, nullptr) << "not JSON: " << line;
            if (doc->Text("event") == event && doc->Text("serial") == serial) return doc;
        }
        ADD_FAILURE() << "no " << event << " event for " << serial << "; lines: " << ::testing::PrintToString(seen_);
        return std::make_unique<JsonDoc>("null");
    }
    std::string NextLine() {
        std::string line;
        EXPECT_TRUE(ReadLineWithin(keep_.out, kLineWaitMs, line)) << "so far: " << line;
        return line;
    }
    // SIGTERM, then the exit status and the rest of stdout.
    int Stop(std::string* rest = nullptr) {
        kill(keep_.pid, SIGTERM);
        const int status = WaitWithin(keep_.pid, kLineWaitMs);
        if (status != -2) keep_.pid = -1;
        const std::string left = ReadAll(keep_.out);
        if (rest) *rest = left;
        close(keep_.err);
        return status;
    }

    std::string dir_, usb_;
    SimulatorProcess sim_;
    Child keep_;
    std::vector<std::string> seen_;
};

TEST_F(KeepTest, ArrivalAppliesDriftIsRepairedAndCamerasWithoutARuleAreLeftAlone) {
    ASSERT_TRUE(StartSim({"--usb-count", "2"}));
    Write("keep.json", R"({"serial:VMS202400001": "p.json"})");
    StartKeep({"--json", "keep", "--interval", "1", dir_ + "/keep.json"});

    auto arrived = NextEvent("arrived", "VMS202400001");
    EXPECT_EQ(arrived->Text("rule"), "serial:VMS202400001");
    EXPECT_EQ(arrived->Text("profile"), "p.json");
    EXPECT_EQ(arrived->Text("model"), "VMC-U2000");
    EXPECT_FALSE(arrived->Text("time").empty());
    auto drift = NextEvent("drift", "VMS202400001");
    const cJSON* members = drift->Item("members");
    ASSERT_EQ(cJSON_GetArraySize(members), 2);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(members, 0), "member")->valuestring, "Luminance");
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(members, 0), "from")->valueint, 50);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(members, 0), "to")->valueint, 70);
    NextEvent("applied", "VMS202400001");
    EXPECT_EQ(Ctl("get cam01 Luminance"), "ok 70");
    EXPECT_EQ(Ctl("get cam01 Contrast"), "ok 40");

    // Another program changes the camera: repaired at the next interval.
    Ctl("set cam01 Luminance 10");
    drift = NextEvent("drift", "VMS202400001");
    ASSERT_EQ(cJSON_GetArraySize(drift->Item("members")), 1);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(drift->Item("members"), 0), "from")->valueint, 10);
    auto applied = NextEvent("applied", "VMS202400001");
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(applied->Item("apply"), "counts"), "confirmed")->valueint, 1);
    EXPECT_EQ(Ctl("get cam01 Luminance"), "ok 70");
    NextEvent("in-step", "VMS202400001");  // the next round finds nothing to do

    // Unplugged and back: it left, arrives again and is checked on its return.
    Ctl("unplug cam01");
    NextEvent("left", "VMS202400001");
    Ctl("set cam01 Contrast 41");  // changed while away
    Ctl("plug cam01");
    NextEvent("arrived", "VMS202400001");
    NextEvent("drift", "VMS202400001");
    NextEvent("applied", "VMS202400001");

    EXPECT_EQ(Stop(), 0);
    // cam02 has no rule: it was asked who it is, and nothing else.
    bool noRule = false;
    for (const std::string& line : seen_) {
        JsonDoc doc(line);
        if (doc.Text("serial") != "VMS202400002") continue;
        EXPECT_EQ(doc.Text("event"), "arrived") << line;
        noRule = noRule || cJSON_IsNull(doc.Item("rule"));
    }
    EXPECT_TRUE(noRule);
    EXPECT_EQ(Ctl("count cam02"), "ok exchanges=1 reads=0 sets=0");
}

TEST_F(KeepTest, ARefusingCameraIsReportedAndRetriedAtItsIntervalOnly) {
    ASSERT_TRUE(StartSim({"--usb-count", "1", "--fault", "cam01:refuse=-5,cmd=40001090"}));
    Write("keep.json", R"({"*": "p.json"})");
    StartKeep({"--json", "keep", "--interval", "1", dir_ + "/keep.json"});
    std::vector<int64_t> times;
    for (int i = 0; i < 3; ++i) {
        auto refused = NextEvent("refused", "VMS202400001");
        const cJSON* code = refused->Item("code");
        ASSERT_TRUE(cJSON_IsNumber(code));
        EXPECT_EQ(code->valueint, -5);
        times.push_back(EventMillis(refused->Text("time")));
    }
    // Never sooner than the interval (the session's own clock in the events).
    EXPECT_GE(times[1] - times[0], 900);
    EXPECT_GE(times[2] - times[1], 900);
    std::string rest;
    EXPECT_EQ(Stop(&rest), 0);
    // Every check sent the two members once: the sets the camera counted are the checks reported.
    size_t checks = 3;
    for (size_t at = rest.find("\"refused\""); at != std::string::npos; at = rest.find("\"refused\"", at + 1)) ++checks;
    const std::string count = Ctl("count cam01");
    EXPECT_EQ(count.substr(count.find("sets=")), "sets=" + std::to_string(2 * checks)) << count;
}

TEST_F(KeepTest, AStopEndsItBetweenTwoChecksNotAtTheEndOfTheRound) {
    // Every parameter read is answered late: a check takes a while, and three are due at once.
    ASSERT_TRUE(StartSim({"--usb-count", "3", "--fault", "*:stall=800,cmd=40001089"}));
    Write("keep.json", R"({"*": "p.json"})");
    StartKeep({"--json", "keep", dir_ + "/keep.json"});
    const std::string first = NextLine();  // the first camera arrived; its check begins
    EXPECT_NE(first.find("\"event\": \"arrived\""), std::string::npos) << first;
    std::string rest;
    EXPECT_EQ(Stop(&rest), 0);  // the check under way ends, the others never start
    int checked = 0;
    for (const char* cam : {"cam01", "cam02", "cam03"}) {
        const std::string count = Ctl(std::string("count ") + cam);
        checked += count.find(" reads=0 ") == std::string::npos;
    }
    EXPECT_EQ(checked, 1) << rest;
}

TEST_F(KeepTest, CamerasAddedWhileKeepingAreKeptByModelInText) {
    ASSERT_TRUE(StartSim({"--usb-count", "0"}));
    Write("keep.json", R"({"model:VX-300": "p.json"})");
    StartKeep({"keep", dir_ + "/keep.json"});  // the default interval: only arrivals act here
    EXPECT_EQ(Ctl("add line3 serial=K01 model=VX-300 name=Line3"), "ok line3");
    std::string line = NextLine();
    EXPECT_NE(line.find(" arrived K01 \"Line3\" VX-300 rule model:VX-300 -> p.json"), std::string::npos) << line;
    EXPECT_EQ(line.find_first_of("0123456789"), 0u) << line;  // the time first
    line = NextLine();
    EXPECT_NE(line.find(" drift K01 Luminance 50->70, Contrast 50->40"), std::string::npos) << line;
    line = NextLine();
    EXPECT_NE(line.find(" applied K01 2 confirmed"), std::string::npos) << line;
    EXPECT_EQ(Ctl("add"), "ok cam02");
    line = NextLine();
    EXPECT_NE(line.find(" arrived VMS202400002 \"模拟相机2\" VMC-U2000 no rule: left alone"), std::string::npos) << line;
    Ctl("remove line3");
    line = NextLine();
    EXPECT_NE(line.find(" left K01"), std::string::npos) << line;
    EXPECT_EQ(Stop(), 0);
}

// SIGHUP reads the rules again: present cameras are matched against them and checked at once; a
// rules file that no longer reads leaves the rules in force (and keep running).
TEST_F(KeepTest, SighupReloadsTheRulesAndABadFileKeepsThoseInForce) {
    ASSERT_TRUE(StartSim({"--usb-count", "0"}));
    Write("keep.json", R"({"model:VX-300": "p.json"})");
    StartKeep({"keep", dir_ + "/keep.json"});
    EXPECT_EQ(Ctl("add line3 serial=K01 model=VX-300 name=Line3"), "ok line3");
    EXPECT_NE(NextLine().find(" arrived K01 "), std::string::npos);
    EXPECT_NE(NextLine().find(" drift K01 "), std::string::npos);
    EXPECT_NE(NextLine().find(" applied K01 2 confirmed"), std::string::npos);

    Write("q.json", R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 30}})");
    Write("keep.json", R"({"serial:K01": "q.json", "*": "p.json"})");
    kill(keep_.pid, SIGHUP);
    std::string line = NextLine();
    EXPECT_NE(line.find(" reloaded 2 rules"), std::string::npos) << line;
    line = NextLine();
    EXPECT_NE(line.find(" drift K01 Luminance 70->30"), std::string::npos) << line;
    EXPECT_NE(NextLine().find(" applied K01 1 confirmed"), std::string::npos);
    EXPECT_EQ(Ctl("get line3 Luminance"), "ok 30");

    Write("keep.json", R"({"serial:K01": )");
    kill(keep_.pid, SIGHUP);
    line = NextLine();
    EXPECT_NE(line.find(" reload-failed "), std::string::npos) << line;
    EXPECT_NE(line.find("keep.json"), std::string::npos) << line;
    EXPECT_NE(line.find("the rules in force stay"), std::string::npos) << line;
    Ctl("set line3 Luminance 55");  // drift: still kept at q.json's value after the failed reload
    Ctl("unplug line3");
    Ctl("plug line3");
    EXPECT_NE(NextLine().find(" left K01"), std::string::npos);
    EXPECT_NE(NextLine().find(" arrived K01 \"Line3\" VX-300 rule serial:K01 -> q.json"), std::string::npos);
    EXPECT_NE(NextLine().find(" drift K01 Luminance 55->30"), std::string::npos);
    EXPECT_EQ(Stop(), 0);
}

TEST_F(KeepTest, BadRulesAndArgumentsEndWithStatus2AndTheReason) {
    const std::string cli = std::string(VELMORA_CLI_PATH) + " ";
    auto run = [&](const std::string& args) { return Shell("VELMORA_USB_SIM=" + usb_ + " " + cli + args, true); };
    Write("broken.json", "{\"*\": \"p.json\",\n \"serial:K1\": }");
    Write("wrong.json", R"({"serial:K1": "nothere.json"})");
    ProgramResult r = run("keep " + dir_ + "/broken.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find(dir_ + "/broken.json: not JSON at line 2, column 15"), std::string::npos) << r.out;
    r = run("keep " + dir_ + "/wrong.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("rule \"serial:K1\": " + dir_ + "/nothere.json"), std::string::npos) << r.out;
    r = run("keep " + dir_ + "/none.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find(dir_ + "/none.json"), std::string::npos) << r.out;
    r = run("keep");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("keep needs one RULES file"), std::string::npos) << r.out;
    for (const char* interval : {"0", "-1", "abc", "1e9", "nan", " 5"}) {
        r = run(std::string("keep --interval '") + interval + "' " + dir_ + "/p.json");
        EXPECT_EQ(r.status, 2) << interval;
        EXPECT_NE(r.out.find("--interval needs seconds from 0.1 to 86400"), std::string::npos) << r.out;
    }
    r = run("--device 2 keep " + dir_ + "/p.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("keep chooses its cameras by its rules"), std::string::npos) << r.out;
}

}  // namespace
