#pragma once

#include <string>
#include <vector>

#include "camera/camera.h"

namespace velmora::camera {

// A network camera reached through a logged-in session (NetSession or the program's video
// pane), which the caller owns. The request texts and reply parsers are the USB camera's; they
// travel through the session's text channel ORVEX_SendRobotText. Each request owns a zero-filled
// reply buffer; the capacity handed to the session is the buffer size minus 2, so the reply
// always ends in a zero byte.
class NetCamera final : public Camera {
public:
    // `address` and `port` are used by the pan/tilt requests, which probe the camera first.
    NetCamera(int session, std::string address, int port, CameraIdentity identity = {})
        : session_(session), address_(std::move(address)), port_(port), identity_(std::move(identity)) {}

    bool IsNetwork() const override { return true; }
    int session() const { return session_; }
    const std::string& address() const { return address_; }
    int port() const { return port_; }

    // A negative session shows "无效的设备句柄!" and gives -1; a failed exchange shows
    // "返回错误码: %d" with the session's code and gives -1; a reply that is not JSON gives -310
    // and one that lacks a member -311; the camera's negative nResult is returned.
    int ReadVideoParams(protocol::VideoParam& rec) override;
    // The session is not checked here: the network layer refuses an invalid one.
    int SetField(const protocol::VideoParamField& field, int32_t value) override;
    int WriteVideoParams(const protocol::VideoParam& rec) override;
    int RestoreDefaults() override;
    int GetFocusNear() override;
    // From the video output mode ("1080P25" gives 25); 0 when the reply does not parse or names
    // no rate. A negative session shows "无效的设备句柄!" and gives -1; a failed exchange returns
    // the session's code without a message.
    int GetFrameRate() override;
    // Labels converted to CP936 and left empty above 30 bytes. A negative session shows
    // "无效的设备句柄!" and gives -1; a failed exchange, or a reply of 8192 bytes or more, gives
    // -1. The reply goes into one 8192-byte buffer kept for the whole run, so ability-list reads
    // are serialised.
    int ReadAbilityList(protocol::AbilityList& list) override;
    bool LabelsAreCp936() const override { return true; }
    // The identity the login reported (given at construction).
    int ReadIdentity(CameraIdentity& out) override;
    // Probes address:port for 1 s once, before the first text: unreachable gives -27 and sends
    // nothing. A negative session sends nothing and gives 0.
    int SendPtzTexts(const std::vector<std::string>& texts) override;

private:
    // Sends `text` with its terminating zero into `reply`, made a zero-filled buffer of `size`
    // bytes whose capacity is size - 2. Returns the session's result.
    int Send(const std::string& text, std::vector<char>& reply, size_t size);
    // A set or restore-defaults request: the session's result, or a negative nResult in the
    // reply (the only way a network camera can refuse a set). A failure is shown with its code.
    int SendSet(const std::string& text, size_t size);

    int session_;
    std::string address_;
    int port_;
    CameraIdentity identity_;
};

}  // namespace velmora::camera
