#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::sim {

// Which transport a JSON reply is shaped for. The two differ only in small ways (the ability
// list's choices sit in zh.Options on USB and in zh.Value.Options on the network; the video
// output mode exists only on network cameras).
enum class Shape { Usb, Network };

// Refusal codes of the simulated camera. They travel as nResult inside Content and, over USB, as
// the status word of the reply. They stay clear of the host's own transport codes (-302 ...).
enum SimError : int32_t {
    kErrBadRequest = -20,      // request text is not a JSON object or has no Cmd
    kErrUnknownCmd = -21,      // Cmd names no request this camera knows
    kErrBadParam = -22,        // arguments missing or out of range
    kErrWrongCommandId = -23,  // USB: the JSON Cmd does not belong to the HID command id
    kErrNotOnTransport = -24,  // request not offered on this transport (VOMode over USB)
    kErrNoPreset = -25,        // call of a preset that was never set
    kErrBusy = -26,            // firmware is being written; upgrade requests refused
    kErrNotAnnounced = -28,    // firmware data without an announced package
    kErrTooMuchData = -29,     // firmware data beyond the announced size
    kErrTooLarge = -30,        // USB request larger than the camera accepts
    kErrEmptyImage = -31,      // announced package of 0 bytes: nothing to write
    kErrUnknownCommand = -32,  // USB: unknown HID command id
};

// One member of the parameter record as the camera stores it.
struct ParamInfo {
    const char* name;   // JSON member name, e.g. "Luminance"
    uint16_t offset;    // offset in the host's 8191-byte record (for reference and tests)
    uint8_t width;      // 1 or 4 bytes
    bool isSigned;      // BExpCPS and the 4-byte members
    int32_t factory;    // factory default
};

// A clamp=MEMBER:MIN..MAX fault: the camera keeps a set value of MEMBER within [min, max].
struct ParamClamp {
    std::string member;
    int64_t min = 0;
    int64_t max = 0;
};

// One choice of an ability item: the member name (the value as text, e.g. "30" or "50Hz") and its label.
struct AbilityOption {
    std::string value;
    std::string label;
};

// One entry of the ability list ("Image" array of ReqGetAbilityLevel).
struct AbilityEntry {
    std::string key;
    int display = 1;
    std::string displayRule;
    std::string title;
    std::vector<AbilityOption> options;
};

// Identity a USB camera reports for the device-information command.
struct CameraIdentity {
    std::string deviceName;
    std::string productModel;
    std::string serial;
    std::string buildDate;
    uint16_t biosVersion = 0x0102;
};

// Upgrade state machine: Idle -> Receiving (announce) -> Flashing (all bytes in) -> Done.
enum class UpgradeState { Idle, Receiving, Flashing, Done };

struct UpgradeSnapshot {
    UpgradeState state = UpgradeState::Idle;
    int32_t fileType = 0;
    uint64_t fileSize = 0;
    uint64_t received = 0;
    uint32_t crc32 = 0;           // CRC-32 (IEEE) of the bytes received so far
    uint16_t pendingVersion = 0;  // BIOS version the camera runs after the next reboot (0 = none)
    int packagesDone = 0;
};

struct PresetPosition {
    int zoom = 0;
    int focus = 0;
};

// The state of one simulated camera: parameter record, identity, ability list, stream and video
// output settings, zoom/focus with presets, firmware version and the upgrade state machine. It
// answers JSON requests in either transport's shape and is shared by the USB and network servers.
// Thread-safe: every public method takes the internal mutex; the change hook runs after the mutex
// has been released, on the thread whose request caused the change.
class CameraModel {
public:
    using Clock = std::chrono::steady_clock;
    using ChangeHook = std::function<void(const std::string& member, int32_t value)>;

    struct Options {
        CameraIdentity identity;
        std::vector<AbilityEntry> ability;  // empty: DefaultAbility()
        bool useDefaultAbility = true;      // false: `ability` as given, even when empty
        std::string voModeName = "1080P25";
        int32_t mainStreamFps = 25000;      // thousandths of a frame per second
        int32_t focusNear = 1250;           // millimetres
        int flashMs = 3000;                 // simulated time to write a package
        // When above 0, writing a package ends with the flashSteps-th progress query instead of
        // after flashMs; the queries before it report Progress k * 100 / flashSteps.
        int flashSteps = 0;
        bool neverFlash = false;            // writing never ends: UpdateStatus stays 1
        bool acceptEmpty = false;           // a package of 0 bytes is accepted and written at once
        bool rollback = false;              // a reboot forgets the written packages (old version)
        // Parameter faults: a set of a clamped member stores the value limited to [min, max]; a
        // set of an ignored member is answered with success and changes nothing. Both act on the
        // set requests (one field or the whole record), not on restore defaults or Set().
        std::vector<ParamClamp> clamps;
        std::vector<std::string> ignored;
        std::function<Clock::time_point()> clock;  // empty: steady_clock::now
    };

    explicit CameraModel(Options options);
    ~CameraModel();
    CameraModel(const CameraModel&) = delete;
    CameraModel& operator=(const CameraModel&) = delete;

    // Identity and ability defaults for the index-th camera (1-based) of a simulator run.
    static CameraIdentity DefaultIdentity(int index);
    // The ability list of a product model: the VMC-U2000 list below for every model but the
    // VMC-U1000, a smaller model without wide dynamic range and defog, whose list hides
    // (Display 0) eWDMode, ucWDRStrength, ucDefogMode and ucDelFogClass as well.
    static std::vector<AbilityEntry> DefaultAbility(std::string_view productModel = {});
    static constexpr const char kLiteModel[] = "VMC-U1000";
    static const std::vector<ParamInfo>& Params();
    static const ParamInfo* FindParam(std::string_view member);  // case-insensitive

    // Answers one JSON request (trailing NUL bytes ignored). `status` receives 0 on success or the
    // refusal code (also put in Content.nResult). Never fails to produce a reply text.
    std::string HandleJson(std::string_view requestText, Shape shape, int32_t* status);

    // Reply to the USB device-information command: top-level DeviceName, ProductModel, Serial,
    // BiosVersion (a number), BuildDate.
    std::string DeviceInfoJson() const;

    // Firmware upgrade over USB. Replies are {"UpdateStatus":s,"Progress":p}.
    std::string UpgradeAnnounce(std::string_view requestText, int32_t* status);
    std::string UpgradeData(const uint8_t* data, size_t size, int32_t* status);
    std::string UpgradeProgress(int32_t* status);
    // The camera restarts: movement stops, an interrupted upgrade is forgotten and a written
    // package becomes the running firmware (BIOS version).
    void Reboot();

    // Current values. Get returns nullopt for an unknown member.
    std::optional<int32_t> Get(std::string_view member) const;
    // Stores a value as the camera would (1-byte fields keep the low 8 bits); false if unknown.
    bool Set(std::string_view member, int64_t value);
    void RestoreDefaults();
    void SetChangeHook(ChangeHook hook);

    CameraIdentity Identity() const;
    void SetIdentity(const CameraIdentity& identity);
    void SetAbility(std::vector<AbilityEntry> ability);
    void SetFlashMs(int ms);
    void SetFlashSteps(int steps);           // 0: by time (flashMs)
    void SetNeverFlash(bool never);
    void SetAcceptEmpty(bool accept);
    void SetRollback(bool rollback);
    // Told whenever the camera starts or stops receiving or writing firmware (announced and not
    // yet written): true when it starts. Runs with the model's lock held: it must not call back
    // into the model.
    void SetWritingHook(std::function<void(bool writing)> hook);
    void AddClamp(const ParamClamp& clamp);
    void AddIgnored(std::string_view member);
    UpgradeSnapshot Upgrade() const;
    int ZoomPosition() const;
    int FocusPosition() const;
    std::optional<PresetPosition> Preset(int id) const;
    int RebootCount() const;

    static constexpr int kZoomMax = 1000;
    static constexpr int kFocusMax = 1000;
    static constexpr uint64_t kMaxPackageSize = 256ull * 1024 * 1024;

private:
    struct Axis {
        int base = 0;
        int dir = 0;       // -1, 0, +1
        int speed = 0;     // units per second
        Clock::time_point since{};
    };
    struct Change {
        std::string member;
        int32_t value;
    };

    Clock::time_point Now() const;
    int AxisPosition(const Axis& axis, int max) const;
    void SettleAxis(Axis& axis, int max);
    void StoreLocked(size_t index, int64_t value, std::vector<Change>* changes);
    void NotifyChanges(const std::vector<Change>& changes);
    // Applies the clamp and ignore faults to a set value; false when the set is to be ignored.
    bool SetFaultLocked(const ParamInfo& param, int64_t& value) const;
    std::string UpgradeReplyLocked(int updateStatus, int progress) const;
    void AdvanceFlashLocked();
    void BeginFlashLocked();

    mutable std::mutex mu_;
    Options opts_;
    std::vector<int32_t> values_;
    ChangeHook hook_;
    Axis zoom_;
    Axis focus_;
    std::map<int, PresetPosition> presets_;
    UpgradeSnapshot upgrade_;
    Clock::time_point flashStart_{};
    int flashQueries_ = 0;  // progress queries since the package was complete (flashSteps)
    std::function<void(bool)> writingHook_;
    bool writing_ = false;  // last state told to writingHook_
    void TellWritingLocked();
    int reboots_ = 0;
};

}  // namespace velmora::sim
