// The keep session in-process against simulated cameras (the threads the CLI runs, under the
// sanitizers): arrival, drift, a camera leaving and coming back, a camera without a rule, and a
// stop that leaves no thread behind.
#include "fleet/keep_session.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "transport/usb/device_watcher.h"

using namespace velmora::platform;
using namespace velmora::transport;

using namespace velmora;
using namespace velmora::fleet;
using namespace velmora::camera;
using namespace velmora::protocol;
using namespace std::chrono_literals;

namespace {

struct Seen {
    KeepEvent::Kind kind;
    std::string serial;
    std::vector<std::string> members;  // drift: the members, in order
};

class KeepSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-keep-session-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
        std::vector<sim::UsbCameraConfig> cams = {testsim::NumberedUsbCamera(1), testsim::NumberedUsbCamera(2)};
        server_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        KeepRule rule;
        rule.kind = KeepRule::Kind::Serial;
        rule.match = rule.selector = "VMS202400001";
        ProfileError pe;
        ASSERT_EQ(ParseProfileJson(R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 70, "Contrast": 40}})",
                                   rule.profile, &pe),
                  0);
        rules_.rules.push_back(std::move(rule));
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        ASSERT_GE(stopFd_, 0);
    }
    void TearDown() override {
        Stop();
        server_->Stop();
        close(stopFd_);
        SetUserMessages(nullptr);
        std::filesystem::remove_all(dir_);
    }
    void Run(std::chrono::milliseconds interval, int reloadFd = -1, KeepSession::Loader loader = nullptr) {
        directory_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_));
        session_ = std::make_unique<KeepSession>(*directory_, rules_, interval, [this](const KeepEvent& e) {
            Seen s{e.kind, e.camera.entry.serial, {}};
            if (e.kind == KeepEvent::Kind::Drift)
                for (const ApplyMember& m : e.report->members) s.members.push_back(m.field->member);
            std::lock_guard lock(mu_);
            seen_.push_back(std::move(s));
            cv_.notify_all();
        });
        if (reloadFd >= 0) session_->SetReload(reloadFd, std::move(loader));
        runner_ = std::thread([this] { result_ = session_->Run(stopFd_, MakeSimFolderWatcher(dir_, 50ms)); });
    }
    // Waits for the next event of `kind` for `serial` after those already waited for.
    bool Next(KeepEvent::Kind kind, const std::string& serial) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, 10s, [&] {
            for (; cursor_ < seen_.size(); ++cursor_) {
                if (seen_[cursor_].kind == kind && seen_[cursor_].serial == serial) {
                    ++cursor_;
                    return true;
                }
            }
            return false;
        });
    }
    void Stop() {
        if (!runner_.joinable()) return;
        const uint64_t one = 1;
        ASSERT_EQ(write(stopFd_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        runner_.join();
        session_.reset();
        directory_.reset();
    }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> server_;
    KeepRules rules_;
    int stopFd_ = -1;
    std::unique_ptr<CameraDirectory> directory_;
    std::unique_ptr<KeepSession> session_;
    std::thread runner_;
    int result_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Seen> seen_;
    size_t cursor_ = 0;
};

TEST_F(KeepSessionTest, KeepsTheCameraWithARuleAndOnlyIdentifiesTheOther) {
    Run(100ms);
    ASSERT_TRUE(Next(KeepEvent::Kind::Arrived, "VMS202400001"));
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400001"));
    EXPECT_EQ(server_->Model(0).Get("Luminance"), 70);
    EXPECT_EQ(server_->Model(0).Get("Contrast"), 40);

    server_->Model(0).Set("Contrast", 7);  // drift
    ASSERT_TRUE(Next(KeepEvent::Kind::Drift, "VMS202400001"));
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400001"));
    EXPECT_EQ(server_->Model(0).Get("Contrast"), 40);

    std::string error;
    ASSERT_EQ(server_->SetPlugged(0, false, &error), 0) << error;
    ASSERT_TRUE(Next(KeepEvent::Kind::Left, "VMS202400001"));
    ASSERT_EQ(server_->SetPlugged(0, true, &error), 0) << error;
    ASSERT_TRUE(Next(KeepEvent::Kind::Arrived, "VMS202400001"));
    ASSERT_TRUE(Next(KeepEvent::Kind::InStep, "VMS202400001"));
    Stop();
    EXPECT_EQ(result_, 0);

    std::lock_guard lock(mu_);
    std::vector<Seen> second;
    for (const Seen& s : seen_)
        if (s.serial == "VMS202400002") second.push_back(s);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].kind, KeepEvent::Kind::Arrived);
    EXPECT_EQ(server_->Reads(1), 0);
    EXPECT_EQ(server_->Sets(1), 0);
    const std::vector<std::string> drifted = {"Contrast"};
    bool driftNamed = false;
    for (const Seen& s : seen_) driftNamed = driftNamed || (s.kind == KeepEvent::Kind::Drift && s.members == drifted);
    EXPECT_TRUE(driftNamed);
}

TEST_F(KeepSessionTest, AStopWhileCamerasComeAndGoEndsWithoutAThreadLeft) {
    Run(10ms);  // checks as often as they can be: the stop lands between two of them
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400001"));
    std::string error;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(server_->SetPlugged(1, false, &error), 0) << error;
        ASSERT_EQ(server_->SetPlugged(1, true, &error), 0) << error;
    }
    Stop();  // joins the session; the watcher is stopped inside Run
    EXPECT_EQ(result_, 0);
    // The session's own objects are gone; the cameras are still served and answer.
    EXPECT_TRUE(server_->Plugged(0));
}

// A reload (on the session's thread) matches the cameras present against the new rules and checks
// them at once; a reload that fails keeps the rules in force.
TEST_F(KeepSessionTest, AReloadMatchesPresentCamerasAgainAndAFailedOneKeepsTheRules) {
    const int reloadFd = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(reloadFd, 0);
    std::atomic<bool> fail{false};
    Run(1h, reloadFd, [&](KeepRules& fresh, std::string& why) {
        if (fail.load()) {
            why = "rules.json: not JSON";
            return kKeepRulesRefused;
        }
        KeepRule any;
        any.kind = KeepRule::Kind::Any;
        any.selector = "*";
        ProfileError pe;
        EXPECT_EQ(ParseProfileJson(R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 20}})",
                                   any.profile, &pe),
                  0);
        fresh.rules.push_back(std::move(any));
        return 0;
    });
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400001"));
    ASSERT_TRUE(Next(KeepEvent::Kind::Arrived, "VMS202400002"));
    const uint64_t one = 1;
    ASSERT_EQ(write(reloadFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    ASSERT_TRUE(Next(KeepEvent::Kind::Reloaded, ""));
    // Both cameras now follow "*", at once, not an hour later.
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400001"));
    ASSERT_TRUE(Next(KeepEvent::Kind::Applied, "VMS202400002"));
    EXPECT_EQ(server_->Model(0).Get("Luminance"), 20);
    EXPECT_EQ(server_->Model(1).Get("Luminance"), 20);
    EXPECT_EQ(server_->Model(0).Get("Contrast"), 40);  // set under the old rule, no longer kept

    fail = true;
    ASSERT_EQ(write(reloadFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    ASSERT_TRUE(Next(KeepEvent::Kind::ReloadFailed, ""));
    Stop();
    EXPECT_EQ(result_, 0);
    close(reloadFd);
}

}  // namespace
