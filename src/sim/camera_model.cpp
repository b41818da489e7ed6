#include "sim/camera_model.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <strings.h>

#include "sim/json_ptr.h"

namespace velmora::sim {
namespace {

std::string PrintCompact(const cJSON* item) {
    char* text = cJSON_PrintUnformatted(item);
    if (!text) return "{}";
    std::string out(text);
    cJSON_free(text);
    return out;
}

// Envelope {"Content":{"nResult":code}} used by every JSON reply; returns the Content object.
cJSON* MakeEnvelope(JsonPtr& root, int32_t result) {
    root.reset(cJSON_CreateObject());
    cJSON* content = cJSON_AddObjectToObject(root.get(), "Content");
    cJSON_AddNumberToObject(content, "nResult", result);
    return content;
}

std::string ResultOnly(int32_t result) {
    JsonPtr root;
    MakeEnvelope(root, result);
    return PrintCompact(root.get());
}

// Truncates a JSON number toward zero into the 64-bit range (NaN gives 0).
int64_t ToInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

bool GetInt(const cJSON* object, const char* name, int64_t* out) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (!cJSON_IsNumber(item)) return false;
    *out = ToInt64(item->valuedouble);
    return true;
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

// The record's members in record order, with the values a freshly reset camera holds.
// The simulator keeps this table (member, offset, width, signedness) itself on purpose, apart from
// the program's own, so that a mistake in one cannot hide by being repeated on both sides.
const std::vector<ParamInfo> kParams = {
    {"Luminance", 0, 1, false, 50},
    {"Contrast", 1, 1, false, 50},
    {"Saturation", 2, 1, false, 50},
    {"ucHue", 3, 1, false, 50},
    {"Hue", 4, 1, false, 50},
    {"eExposureMode", 1024, 1, false, 0},
    {"ucAEWeightLevel", 1025, 1, false, 1},
    {"BExpCPS", 1026, 1, true, 0},
    {"ucManualGain", 1027, 1, false, 32},
    {"ucAutoGainLimit", 1028, 1, false, 128},
    {"ucManualIris", 1029, 1, false, 3},
    {"uiMShutterSpeed", 1030, 4, true, 30},
    {"eWDMode", 1034, 1, false, 0},
    {"ucWDRStrength", 1035, 1, false, 50},
    {"bBacklightCompensation", 1036, 1, false, 0},
    {"ucAntiFlicker", 1037, 1, false, 1},
    {"eWBMode", 2048, 1, false, 1},
    {"uAwbTolerance", 2049, 1, false, 1},
    {"ucRGGain", 2050, 1, false, 50},
    {"ucBGGain", 2051, 1, false, 50},
    {"u32CTNum", 2052, 4, true, 5000},
    {"u8RgainTuning", 2056, 1, false, 50},
    {"u8GgainTuning", 2057, 1, false, 50},
    {"u8BgainTuning", 2058, 1, false, 50},
    {"ucFocusMode", 3072, 1, false, 1},
    {"ucAFScene", 3073, 1, false, 0},
    {"ucAFArea", 3074, 1, false, 0},
    {"ucFocusDistanceMin", 3075, 1, false, 1},
    {"ucAFSen", 3076, 1, false, 1},
    {"eNightMode", 4097, 1, false, 0},
    {"ucNightDayChnSensity", 4098, 1, false, 1},
    {"uc2DNR", 5121, 1, false, 30},
    {"uc3DNR", 5122, 1, false, 40},
    {"uDpSlope", 5123, 1, false, 50},
    {"ucDefogMode", 5124, 1, false, 0},
    {"ucDelFogClass", 5125, 1, false, 50},
    {"ucGammaVal", 5126, 1, false, 0},
    {"u32AIAe", 5127, 1, false, 0},
    {"u32AIFocus", 5128, 1, false, 0},
    {"ucCamCorrection", 5129, 1, false, 0},
    {"bHorzInvert", 6143, 1, false, 0},
    {"bVertInvert", 6144, 1, false, 0},
    {"ucRotation", 6145, 1, false, 0},
    {"eSceneMode", 6146, 1, false, 1},
    {"ucDigitalZoom", 7168, 1, false, 0},
    {"u32Lut", 7169, 4, true, 0},
};

int32_t StoredValue(const ParamInfo& p, int64_t value) {
    if (p.width == 4) return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    const auto low = static_cast<uint8_t>(static_cast<uint64_t>(value) & 0xFFu);
    return p.isSigned ? static_cast<int32_t>(static_cast<int8_t>(low)) : static_cast<int32_t>(low);
}

void AddAbilityArray(cJSON* content, const std::vector<AbilityEntry>& ability, Shape shape) {
    cJSON* image = cJSON_AddArrayToObject(content, "Image");
    for (const AbilityEntry& e : ability) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "Key", e.key.c_str());
        cJSON_AddNumberToObject(item, "Display", e.display);
        if (e.display == 2) cJSON_AddStringToObject(item, "DisplayRule", e.displayRule.c_str());
        cJSON_AddStringToObject(item, "Control", "ComboBox");
        cJSON* zh = cJSON_AddObjectToObject(item, "zh");
        cJSON_AddStringToObject(zh, "Title", e.title.c_str());
        if (e.display != 0 && e.display != 2) {
            cJSON* holder = shape == Shape::Network ? cJSON_AddObjectToObject(zh, "Value") : zh;
            cJSON* options = cJSON_AddObjectToObject(holder, "Options");
            for (const AbilityOption& o : e.options) cJSON_AddStringToObject(options, o.value.c_str(), o.label.c_str());
        }
        cJSON_AddItemToArray(image, item);
    }
}

int ClampSpeed(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 1, 10)); }

}  // namespace

CameraModel::CameraModel(Options options) : opts_(std::move(options)) {
    const CameraIdentity& id = opts_.identity;
    if (id.deviceName.empty() && id.productModel.empty() && id.serial.empty() && id.buildDate.empty()) {
        opts_.identity = DefaultIdentity(1);
    }
    if (opts_.useDefaultAbility && opts_.ability.empty()) opts_.ability = DefaultAbility(opts_.identity.productModel);
    values_.reserve(kParams.size());
    for (const ParamInfo& p : kParams) values_.push_back(p.factory);
    zoom_.base = 0;
    focus_.base = kFocusMax / 2;
}

CameraModel::~CameraModel() = default;

CameraIdentity CameraModel::DefaultIdentity(int index) {
    CameraIdentity id;
    id.deviceName = "模拟相机" + std::to_string(index);
    id.productModel = "VMC-U2000";
    char serial[32];
    std::snprintf(serial, sizeof serial, "VMS2024%05d", index);
    id.serial = serial;
    id.buildDate = "2024-05-20";
    id.biosVersion = 0x0102;
    return id;
}

std::vector<AbilityEntry> CameraModel::DefaultAbility(std::string_view productModel) {
    std::vector<AbilityEntry> list = {
        {"uiMShutterSpeed", 1, "", "快门速度",
         {{"7", "1/25"}, {"8", "1/30"}, {"30", "1/50"}, {"9", "1/60"}, {"11", "1/100"}, {"12", "1/125"},
          {"17", "1/250"}, {"19", "1/500"}, {"21", "1/1000"}, {"23", "1/2000"}, {"25", "1/4000"}}},
        {"ucManualIris", 1, "", "光圈",
         {{"254", "关闭"}, {"0", "F1.6"}, {"1", "F2.0"}, {"2", "F2.4"}, {"3", "F2.8"}, {"4", "F3.4"},
          {"5", "F4.0"}, {"6", "F4.8"}, {"7", "F5.6"}}},
        {"bBacklightCompensation", 2, "ssc8836", "背光补偿", {}},
        {"ucAntiFlicker", 2, "ssc8836", "防闪烁", {}},
        {"ucPowerFreq", 1, "", "电源频率", {{"50Hz", "50Hz"}, {"60Hz", "60Hz"}}},
        {"eWBMode", 1, "", "白平衡模式",
         {{"0", "手动"}, {"1", "自动"}, {"3", "一次"}, {"4", "室内"}, {"5", "室外"}, {"30", "色温"}}},
        {"u8RgainTuning", 2, "ssc8836", "红微调", {}},
        {"u8GgainTuning", 0, "", "绿微调", {}},
        {"u8BgainTuning", 2, "ssc8836", "蓝微调", {}},
        {"ucAFScene", 1, "", "聚焦策略", {{"0", "速度优先"}, {"1", "平滑优先"}}},
        {"ucGammaVal", 1, "", "伽玛矫正",
         {{"0", "默认"}, {"1", "0.45"}, {"2", "0.50"}, {"3", "0.55"}, {"4", "0.63"}}},
        {"ucCamCorrection", 1, "", "畸变矫正", {{"0", "关闭"}, {"1", "打开"}}},
    };
    if (productModel == kLiteModel) {
        list.push_back({"eWDMode", 0, "", "宽动态", {}});
        list.push_back({"ucWDRStrength", 0, "", "宽动态强度", {}});
        list.push_back({"ucDefogMode", 0, "", "透雾", {}});
        list.push_back({"ucDelFogClass", 0, "", "透雾等级", {}});
    }
    return list;
}

const std::vector<ParamInfo>& CameraModel::Params() { return kParams; }

const ParamInfo* CameraModel::FindParam(std::string_view member) {
    for (const ParamInfo& p : kParams) {
        if (std::strlen(p.name) == member.size() && strncasecmp(p.name, member.data(), member.size()) == 0) return &p;
    }
    return nullptr;
}

CameraModel::Clock::time_point CameraModel::Now() const { return opts_.clock ? opts_.clock() : Clock::now(); }

int CameraModel::AxisPosition(const Axis& axis, int max) const {
    if (axis.dir == 0) return axis.base;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - axis.since).count();
    const int64_t moved = static_cast<int64_t>(axis.speed) * std::max<int64_t>(ms, 0) / 1000;
    return static_cast<int>(std::clamp<int64_t>(axis.base + axis.dir * moved, 0, max));
}

void CameraModel::SettleAxis(Axis& axis, int max) {
    axis.base = AxisPosition(axis, max);
    axis.dir = 0;
}

void CameraModel::StoreLocked(size_t index, int64_t value, std::vector<Change>* changes) {
    const int32_t stored = StoredValue(kParams[index], value);
    if (values_[index] != stored) {
        values_[index] = stored;
        changes->push_back({kParams[index].name, stored});
    }
}

bool CameraModel::SetFaultLocked(const ParamInfo& param, int64_t& value) const {
    for (const std::string& member : opts_.ignored)
        if (strcasecmp(member.c_str(), param.name) == 0) return false;
    for (const ParamClamp& c : opts_.clamps)
        if (strcasecmp(c.member.c_str(), param.name) == 0) value = std::clamp(value, c.min, c.max);
    return true;
}

void CameraModel::AddClamp(const ParamClamp& clamp) {
    std::lock_guard lock(mu_);
    opts_.clamps.push_back(clamp);
}

void CameraModel::AddIgnored(std::string_view member) {
    std::lock_guard lock(mu_);
    opts_.ignored.emplace_back(member);
}

void CameraModel::NotifyChanges(const std::vector<Change>& changes) {
    if (changes.empty()) return;
    ChangeHook hook;
    {
        std::lock_guard lock(mu_);
        hook = hook_;
    }
    if (!hook) return;
    for (const Change& c : changes) hook(c.member, c.value);
}

std::string CameraModel::HandleJson(std::string_view requestText, Shape shape, int32_t* status) {
    int32_t result = 0;
    std::string reply;
    std::vector<Change> changes;
    JsonPtr req = ParseJsonObject(requestText);
    const cJSON* cmdItem = req ? cJSON_GetObjectItem(req.get(), "Cmd") : nullptr;
    if (!cJSON_IsString(cmdItem)) {
        result = kErrBadRequest;
    } else {
        const std::string cmd = cmdItem->valuestring;
        const cJSON* content = cJSON_GetObjectItem(req.get(), "Content");
        std::unique_lock lock(mu_);
        JsonPtr root;
        if (cmd == "ReqGetVideoParam") {
            cJSON* c = MakeEnvelope(root, 0);
            cJSON_AddNumberToObject(c, "ChanNum", 0);
            cJSON* vp = cJSON_AddObjectToObject(c, "VideoParam");
            for (size_t i = 0; i < kParams.size(); ++i) cJSON_AddNumberToObject(vp, kParams[i].name, values_[i]);
        } else if (cmd == "ReqSetVideoParam") {
            const cJSON* vp = cJSON_GetObjectItem(content, "VideoParam");
            int64_t chan = 0;
            if (!cJSON_IsObject(vp) || (GetInt(content, "ChanNum", &chan) && chan != 0)) {
                result = kErrBadParam;
            } else {
                for (const cJSON* m = vp->child; m; m = m->next) {
                    if (!m->string || !cJSON_IsNumber(m)) continue;
                    const ParamInfo* p = FindParam(m->string);
                    if (!p) continue;  // members this camera does not have are ignored
                    int64_t value = ToInt64(m->valuedouble);
                    if (!SetFaultLocked(*p, value)) continue;
                    StoreLocked(static_cast<size_t>(p - kParams.data()), value, &changes);
                }
            }
        } else if (cmd == "ReqSetDefaultParam") {
            int64_t cfg = 0;
            if (!GetInt(content, "eDefaultParamCfg", &cfg) || cfg != 1) {
                result = kErrBadParam;
            } else {
                for (size_t i = 0; i < kParams.size(); ++i) StoreLocked(i, kParams[i].factory, &changes);
            }
        } else if (cmd == "ReqGetAbilityLevel") {
            const cJSON* module = cJSON_GetObjectItem(content, "Module");
            if (module && (!cJSON_IsString(module) || strcasecmp(module->valuestring, "Image") != 0)) {
                result = kErrBadParam;
            } else {
                cJSON* c = MakeEnvelope(root, 0);
                AddAbilityArray(c, opts_.ability, shape);
            }
        } else if (cmd == "ReqGetFocusNear") {
            cJSON* c = MakeEnvelope(root, 0);
            cJSON_AddNumberToObject(c, "FocusNear", opts_.focusNear);
        } else if (cmd == "ReqGetCodeParam") {
            cJSON* c = MakeEnvelope(root, 0);
            cJSON* code = cJSON_AddObjectToObject(c, "CodeParam");
            cJSON* main = cJSON_AddObjectToObject(code, "stMainStreamParam");
            cJSON_AddNumberToObject(main, "eEncodeType", 1);
            cJSON_AddNumberToObject(main, "dwWidth", 1920);
            cJSON_AddNumberToObject(main, "dwHeight", 1080);
            cJSON_AddNumberToObject(main, "dwFps", opts_.mainStreamFps);
            cJSON_AddNumberToObject(main, "dwBitRate", 4096);
        } else if (cmd == "ReqGetVOMode") {
            if (shape != Shape::Network) {
                result = kErrNotOnTransport;
            } else {
                cJSON* c = MakeEnvelope(root, 0);
                cJSON* vo = cJSON_AddObjectToObject(c, "VOMode");
                cJSON_AddStringToObject(vo, "Name", opts_.voModeName.c_str());
            }
        } else if (cmd == "ReqPtzCtrl") {
            const cJSON* ptz = cJSON_GetObjectItem(content, "PtzCmd");
            int64_t h = 4, v = 4;
            GetInt(content, "ParamH", &h);
            GetInt(content, "ParamV", &v);
            const std::string what = cJSON_IsString(ptz) ? ptz->valuestring : "";
            auto start = [&](Axis& axis, int max, int dir, int64_t speed) {
                SettleAxis(axis, max);
                axis.dir = dir;
                axis.speed = ClampSpeed(speed) * 50;
                axis.since = Now();
            };
            if (what == "ZoomWide") start(zoom_, kZoomMax, -1, h);
            else if (what == "ZoomTele") start(zoom_, kZoomMax, +1, h);
            else if (what == "FocusNear") start(focus_, kFocusMax, -1, v);
            else if (what == "FocusFar") start(focus_, kFocusMax, +1, v);
            else if (what == "Stop") { SettleAxis(zoom_, kZoomMax); SettleAxis(focus_, kFocusMax); }
            else if (what == "ZoomStop") SettleAxis(zoom_, kZoomMax);
            else if (what == "FocusStop") SettleAxis(focus_, kFocusMax);
            else result = kErrBadParam;
        } else if (cmd == "ReqPresetCtrl") {
            const cJSON* what = cJSON_GetObjectItem(content, "PresetCmd");
            int64_t id = 0;
            if (!cJSON_IsString(what) || !GetInt(content, "PresetID", &id) || id < 1 || id > 255) {
                result = kErrBadParam;
            } else if (std::strcmp(what->valuestring, "Set") == 0) {
                SettleAxis(zoom_, kZoomMax);
                SettleAxis(focus_, kFocusMax);
                presets_[static_cast<int>(id)] = {zoom_.base, focus_.base};
            } else if (std::strcmp(what->valuestring, "Call") == 0) {
                auto it = presets_.find(static_cast<int>(id));
                if (it == presets_.end()) {
                    result = kErrNoPreset;
                } else {
                    zoom_ = Axis{};
                    focus_ = Axis{};
                    zoom_.base = it->second.zoom;
                    focus_.base = it->second.focus;
                }
            } else if (std::strcmp(what->valuestring, "Del") == 0) {
                presets_.erase(static_cast<int>(id));
            } else {
                result = kErrBadParam;
            }
        } else {
            result = kErrUnknownCmd;
        }
        lock.unlock();
        if (result == 0 && root) reply = PrintCompact(root.get());
    }
    if (reply.empty()) reply = ResultOnly(result);
    if (status) *status = result;
    NotifyChanges(changes);
    return reply;
}

std::string CameraModel::DeviceInfoJson() const {
    std::lock_guard lock(mu_);
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "DeviceName", opts_.identity.deviceName.c_str());
    cJSON_AddStringToObject(root.get(), "ProductModel", opts_.identity.productModel.c_str());
    cJSON_AddStringToObject(root.get(), "Serial", opts_.identity.serial.c_str());
    cJSON_AddNumberToObject(root.get(), "BiosVersion", opts_.identity.biosVersion);
    cJSON_AddStringToObject(root.get(), "BuildDate", opts_.identity.buildDate.c_str());
    return PrintCompact(root.get());
}

std::string CameraModel::UpgradeReplyLocked(int updateStatus, int progress) const {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "UpdateStatus", updateStatus);
    cJSON_AddNumberToObject(root.get(), "Progress", progress);
    return PrintCompact(root.get());
}

void CameraModel::AdvanceFlashLocked() {
    if (upgrade_.state != UpgradeState::Flashing || opts_.neverFlash) return;
    const bool finished = opts_.flashSteps > 0 ? flashQueries_ >= opts_.flashSteps
                                               : Now() - flashStart_ >= std::chrono::milliseconds(opts_.flashMs);
    if (finished) {
        upgrade_.state = UpgradeState::Done;
        const uint16_t base = upgrade_.pendingVersion ? upgrade_.pendingVersion : opts_.identity.biosVersion;
        upgrade_.pendingVersion = static_cast<uint16_t>(base + 1);
        ++upgrade_.packagesDone;
    }
}

void CameraModel::BeginFlashLocked() {
    upgrade_.state = UpgradeState::Flashing;
    flashStart_ = Now();
    flashQueries_ = 0;
}

std::string CameraModel::UpgradeAnnounce(std::string_view requestText, int32_t* status) {
    JsonPtr req = ParseJsonObject(requestText);
    int64_t type = 0, size = 0;
    int32_t result = 0;
    std::lock_guard lock(mu_);
    AdvanceFlashLocked();
    if (!req || !GetInt(req.get(), "FileType", &type) || !GetInt(req.get(), "FileSize", &size) || size < 0 ||
        static_cast<uint64_t>(size) > kMaxPackageSize) {
        result = kErrBadParam;
    } else if (upgrade_.state == UpgradeState::Flashing) {
        result = kErrBusy;
    } else if (size == 0 && !opts_.acceptEmpty) {
        result = kErrEmptyImage;
    }
    if (result != 0) {
        TellWritingLocked();
        if (status) *status = result;
        return UpgradeReplyLocked(0, result);
    }
    upgrade_.state = UpgradeState::Receiving;
    upgrade_.fileType = static_cast<int32_t>(type);
    upgrade_.fileSize = static_cast<uint64_t>(size);
    upgrade_.received = 0;
    upgrade_.crc32 = 0;
    if (size == 0) BeginFlashLocked();  // nothing to receive
    TellWritingLocked();
    if (status) *status = 0;
    return UpgradeReplyLocked(1, 0);
}

std::string CameraModel::UpgradeData(const uint8_t* data, size_t size, int32_t* status) {
    std::lock_guard lock(mu_);
    AdvanceFlashLocked();
    TellWritingLocked();
    int32_t result = 0;
    if (upgrade_.state == UpgradeState::Flashing) result = kErrBusy;
    else if (upgrade_.state != UpgradeState::Receiving) result = kErrNotAnnounced;
    else if (size > upgrade_.fileSize - upgrade_.received) result = kErrTooMuchData;
    if (result != 0) {
        if (status) *status = result;
        return UpgradeReplyLocked(0, result);
    }
    if (size > 0) {
        upgrade_.crc32 = Crc32Update(upgrade_.crc32, data, size);
        upgrade_.received += size;
    }
    const int pct = static_cast<int>(upgrade_.received * 100 / upgrade_.fileSize);
    if (upgrade_.received == upgrade_.fileSize) BeginFlashLocked();
    if (status) *status = 0;
    return UpgradeReplyLocked(1, pct);
}

std::string CameraModel::UpgradeProgress(int32_t* status) {
    std::lock_guard lock(mu_);
    if (upgrade_.state == UpgradeState::Flashing) ++flashQueries_;
    AdvanceFlashLocked();
    TellWritingLocked();
    if (status) *status = 0;
    switch (upgrade_.state) {
    case UpgradeState::Receiving:
        return UpgradeReplyLocked(1, static_cast<int>(upgrade_.received * 100 / upgrade_.fileSize));
    case UpgradeState::Flashing: {
        int64_t pct = 99;
        if (opts_.flashSteps > 0) {
            pct = int64_t{flashQueries_} * 100 / opts_.flashSteps;
        } else if (opts_.flashMs > 0) {
            pct = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - flashStart_).count() * 100 /
                  opts_.flashMs;
        }
        return UpgradeReplyLocked(1, static_cast<int>(std::clamp<int64_t>(pct, 0, 99)));
    }
    case UpgradeState::Done:
        // Finished: status 2 with progress 0, which the upgrade window shows as success.
        return UpgradeReplyLocked(2, 0);
    case UpgradeState::Idle:
        break;
    }
    return UpgradeReplyLocked(0, 0);
}

void CameraModel::Reboot() {
    std::lock_guard lock(mu_);
    AdvanceFlashLocked();
    SettleAxis(zoom_, kZoomMax);
    SettleAxis(focus_, kFocusMax);
    if (upgrade_.pendingVersion && !opts_.rollback) opts_.identity.biosVersion = upgrade_.pendingVersion;
    upgrade_ = UpgradeSnapshot{};
    ++reboots_;
    TellWritingLocked();
}

std::optional<int32_t> CameraModel::Get(std::string_view member) const {
    const ParamInfo* p = FindParam(member);
    if (!p) return std::nullopt;
    std::lock_guard lock(mu_);
    return values_[static_cast<size_t>(p - kParams.data())];
}

bool CameraModel::Set(std::string_view member, int64_t value) {
    const ParamInfo* p = FindParam(member);
    if (!p) return false;
    std::vector<Change> changes;
    {
        std::lock_guard lock(mu_);
        StoreLocked(static_cast<size_t>(p - kParams.data()), value, &changes);
    }
    NotifyChanges(changes);
    return true;
}

void CameraModel::RestoreDefaults() {
    std::vector<Change> changes;
    {
        std::lock_guard lock(mu_);
        for (size_t i = 0; i < kParams.size(); ++i) StoreLocked(i, kParams[i].factory, &changes);
    }
    NotifyChanges(changes);
}

void CameraModel::SetChangeHook(ChangeHook hook) {
    std::lock_guard lock(mu_);
    hook_ = std::move(hook);
}

CameraIdentity CameraModel::Identity() const {
    std::lock_guard lock(mu_);
    return opts_.identity;
}

void CameraModel::SetIdentity(const CameraIdentity& identity) {
    std::lock_guard lock(mu_);
    opts_.identity = identity;
}

void CameraModel::SetAbility(std::vector<AbilityEntry> ability) {
    std::lock_guard lock(mu_);
    opts_.ability = std::move(ability);
}

void CameraModel::SetFlashMs(int ms) {
    std::lock_guard lock(mu_);
    opts_.flashMs = std::max(ms, 0);
}

void CameraModel::SetFlashSteps(int steps) {
    std::lock_guard lock(mu_);
    opts_.flashSteps = std::max(steps, 0);
}

void CameraModel::SetNeverFlash(bool never) {
    std::lock_guard lock(mu_);
    opts_.neverFlash = never;
}

void CameraModel::SetRollback(bool rollback) {
    std::lock_guard lock(mu_);
    opts_.rollback = rollback;
}

void CameraModel::SetWritingHook(std::function<void(bool writing)> hook) {
    std::lock_guard lock(mu_);
    writingHook_ = std::move(hook);
}

void CameraModel::TellWritingLocked() {
    const bool now = upgrade_.state == UpgradeState::Receiving || upgrade_.state == UpgradeState::Flashing;
    if (now == writing_) return;
    writing_ = now;
    if (writingHook_) writingHook_(now);
}

void CameraModel::SetAcceptEmpty(bool accept) {
    std::lock_guard lock(mu_);
    opts_.acceptEmpty = accept;
}

UpgradeSnapshot CameraModel::Upgrade() const {
    std::lock_guard lock(mu_);
    return upgrade_;
}

int CameraModel::ZoomPosition() const {
    std::lock_guard lock(mu_);
    return AxisPosition(zoom_, kZoomMax);
}

int CameraModel::FocusPosition() const {
    std::lock_guard lock(mu_);
    return AxisPosition(focus_, kFocusMax);
}

std::optional<PresetPosition> CameraModel::Preset(int id) const {
    std::lock_guard lock(mu_);
    auto it = presets_.find(id);
    if (it == presets_.end()) return std::nullopt;
    return it->second;
}

int CameraModel::RebootCount() const {
    std::lock_guard lock(mu_);
    return reboots_;
}

}  // namespace velmora::sim
