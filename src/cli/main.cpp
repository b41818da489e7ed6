// velmora-cli: the program's camera operations for scripts and production lines.
#include <iostream>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/net_target.h"
#include "cli/usb_target.h"
#include "platform/codepage.h"

using namespace velmora::cli;

namespace {

// One line per USB camera: index, name (UTF-8), model, serial, BIOS version, build date.
int ListUsb(const CliOptions& o) {
    auto dev = OpenUsbCameras(o.vids);
    std::vector<UsbDeviceEntry> entries = dev->GetDevices();
    for (size_t i = 0; i < entries.size(); ++i) {
        const UsbDeviceEntry& e = entries[i];
        std::cout << (i + 1) << '\t' << velmora::Cp936ToUtf8(e.name) << '\t' << e.productModel << '\t' << e.serial
                  << '\t' << e.biosVersion << '\t' << e.buildDate << '\n';
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions opts;
    std::string error;
    if (!ParseCliOptions(argc, argv, opts, error)) {
        std::cerr << "velmora-cli: " << error << "\n" << UsageText();
        return kExitUsage;
    }
    if (opts.command == "help") {
        std::cout << UsageText();
        return kExitOk;
    }
    if (!TakesArguments(opts.command) && !opts.args.empty()) {
        std::cerr << "velmora-cli: '" << opts.command
                  << "' takes no arguments (options such as --device stand before the command)\n";
        return kExitUsage;
    }
    if (opts.command == "list") return ListUsb(opts);
    if (opts.command == "search") {
        // Cameras answer a probe within a second; two probe rounds catch a slow one.
        for (const std::string& ip : SearchCameras(1500)) std::cout << ip << '\n';
        return kExitOk;
    }
    if (opts.command == "snapshot") {
        if (opts.ip.empty() || opts.args.size() != 1) {
            std::cerr << "velmora-cli: snapshot needs --ip ADDR and one FILE.png\n";
            return kExitUsage;
        }
        NetTarget target(opts.ip, opts.user, opts.password);
        std::string what;
        int r = target.Snapshot(opts.args[0], 10000, what);
        if (r != 0) {
            std::cerr << "error " << r << ": " << what << "\n";
            return kExitFailed;
        }
        std::cout << "saved " << opts.args[0] << "\n";
        return kExitOk;
    }
    if (!IsCameraCommand(opts.command)) {
        std::cerr << "velmora-cli: unknown command '" << opts.command << "'\n" << UsageText();
        return kExitUsage;
    }
    std::unique_ptr<CameraTarget> target;
    if (!opts.ip.empty())
        target = std::make_unique<NetTarget>(opts.ip, opts.user, opts.password);
    else
        target = std::make_unique<UsbTarget>(OpenUsbCameras(opts.vids), opts.device);
    std::string what;
    int r = target->Open(what);
    if (r != 0) {
        std::cerr << "error " << r << ": " << what << "\n";
        return kExitFailed;
    }
    return RunCameraCommand(opts, *target, std::cout, std::cerr);
}
