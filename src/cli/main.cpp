// velmora-cli: the program's camera operations for scripts and production lines.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "app/app_paths.h"
#include "camera/camera_directory.h"
#include "camera/net_session.h"
#include "camera/net_snapshot.h"
#include "camera/usb_camera.h"
#include "cli/cli_options.h"
#include "cli/camera_sets.h"
#include "cli/commands.h"
#include "cli/json_commands.h"
#include "cli/json_output.h"
#include "cli/keep_command.h"
#include "cli/profile_commands.h"
#include "cli/upgrade_command.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/json_text.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/text.h"
#include "platform/user_messages.h"
#include "platform/version.h"
#include "platform/zeb_log.h"
#include "transport/net/bsc_search.h"
#include "transport/net/lan_searcher.h"
#include "transport/net/orvex_sdk.h"
#include "transport/usb/hid_framing.h"

namespace velmora::cli {
namespace {

constexpr int kSnapshotTimeoutMs = 10000;
constexpr auto kBusyRetryTime = std::chrono::seconds(10);
// Cameras answer a probe within a second; two probe rounds catch a slow one.
constexpr int kSearchWaitMs = 1500;

// The tool reports each failure as one "error <code>: ..." line with the most specific code, so
// the message texts the windows show would only repeat it; they go to the log instead.
class LogMessages final : public platform::UserMessages {
public:
    void Information(std::string_view text) override {
        platform::AppLog().Log(3, nullptr, "%.*s", static_cast<int>(text.size()), text.data());
    }
    bool AskOkCancel(std::string_view) override { return false; }
    bool AskYesNo(std::string_view) override { return false; }
};

int Failed(int code, const std::string& what) { return ReportFailure(std::cerr, code, what); }

int UsageError(const std::string& what) {
    std::cerr << "velmora-cli: " << what << "\n";
    return kExitUsage;
}

// The cameras of one command, found through the vendor ids of the command line.
std::unique_ptr<camera::CameraDirectory> Cameras(const CliOptions& o) {
    auto cameras = std::make_unique<camera::CameraDirectory>();
    cameras->SetVendorFilter(o.vids);
    return cameras;
}

// One line per USB camera: index, name (UTF-8), model, serial, BIOS version, build date. The
// index is the one --device takes; a camera that cannot be opened or that does not tell its
// identity keeps its place, its row carries the error (and stderr says so), and the status is 1.
int ListUsb(const CliOptions& o) {
    auto cameras = Cameras(o);
    cameras->RefreshUsb();
    const std::vector<camera::UsbListing> listing = cameras->UsbCameras();
    const std::vector<transport::UsbNodeState> nodes = cameras->Usb().GetNodes();
    int status = kExitOk;
    JsonArray list;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const transport::UsbNodeState& n = nodes[i];
        const int code = n.openResult != 0 ? n.openResult : n.infoResult;
        if (code != 0) {
            const std::string what = n.openResult != 0 ? "cannot be opened" : "does not tell its identity";
            if (o.json) {
                list.AddRaw(JsonObject().Add("index", static_cast<int>(i) + 1).Add("error", code).Add("path", n.path).Text());
            } else {
                std::cout << (i + 1) << "\terror " << code << ": " << what << " (" << TerminalText(n.path) << ")\n";
            }
            ReportFailure(std::cerr, code, "USB camera " + std::to_string(i + 1) + " " + what + " (" + TerminalText(n.path) + ")");
            status = kExitFailed;
            continue;
        }
        for (const camera::UsbListing& listed : listing) {
            if (listed.entry.handle != n.handle) continue;
            const transport::UsbDeviceEntry& e = listed.entry;
            if (o.json) {
                list.AddRaw(JsonObject()
                                .Add("index", listed.index)
                                .Add("name", platform::FieldText(e.displayName, sizeof e.displayName))
                                .Add("model", platform::FieldText(e.productModel, sizeof e.productModel))
                                .Add("serial", platform::FieldText(e.serial, sizeof e.serial))
                                .Add("bios", platform::FieldText(e.biosVersion, sizeof e.biosVersion))
                                .Add("build_date", platform::FieldText(e.buildDate, sizeof e.buildDate))
                                .Text());
                continue;
            }
            std::cout << listed.index << '\t' << TerminalText(e.displayName) << '\t' << TerminalText(e.productModel)
                      << '\t' << TerminalText(e.serial) << '\t' << TerminalText(e.biosVersion) << '\t'
                      << TerminalText(e.buildDate) << '\n';
        }
    }
    if (o.json) std::cout << JsonObject().AddRaw("cameras", list.Text()).Text() << '\n';
    return status;
}

// Where the probes of the LAN search went, for the line that says nothing answered.
std::string TriedTargets(const std::string& configured, const std::string& configPath) {
    const char* environment = std::getenv("VELMORA_SEARCH_TARGETS");
    const std::vector<transport::SearchTarget> targets = transport::ResolveSearchTargets(environment, configured);
    if (targets.empty()) return "no probe was sent: VELMORA_SEARCH_TARGETS holds no valid address";
    std::string list;
    for (const transport::SearchTarget& t : targets) {
        in_addr address{htonl(t.address)};
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        list += (list.empty() ? "" : ", ") + std::string(text) + ":" + std::to_string(t.port);
    }
    std::vector<transport::SearchTarget> fromFile;
    transport::ParseSearchTargets(configured, fromFile);
    const std::string source = environment != nullptr ? "VELMORA_SEARCH_TARGETS"
                               : !fromFile.empty()    ? "[SEARCH] Targets of " + configPath
                                                      : "the default: no [SEARCH] Targets in " + configPath;
    return "probes went to " + list + " (" + source + ")";
}

int SearchLan(const app::HomeDir& home, bool json) {
    // Probe targets of the configuration file; VELMORA_SEARCH_TARGETS still wins over them.
    const std::string configPath = platform::ConfigPath(home.path);
    const std::string targets =
        home.path.empty() ? std::string() : platform::ProfileFile(configPath).GetString("SEARCH", "Targets", "");
    if (!targets.empty()) transport::BSC_SetSearchTargets(targets.c_str());
    int r = transport::BSC_Init();
    if (r < 0) return Failed(r, "the LAN search could not start");
    transport::BSC_WaitForAnswers(kSearchWaitMs);  // done early once every unicast target answered
    transport::BSC_DeviceInfo records[transport::kSearchMaxDevices];
    int count = transport::kSearchMaxDevices;
    const int found = transport::BSC_GetDevInfo(records, &count);
    if (found <= 0) count = 0;
    JsonArray addresses;
    for (int i = 0; i < count; ++i) {
        const std::string ip = platform::FieldText(records[i].ip, sizeof records[i].ip);
        if (json) addresses.AddRaw(platform::JsonString(ip));
        else std::cout << TerminalText(ip) << '\n';
    }
    if (json) std::cout << JsonObject().AddRaw("addresses", addresses.Text()).Text() << '\n';
    transport::BSC_DeInit();
    // Finding nothing is an answer, not a failure (exit 0), but it is said where a person sees it.
    if (found <= 0) std::cerr << "velmora-cli: no network camera answered; " << TriedTargets(targets, configPath) << "\n";
    return kExitOk;
}

// Two cameras answer with the same serial number: taking the first would work on a camera the
// user may not have meant, so the tool names them all and lets --device choose.
int AmbiguousSerial(const std::string& serial, const std::vector<int>& indices, std::ostream& err) {
    std::string which;
    for (size_t i = 0; i < indices.size(); ++i)
        which += (i == 0 ? "" : i + 1 == indices.size() ? " and " : ", ") + std::to_string(indices[i] + 1);
    err << "velmora-cli: serial " << TerminalText(serial) << " belongs to USB cameras " << which
        << "; choose one with --device N\n";
    return kExitUsage;
}

// Opens only the camera the command names: by serial number, or the N-th in list order. Sets
// `refused` when the camera turned the connection away as busy, before any exchange took place.
int RunOnUsbCameraOnce(const CliOptions& o, std::ostream& out, std::ostream& err, bool& refused) {
    auto cameras = Cameras(o);
    std::shared_ptr<camera::UsbCamera> camera;
    int matching = 0;
    std::vector<int> twins;
    int r = o.serialGiven ? cameras->OpenUsbBySerial(o.serial, camera, &matching, &twins)
                          : cameras->OpenUsbAt(o.device, camera, &matching);
    refused = r == transport::kUsbDeviceBusy;
    if (r == 0 && twins.size() > 1) return AmbiguousSerial(o.serial, twins, err);
    if (r != 0) {
        if (matching == 0) return ReportFailure(err, r, "no USB camera found");
        if (o.serialGiven)
            return ReportFailure(err, r, "no USB camera has serial " + TerminalText(o.serial) + " (found " +
                                             std::to_string(matching) + ")");
        if (o.device > matching)
            return ReportFailure(err, r, "there is no USB camera " + std::to_string(o.device) + " (found " +
                                             std::to_string(matching) + ")");
        return ReportFailure(err, r, "USB camera " + std::to_string(o.device) + " could not be opened");
    }
    const int status = RunCameraCommand(o, *camera, out, err);
    // A refused connection answers every exchange with -42, so nothing reached the camera.
    refused = camera->LastExchangeResult() == transport::kUsbDeviceBusy;
    return status;
}

// A simulated camera whose connections are all taken turns a new one away before any exchange,
// so the whole command may run again on a fresh connection: the tool waits its turn for a while,
// as it waits for the exchange lock of a camera another process is talking to.
int RunOnUsbCamera(const CliOptions& o) {
    const auto giveUp = std::chrono::steady_clock::now() + kBusyRetryTime;
    std::minstd_rand jitter(static_cast<unsigned>(::getpid()));
    for (;;) {
        std::ostringstream out, err;
        bool refused = false;
        const auto once = [&](std::ostream& a, std::ostream& b) { return RunOnUsbCameraOnce(o, a, b, refused); };
        const int status = o.json ? WithJsonErrors(out, err, once) : once(out, err);
        if (!refused || std::chrono::steady_clock::now() >= giveUp) {
            std::cout << out.str();
            std::cerr << err.str();
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + jitter() % 200));
    }
}

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

// The cameras of a set for upgrade and reboot (--all, repeated --device / --serial,
// --serial-file), found once with their identities; those named but not found go to `missing`.
int MaintenanceSet(const CliOptions& o, camera::CameraDirectory& cameras, std::vector<UpgradeTarget>& targets,
                   std::vector<MissingTarget>& missing) {
    // Numbered as `list` numbers them: a node that could not be opened keeps its number.
    cameras.RefreshUsb();
    const std::vector<camera::UsbListing> listing = cameras.UsbCameras();
    const std::string found = " (found " + std::to_string(listing.size()) + ")";
    const auto add = [&](const camera::UsbListing& listed) {
        for (const UpgradeTarget& t : targets)
            if (t.entry.handle == listed.entry.handle) return;  // named twice: worked on once
        targets.push_back({listed.index, listed.entry});
    };
    if (o.all) {
        for (const camera::UsbListing& listed : listing) add(listed);
        if (targets.empty()) return Failed(transport::kUsbInvalidHandle, "no USB camera found");
        return kExitOk;
    }
    for (const std::string& serial : o.serials) {
        const auto it = std::find_if(listing.begin(), listing.end(), [&](const camera::UsbListing& l) {
            return platform::FieldText(l.entry.serial, sizeof l.entry.serial) == serial;
        });
        if (it != listing.end()) add(*it);
        else
            missing.push_back(
                {serial, transport::kUsbInvalidHandle, "no USB camera has serial " + TerminalText(serial) + found});
    }
    for (int n : o.devices) {
        const auto it =
            std::find_if(listing.begin(), listing.end(), [&](const camera::UsbListing& l) { return l.index == n; });
        if (it != listing.end()) add(*it);
        else
            missing.push_back(
                {"", transport::kUsbInvalidHandle, "there is no USB camera " + std::to_string(n) + found});
    }
    return kExitOk;
}

// upgrade and reboot: the camera of --device / --serial, or a set of cameras. Ctrl-C stops the
// session, which then ends its commands in flight before the tool exits.
int RunMaintenance(const CliOptions& o, const UpgradeArgs& upgrade) {
    auto cameras = Cameras(o);
    std::vector<UpgradeTarget> targets;
    std::vector<MissingTarget> missing;
    const bool set = o.all || o.devices.size() > 1 || o.serials.size() > 1 || !o.serialFile.empty();
    if (set) {
        if (const int r = MaintenanceSet(o, *cameras, targets, missing); r != kExitOk) return r;
    } else {
        std::shared_ptr<camera::UsbCamera> camera;
        int matching = 0;
        std::vector<int> twins;
        const int r = o.serialGiven ? cameras->OpenUsbBySerial(o.serial, camera, &matching, &twins)
                                    : cameras->OpenUsbAt(o.device, camera, &matching);
        if (r == 0 && twins.size() > 1) return AmbiguousSerial(o.serial, twins, std::cerr);
        if (r != 0) {
            if (matching == 0) return Failed(r, "no USB camera found");
            return Failed(r, o.serialGiven ? "no USB camera has serial " + TerminalText(o.serial)
                                           : "USB camera " + std::to_string(o.device) + " could not be opened (found " +
                                                 std::to_string(matching) + ")");
        }
        // Numbered as `list` numbers it: a camera found by its serial is not always the first.
        const int number = !o.serialGiven ? o.device : twins.empty() ? 1 : twins.front() + 1;
        for (const camera::UsbListing& listed : cameras->UsbCameras())
            if (listed.entry.handle == camera->handle()) targets.push_back({number, listed.entry});
        // The version before the upgrade and the serial to wait for after a reboot.
        if (o.command == "upgrade" && !targets.empty() && targets[0].entry.serial[0] == '\0') {
            transport::UsbDeviceEntry entry = targets[0].entry;
            if (cameras->Usb().IdentifyDevice(entry.handle, entry) == 0) targets[0].entry = entry;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    UpgradeRunOptions run;
    run.live = o.command == "upgrade" && ::isatty(STDOUT_FILENO);
    run.json = o.json;
    run.language =
        platform::ChooseUiLanguage(o.lang, std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    run.interrupt = &g_interrupted;
    run.upgrade = upgrade;
    if (!upgrade.jobsGiven && o.jobs > 0) run.upgrade.session.jobs = o.jobs;
    run.cameras = cameras.get();
    run.missing = std::move(missing);
    if (o.command == "upgrade") {
        if (upgrade.session.verify) {
            // A rebooted camera is found again through the directory, by its serial.
            if (const int r = cameras->StartWatching(nullptr); r != 0)
                return Failed(r, "the USB cameras cannot be followed, which --reboot needs");
        }
        return RunUpgradeCommand(cameras->Usb(), targets, run, std::cout, std::cerr);
    }
    int status = RunRebootCommand(cameras->Usb(), targets, run, std::cout, std::cerr);
    for (const MissingTarget& m : run.missing) status = Failed(m.code, m.what);
    return status;
}

// The network library for the length of one command; the cameras log out before it ends.
struct NetworkLibrary {
    NetworkLibrary() { transport::ORVEX_Init(0); }
    ~NetworkLibrary() {
        cameras.CloseAllNetwork();
        transport::ORVEX_Cleanup();
    }
    camera::CameraDirectory cameras;
};

int RunOnNetworkCameraTo(const CliOptions& o, std::ostream& out, std::ostream& err) {
    NetworkLibrary net;
    std::string what;
    std::shared_ptr<camera::NetCamera> camera;
    int r = net.cameras.OpenNetwork(o.ip, wire::kOrvexDefaultPort, o.user, o.password, camera, what);
    if (r != 0) return ReportFailure(err, r, what);
    if (o.command == "snapshot") {
        r = camera::TakeNetSnapshot(camera->session(), o.args[0], kSnapshotTimeoutMs, what);
        if (r != 0) return ReportFailure(err, r, what);
        if (o.json) out << JsonObject().Add("file", o.args[0]).Text() << "\n";
        else out << "saved " << o.args[0] << "\n";
        return kExitOk;
    }
    return RunCameraCommand(o, *camera, out, err);
}

// With --json a failed login or snapshot gives the error object too.
int RunOnNetworkCamera(const CliOptions& o) {
    const auto run = [&](std::ostream& out, std::ostream& err) { return RunOnNetworkCameraTo(o, out, err); };
    return o.json ? WithJsonErrors(std::cout, std::cerr, run) : run(std::cout, std::cerr);
}

}  // namespace
}  // namespace velmora::cli

int main(int argc, char** argv) {
    using namespace velmora::cli;
    // A file-size limit then fails a write with a message instead of killing the tool.
    velmora::platform::IgnoreFileSizeSignal();
    CliOptions opts;
    std::string error;
    if (!ParseCliOptions(argc, argv, opts, error)) {
        std::cerr << "velmora-cli: " << error << "\n" << UsageText();
        return kExitUsage;
    }
    // The same home-folder rule as velmora's (--home, a portable copy, or the user's
    // configuration folder); the tool only reads there, so nothing is created.
    velmora::app::HomeEnvironment env = velmora::app::ProcessHomeEnvironment();
    env.makeDirs = nullptr;
    const velmora::app::HomeDir home = ResolveHomeDir(opts.home, velmora::platform::ExecutableDir(), env);
    if (opts.command == "help") {
        std::cout << UsageText() << "\n" << velmora::app::PlacesText(home, false);
        return kExitOk;
    }
    if (opts.command == "version") {
        std::cout << (opts.json ? velmora::platform::VersionJson("velmora-cli")
                                : velmora::platform::VersionLine("velmora-cli"));
        return kExitOk;
    }
    if (!TakesArguments(opts.command) && !opts.args.empty())
        return UsageError("'" + opts.command + "' takes no arguments (options such as --device stand before the command)");
    LogMessages messages;
    velmora::platform::SetUserMessages(&messages);
    if (!opts.serialFile.empty()) {
        // The serials of the file are a set of cameras; a report gives its failed ones.
        bool fromReport = false;
        if (LoadSerialFile(opts.serialFile, opts.serials, fromReport, error) != kExitOk) return UsageError(error);
        if (opts.serials.empty()) {
            if (!fromReport) return UsageError("the serial file " + opts.serialFile + " names no camera");
            std::cerr << "velmora-cli: the report " << opts.serialFile << " names no failed camera; nothing to do\n";
            return kExitOk;
        }
        opts.serial = opts.serials.front();
        opts.serialGiven = true;
    }
    if (opts.command == "list") return ListUsb(opts);
    if (opts.command == "search") return SearchLan(home, opts.json);
    if (opts.command == "keep") return RunKeepCommand(opts, std::cout, std::cerr);
    const bool maintenance = opts.command == "upgrade" || opts.command == "reboot";
    if (opts.all && !maintenance && !IsCameraCommand(opts.command))
        return UsageError("--all is for the camera commands, upgrade and reboot");
    if (maintenance && opts.ipGiven) return UsageError(opts.command + " is for USB cameras");
    UpgradeArgs upgrade;
    if (opts.command == "upgrade" && !ParseUpgradeArgs(opts.args, upgrade, error)) return UsageError(error);
    if (maintenance) return RunMaintenance(opts, upgrade);
    if (opts.command == "snapshot" && (!opts.ipGiven || opts.args.size() != 1))
        return UsageError("snapshot needs --ip ADDR and one FILE.png");
    if (IsFileDiff(opts)) {
        const auto diff = [&](std::ostream& out, std::ostream& err) { return RunFileDiff(opts, out, err); };
        return opts.json ? WithJsonErrors(std::cout, std::cerr, diff) : diff(std::cout, std::cerr);
    }
    if (opts.command != "snapshot" && !IsCameraCommand(opts.command)) {
        std::cerr << "velmora-cli: unknown command '" << TerminalText(opts.command) << "'\n" << UsageText();
        return kExitUsage;
    }
    if (WantsCameraSet(opts)) {
        if (opts.ipGiven && !ResolveCredentials(opts, std::getenv("VELMORA_PASSWORD"), error)) return UsageError(error);
        return RunCameraSetCommand(opts, std::cout, std::cerr);
    }
    if (!opts.ipGiven) return RunOnUsbCamera(opts);
    if (!ResolveCredentials(opts, std::getenv("VELMORA_PASSWORD"), error)) return UsageError(error);
    return RunOnNetworkCamera(opts);
}
