// Verified apply against simulated USB cameras that clamp, ignore, refuse and hide members: every
// member sent is classified from what the camera reads back, not from the transport's result.
#include <gtest/gtest.h>

#include <filesystem>

#include "camera/usb_camera.h"
#include "camera/verified_apply.h"
#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"

using namespace velmora::platform;
using namespace velmora::camera;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::protocol;
using namespace velmora::transport;

namespace {

class VerifiedApplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-apply-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
    }
    void TearDown() override {
        camera_.reset();
        dev_.reset();
        if (server_) server_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    void Serve(const std::vector<std::string>& faults, const std::string& productModel = {}) {
        sim::UsbCameraConfig c = testsim::NumberedUsbCamera(1, faults);
        if (!productModel.empty()) c.model.identity.productModel = productModel;
        server_ = std::make_unique<sim::UsbServer>(dir_, std::vector<sim::UsbCameraConfig>{c});
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        dev_ = testsim::OpenSimulatedUsb(dir_);
        ASSERT_EQ(dev_->RefreshDevices(), 1);
        UsbDeviceEntry e{};
        ASSERT_TRUE(dev_->GetDevice(0, e));
        camera_ = std::make_unique<UsbCamera>(*dev_, e.handle);
    }

    static Profile Members(const std::string& members) {
        Profile p;
        ProfileError e;
        EXPECT_EQ(ParseProfileJson(R"({"format": "velmora-profile", "version": 1, "members": {)" + members + "}}", p, &e),
                  0)
            << e.message;
        return p;
    }

    static const ApplyMember* Member(const ApplyReport& r, const char* name) {
        for (const ApplyMember& m : r.members)
            if (std::string(m.field->member) == name) return &m;
        return nullptr;
    }

    sim::CameraModel& Model() { return server_->Model(0); }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> dev_;
    std::unique_ptr<UsbCamera> camera_;
};

}  // namespace

TEST_F(VerifiedApplyTest, ClassifiesConfirmedAdjustedRefusedAndUnchanged) {
    // Luminance is clamped to 10..80, Contrast ignored, Saturation refused by the camera.
    Serve({"clamp=Luminance:10..80", "ignore=Contrast"});
    Profile p = Members(R"("Luminance": 95, "Contrast": 20, "ucHue": 60, "Hue": 50, "BExpCPS": -7)");
    ApplyReport r;
    EXPECT_EQ(VerifiedApply(*camera_, p, r), kApplyNotConfirmed);
    EXPECT_EQ(r.unchanged, 1u);  // Hue already 50: not sent
    ASSERT_EQ(r.members.size(), 4u);
    EXPECT_EQ(Member(r, "Luminance")->outcome, ApplyOutcome::Adjusted);
    EXPECT_EQ(*Member(r, "Luminance")->after, 80);
    EXPECT_EQ(Member(r, "Contrast")->outcome, ApplyOutcome::Adjusted);
    EXPECT_EQ(*Member(r, "Contrast")->after, 50);
    EXPECT_EQ(Member(r, "ucHue")->outcome, ApplyOutcome::Confirmed);
    EXPECT_EQ(Member(r, "BExpCPS")->outcome, ApplyOutcome::Confirmed);
    EXPECT_EQ(*Model().Get("BExpCPS"), -7);
    EXPECT_FALSE(r.Failed());
    EXPECT_FALSE(r.wholeRecord);

    // Nothing left to send: success without a request beyond the read.
    Profile same = Members(R"("ucHue": 60)");
    EXPECT_EQ(VerifiedApply(*camera_, same, r), 0);
    EXPECT_TRUE(r.members.empty());
}

TEST_F(VerifiedApplyTest, ARefusedMemberDoesNotStopTheOthers) {
    Serve({"refuse=-5,cmd=40001090,times=1"});
    ApplyReport r;
    EXPECT_EQ(VerifiedApply(*camera_, Members(R"("Luminance": 10, "Contrast": 20)"), r), kApplyNotConfirmed);
    EXPECT_EQ(Member(r, "Luminance")->outcome, ApplyOutcome::Refused);
    EXPECT_EQ(Member(r, "Luminance")->code, -5);
    EXPECT_EQ(Member(r, "Contrast")->outcome, ApplyOutcome::Confirmed);
    EXPECT_TRUE(r.Failed());
    EXPECT_EQ(*Model().Get("Luminance"), 50);
}

TEST_F(VerifiedApplyTest, MembersTheAbilityListHidesOrDoesNotOfferAreSkippedNotSent) {
    Serve({}, sim::CameraModel::kLiteModel);  // hides wide dynamic range and defog
    ApplyReport r;
    // eWBMode 2 is not among the camera's choices (0, 1, 3, 4, 5, 30); u8GgainTuning is hidden
    // on every model.
    Profile p = Members(R"("eWDMode": 1, "ucDefogMode": 1, "eWBMode": 2, "u8GgainTuning": 7, "Luminance": 60)");
    EXPECT_EQ(VerifiedApply(*camera_, p, r), kApplyNotConfirmed);
    for (const char* hidden : {"eWDMode", "ucDefogMode", "eWBMode", "u8GgainTuning"}) {
        EXPECT_EQ(Member(r, hidden)->outcome, ApplyOutcome::Skipped) << hidden;
        EXPECT_FALSE(Member(r, hidden)->reason.empty());
    }
    EXPECT_EQ(*Model().Get("eWDMode"), 0);
    EXPECT_EQ(*Model().Get("eWBMode"), 1);
    EXPECT_EQ(Member(r, "Luminance")->outcome, ApplyOutcome::Confirmed);
    EXPECT_FALSE(r.Failed());
}

TEST_F(VerifiedApplyTest, AWholeParameterFileGoesAsOneRecordAndKeepsSkippedMembers) {
    Serve({"clamp=u32CTNum:2500..9000"}, sim::CameraModel::kLiteModel);
    VideoParam rec;
    ASSERT_EQ(camera_->ReadVideoParams(rec), 0);
    // Change many members, including ucAEWeightLevel (not in the whole-record set), a hidden
    // one and a clamped one.
    for (size_t i = 0; i < 5; ++i) rec.bytes[i] = static_cast<uint8_t>(10 + i);
    for (uint16_t off : {1035, 2050, 2051, 2056, 2058, 5121, 5122, 5123}) rec.bytes[off] = 77;
    rec.bytes[kAEWeightLevelOffset] = 4;
    rec.bytes[1034] = 1;  // eWDMode: hidden on this model
    WriteInt32LE(rec, 2052, 12000);
    ApplyReport r;
    EXPECT_EQ(VerifiedApply(*camera_, ProfileFromRecord(rec), r), kApplyNotConfirmed);
    EXPECT_TRUE(r.wholeRecord);
    EXPECT_EQ(Member(r, "ucAEWeightLevel")->outcome, ApplyOutcome::Confirmed);
    EXPECT_EQ(Member(r, "eWDMode")->outcome, ApplyOutcome::Skipped);
    EXPECT_EQ(*Model().Get("eWDMode"), 0);
    // ucWDRStrength (1035) is hidden on the smaller model too.
    EXPECT_EQ(Member(r, "ucWDRStrength")->outcome, ApplyOutcome::Skipped);
    EXPECT_EQ(Member(r, "u32CTNum")->outcome, ApplyOutcome::Adjusted);
    EXPECT_EQ(*Member(r, "u32CTNum")->after, 9000);
    EXPECT_EQ(Member(r, "Luminance")->outcome, ApplyOutcome::Confirmed);
    EXPECT_EQ(r.Count(ApplyOutcome::Confirmed), 13u);
}

TEST_F(VerifiedApplyTest, AFailedReadSendsNothingAndAFailedReadBackVerifiesNothing) {
    Serve({"refuse=-9,cmd=40001089,times=1"});
    ApplyReport r;
    EXPECT_EQ(VerifiedApply(*camera_, Members(R"("Luminance": 10)"), r), -9);
    EXPECT_EQ(*Model().Get("Luminance"), 50);
    EXPECT_TRUE(r.Failed());

    // The first read passes, the read-back is refused: the member was sent but is unverified.
    server_->Stop();
    server_.reset();
    camera_.reset();
    dev_.reset();
    Serve({"refuse=-9,cmd=40001089,after=1,times=1"});
    EXPECT_EQ(VerifiedApply(*camera_, Members(R"("Luminance": 10)"), r), kApplyNotConfirmed);
    EXPECT_EQ(Member(r, "Luminance")->outcome, ApplyOutcome::Unverified);
    EXPECT_EQ(r.readBackResult, -9);
    EXPECT_TRUE(r.Failed());
}
