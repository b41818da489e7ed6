#include "cli/camera_sets.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

#include "camera/camera_directory.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/profile_commands.h"
#include "fleet/parallel_each.h"
#include "platform/atomic_file.h"
#include "platform/text.h"
#include "transport/net/orvex_sdk.h"
#include "transport/usb/hid_framing.h"

namespace velmora::cli {
namespace {

bool HasPlaceholder(const std::string& s) {
    return s.find("{serial}") != std::string::npos || s.find("{index}") != std::string::npos ||
           s.find("{ip}") != std::string::npos;
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

std::string CameraLabel(const SetMember& m) {
    std::string label = "camera " + std::to_string(m.index);
    if (!m.ip.empty()) label += " (" + m.ip + ")";
    else if (!m.serial.empty()) label += " (serial " + TerminalText(m.serial) + ")";
    return label;
}

struct Outcome {
    int status = kExitOk;
    std::string out;
    std::string err;
};

// Status of the whole set: usage beats failure beats difference beats success.
int Rank(int status) {
    switch (status) {
    case kExitOk: return 0;
    case kExitDifferent: return 1;
    case kExitFailed: return 2;
    default: return 3;
    }
}

}  // namespace

int ParseSerialList(std::string_view text, std::vector<std::string>& serials, bool& fromReport, std::string& error) {
    constexpr size_t kMaxSerialBytes = 31;  // UsbDeviceEntry::serial without its zero
    serials.clear();
    const auto check = [&](const std::string& serial, const std::string& where) {
        if (serial.size() > kMaxSerialBytes) {
            error = where + ": the serial has " + std::to_string(serial.size()) + " bytes; a camera's has at most " +
                    std::to_string(kMaxSerialBytes);
            return false;
        }
        for (unsigned char c : serial) {
            if (c < 0x20 || c == 0x7f) {
                error = where + ": the serial holds a control character";
                return false;
            }
        }
        return true;
    };
    const size_t first = text.find_first_not_of(" \t\r\n");
    fromReport = first != std::string_view::npos && text[first] == '{';
    if (fromReport) {
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_ParseWithLength(text.data(), text.size()),
                                                           &cJSON_Delete);
        const cJSON* cameras = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "cameras") : nullptr;
        if (!cJSON_IsArray(cameras)) {
            error = "neither a list of serials nor an upgrade report (a JSON object with \"cameras\")";
            return kExitUsage;
        }
        int n = 0;
        const cJSON* camera = nullptr;
        cJSON_ArrayForEach(camera, cameras) {
            ++n;
            const cJSON* result = cJSON_GetObjectItemCaseSensitive(camera, "result");
            if (!cJSON_IsString(result) || std::string_view(result->valuestring) != "failed") continue;
            const cJSON* serial = cJSON_GetObjectItemCaseSensitive(camera, "serial");
            const std::string where = "camera " + std::to_string(n) + " of the report";
            if (!cJSON_IsString(serial) || serial->valuestring[0] == '\0') {
                error = where + " failed but names no serial";
                return kExitUsage;
            }
            if (!check(serial->valuestring, where)) return kExitUsage;
            serials.emplace_back(serial->valuestring);
        }
        return kExitOk;
    }
    size_t lineNumber = 0;
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (!check(std::string(line), "line " + std::to_string(lineNumber))) return kExitUsage;
        serials.emplace_back(line);
    }
    return kExitOk;
}

int LoadSerialFile(const std::string& path, std::vector<std::string>& serials, bool& fromReport, std::string& error) {
    constexpr size_t kMaxBytes = 4 * 1024 * 1024;
    std::string text, why;
    if (platform::ReadRegularFile(path, kMaxBytes, text, &why) != 0) {
        error = "cannot read the serial file " + path + ": " + why;
        return kExitUsage;
    }
    if (ParseSerialList(text, serials, fromReport, why) != kExitOk) {
        error = "the serial file " + path + ": " + why;
        return kExitUsage;
    }
    return kExitOk;
}

bool WantsCameraSet(const CliOptions& o) {
    if (o.all || o.devices.size() > 1 || o.serials.size() > 1 || o.ips.size() > 1 || !o.serialFile.empty()) return true;
    for (const std::string& a : o.args)
        if (HasPlaceholder(a)) return true;
    return false;
}

std::string NameForCamera(const std::string& pattern, const SetMember& m) {
    std::string serial = m.serial;
    for (char& c : serial)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
    if (serial.empty() || serial == "." || serial == "..") serial = "unknown";
    std::string out = pattern;
    ReplaceAll(out, "{serial}", serial);
    ReplaceAll(out, "{index}", std::to_string(m.index));
    ReplaceAll(out, "{ip}", m.ip);
    return out;
}

int RunOnCameraSet(const CliOptions& o, std::vector<SetMember>& members, std::ostream& out, std::ostream& err) {
    int whole = kExitOk;
    const auto work = [&](size_t i) -> Outcome {
        SetMember& m = members[i];
        Outcome r;
        std::ostringstream cout, cerr;
        int code = 0;
        std::string what;
        std::shared_ptr<camera::Camera> camera = m.open(code, what);
        if (!camera) {
            ReportFailure(cerr, code, what);
            r.status = kExitFailed;
        } else {
            if (m.serial.empty()) {
                camera::CameraIdentity identity;
                if (camera->ReadIdentity(identity) == 0)
                    for (const auto& [k, v] : identity)
                        if (platform::EqualsIgnoreCase(k, "Serial")) m.serial = v;
            }
            CliOptions mine = o;
            for (std::string& a : mine.args) a = NameForCamera(a, m);
            r.status = RunCameraCommand(mine, *camera, cout, cerr);
        }
        r.out = cout.str();
        r.err = cerr.str();
        return r;
    };
    std::vector<Outcome> outcomes(members.size());
    fleet::ParallelEach(
        members.size(), o.jobs > 0 ? static_cast<size_t>(o.jobs) : fleet::DefaultJobs(members.size()),
        [&](size_t i) {
            outcomes[i] = work(i);
            return outcomes[i].status;
        },
        [&](size_t i, int status) {
            const SetMember& m = members[i];
            const Outcome& r = outcomes[i];
            if (Rank(status) > Rank(whole)) whole = status;
            if (o.json) {
                JsonObject camera;
                camera.Add("index", m.index).Add("serial", m.serial);
                if (!m.ip.empty()) camera.Add("ip", m.ip);
                JsonObject line;
                line.AddRaw("camera", camera.Text()).Add("status", status);
                std::string body = r.out;
                while (!body.empty() && body.back() == '\n') body.pop_back();
                if (body.empty() && status == kExitFailed) {
                    // Opening failed before the command could say anything.
                    const size_t colon = r.err.find(": ");
                    const std::string message = colon == std::string::npos ? r.err : r.err.substr(colon + 2);
                    body = JsonObject()
                               .AddRaw("error", JsonError(std::atoi(r.err.c_str() + 6), message.substr(0, message.find('\n'))))
                               .Text();
                }
                if (body.empty()) line.AddNull("output");
                else line.AddRaw("output", body);
                out << line.Text() << '\n';
            } else {
                std::istringstream lines(r.out);
                for (std::string l; std::getline(lines, l);) out << '[' << m.index << "] " << l << '\n';
            }
            // The error lines name the camera; other lines (usage) pass as they are.
            std::istringstream lines(r.err);
            for (std::string l; std::getline(lines, l);) {
                const size_t colon = l.rfind("error ", 0) == 0 ? l.find(": ") : std::string::npos;
                if (colon != std::string::npos) l.insert(colon + 2, CameraLabel(m) + ": ");
                err << l << '\n';
            }
            out.flush();
            err.flush();
        });
    return whole;
}

}  // namespace velmora::cli

namespace velmora::cli {
namespace {

SetMember Missing(int index, int code, std::string what) {
    SetMember m;
    m.index = index;
    m.open = [code, what](int& c, std::string& w) -> std::shared_ptr<camera::Camera> {
        c = code;
        w = what;
        return nullptr;
    };
    return m;
}

int RunUsbSet(const CliOptions& o, std::ostream& out, std::ostream& err) {
    camera::CameraDirectory cameras;
    cameras.SetVendorFilter(o.vids);
    cameras.RefreshUsb();
    const std::vector<camera::UsbListing> listing = cameras.UsbCameras();
    std::vector<SetMember> members;
    const auto add = [&](const camera::UsbListing& listed) {
        SetMember m;
        m.index = listed.index;
        m.serial = platform::FieldText(listed.entry.serial, sizeof listed.entry.serial);
        m.open = [&cameras, key = listed.key](int& code, std::string& what) -> std::shared_ptr<camera::Camera> {
            std::shared_ptr<camera::Camera> camera = cameras.UsbCameraByKey(key);
            if (!camera) {
                code = transport::kUsbInvalidHandle;
                what = "the camera has gone";
            }
            return camera;
        };
        members.push_back(std::move(m));
    };
    const std::string found = " (found " + std::to_string(listing.size()) + ")";
    if (o.all) {
        if (listing.empty()) return ReportFailure(err, transport::kUsbInvalidHandle, "no USB camera found");
        for (const camera::UsbListing& listed : listing) add(listed);
    } else if (!o.serials.empty()) {
        for (const std::string& serial : o.serials) {
            const auto it = std::find_if(listing.begin(), listing.end(), [&](const camera::UsbListing& l) {
                return platform::FieldText(l.entry.serial, sizeof l.entry.serial) == serial;
            });
            if (it != listing.end()) {
                add(*it);
                continue;
            }
            members.push_back(
                Missing(0, transport::kUsbInvalidHandle, "no USB camera has serial " + TerminalText(serial) + found));
            members.back().serial = serial;
        }
    } else {
        const std::vector<int> devices = o.devices.empty() ? std::vector<int>{o.device} : o.devices;
        for (int n : devices) {
            if (n >= 1 && static_cast<size_t>(n) <= listing.size()) add(listing[static_cast<size_t>(n) - 1]);
            else
                members.push_back(
                    Missing(n, transport::kUsbInvalidHandle, "there is no USB camera " + std::to_string(n) + found));
        }
    }
    return RunOnCameraSet(o, members, out, err);
}

int RunNetworkSet(const CliOptions& o, std::ostream& out, std::ostream& err) {
    transport::ORVEX_Init(0);
    int status = kExitOk;
    {
        camera::CameraDirectory cameras;
        std::vector<SetMember> members;
        for (size_t i = 0; i < o.ips.size(); ++i) {
            SetMember m;
            m.index = static_cast<int>(i) + 1;
            m.ip = o.ips[i];
            m.open = [&o, &cameras, ip = m.ip](int& code, std::string& what) -> std::shared_ptr<camera::Camera> {
                std::shared_ptr<camera::NetCamera> camera;
                code = cameras.OpenNetwork(ip, wire::kOrvexDefaultPort, o.user, o.password, camera, what);
                return code == 0 ? camera : nullptr;
            };
            members.push_back(std::move(m));
        }
        status = RunOnCameraSet(o, members, out, err);
        cameras.CloseAllNetwork();
    }
    transport::ORVEX_Cleanup();
    return status;
}

}  // namespace

int RunCameraSetCommand(const CliOptions& o, std::ostream& out, std::ostream& err) {
    // A command line every camera would refuse is said once, before any camera is opened.
    if (o.command == "set") {
        std::vector<std::pair<const protocol::VideoParamField*, int>> pairs;
        if (const int status = ParseSetPairs(o.args, pairs, err); status != kExitOk) return status;
    }
    const bool oneFile = o.command == "export" || o.command == "import" || o.command == "diff" || o.command == "apply";
    if (oneFile && o.args.size() != 1) {
        err << "velmora-cli: " << o.command << " on a set of cameras needs one FILE\n";
        return kExitUsage;
    }
    // One profile for every camera: a refused one is said once and nothing is sent to any.
    if ((o.command == "diff" || o.command == "apply") && !HasPlaceholder(o.args[0])) {
        protocol::Profile profile;
        if (LoadProfileReporting(o.args[0], profile, err) != 0) return kExitFailed;
    }
    return o.ipGiven ? RunNetworkSet(o, out, err) : RunUsbSet(o, out, err);
}

}  // namespace velmora::cli
