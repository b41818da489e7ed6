#include "sim/sim_options.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "sim/hid_framing.h"
#include "sim/json_ptr.h"
#include "sim/parse_int.h"

namespace velmora::sim {
namespace {

// Reads a scenario file: a regular file of at most kMaxScenarioBytes. Opening does not wait (a FIFO
// without a writer would block for ever) and the size is checked before anything is read, so a
// device such as /dev/zero or a huge file cannot make the simulator hang or grow without bound.
int ReadScenarioFile(const std::string& path, std::string* text, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read scenario " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st{};
    int rc = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "scenario " + path + " is not a regular file";
        rc = -1;
    } else if (static_cast<uint64_t>(st.st_size) > kMaxScenarioBytes) {
        *error = "scenario " + path + " is " + std::to_string(st.st_size) + " bytes; at most " +
                 std::to_string(kMaxScenarioBytes) + " are accepted";
        rc = -1;
    } else {
        // One byte more than the bound tells a file that grew since fstat.
        text->assign(kMaxScenarioBytes + 1, '\0');
        size_t got = 0;
        while (got < text->size()) {
            const ssize_t n = read(fd, text->data() + got, text->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = "cannot read scenario " + path + ": " + std::strerror(errno);
                rc = -1;
            }
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        text->resize(got);
        if (rc == 0 && got > kMaxScenarioBytes) {
            *error = "scenario " + path + " grew beyond " + std::to_string(kMaxScenarioBytes) + " bytes while read";
            rc = -1;
        }
    }
    close(fd);
    return rc;
}

bool JsonInt(const cJSON* item, int64_t min, int64_t max, int64_t* out) {
    if (!cJSON_IsNumber(item)) return false;
    const double v = item->valuedouble;
    if (std::isnan(v) || v != std::floor(v) || v < static_cast<double>(min) || v > static_cast<double>(max)) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

int ParseAbility(const cJSON* array, std::vector<AbilityEntry>* out, std::string* error) {
    if (!cJSON_IsArray(array)) {
        *error = "\"ability\" must be an array";
        return -1;
    }
    std::vector<AbilityEntry> entries;
    for (const cJSON* e = array->child; e; e = e->next) {
        AbilityEntry entry;
        const cJSON* key = cJSON_GetObjectItem(e, "Key");
        int64_t display = 1;
        if (!cJSON_IsString(key)) {
            *error = "ability entry without a Key text";
            return -1;
        }
        entry.key = key->valuestring;
        if (const cJSON* d = cJSON_GetObjectItem(e, "Display"); d && !JsonInt(d, 0, 255, &display)) {
            *error = "ability " + entry.key + ": Display must be 0..255";
            return -1;
        }
        entry.display = static_cast<int>(display);
        if (const cJSON* r = cJSON_GetObjectItem(e, "DisplayRule"); cJSON_IsString(r)) entry.displayRule = r->valuestring;
        const cJSON* zh = cJSON_GetObjectItem(e, "zh");
        if (const cJSON* t = cJSON_GetObjectItem(zh, "Title"); cJSON_IsString(t)) entry.title = t->valuestring;
        const cJSON* options = cJSON_GetObjectItem(zh, "Options");
        if (!options) options = cJSON_GetObjectItem(cJSON_GetObjectItem(zh, "Value"), "Options");
        if (options) {
            if (!cJSON_IsObject(options)) {
                *error = "ability " + entry.key + ": Options must be an object";
                return -1;
            }
            for (const cJSON* o = options->child; o; o = o->next) {
                if (!cJSON_IsString(o)) {
                    *error = "ability " + entry.key + ": option labels must be texts";
                    return -1;
                }
                entry.options.push_back({o->string, o->valuestring});
            }
        }
        entries.push_back(std::move(entry));
    }
    *out = std::move(entries);
    return 0;
}

int ApplyCameraObject(const std::string& name, const cJSON* obj, SimOptions* options, std::string* error) {
    if (!cJSON_IsObject(obj)) {
        *error = "camera " + name + " must be an object";
        return -1;
    }
    CameraSettings& s = options->cameras[name];
    for (const cJSON* m = obj->child; m; m = m->next) {
        const std::string key = m->string ? m->string : "";
        const std::string where = "camera " + name + ": " + key;
        int64_t n = 0;
        auto text = [&](std::optional<std::string>* dst) {
            if (!cJSON_IsString(m)) {
                *error = where + " must be a text";
                return -1;
            }
            *dst = m->valuestring;
            return 0;
        };
        if (key == "report_len") {
            if (!JsonInt(m, kMinReportLength, kMaxReportLength, &n)) {
                *error = where + " must be " + std::to_string(kMinReportLength) + ".." + std::to_string(kMaxReportLength);
                return -1;
            }
            s.reportLength = static_cast<size_t>(n);
        } else if (key == "flash_ms" || key == "reboot_ms") {
            if (!JsonInt(m, 0, 86400000, &n)) {
                *error = where + " must be milliseconds";
                return -1;
            }
            (key == "flash_ms" ? s.flashMs : s.rebootMs) = static_cast<int>(n);
        } else if (key == "flash_steps") {
            if (!JsonInt(m, 0, kMaxFlashSteps, &n)) {
                *error = where + " must be 0.." + std::to_string(kMaxFlashSteps);
                return -1;
            }
            s.flashSteps = static_cast<int>(n);
        } else if (key == "product_id" || key == "bios_version") {
            if (!JsonInt(m, 0, 0xFFFF, &n)) {
                *error = where + " must be 0..65535";
                return -1;
            }
            (key == "product_id" ? s.productId : s.biosVersion) = static_cast<uint16_t>(n);
        } else if (key == "device_name") {
            if (text(&s.deviceName)) return -1;
        } else if (key == "product_model") {
            if (text(&s.productModel)) return -1;
        } else if (key == "serial") {
            if (text(&s.serial)) return -1;
        } else if (key == "build_date") {
            if (text(&s.buildDate)) return -1;
        } else if (key == "params") {
            if (!cJSON_IsObject(m)) {
                *error = where + " must be an object";
                return -1;
            }
            for (const cJSON* p = m->child; p; p = p->next) {
                if (!CameraModel::FindParam(p->string) || !JsonInt(p, INT32_MIN, UINT32_MAX, &n)) {
                    *error = where + ": unknown member or bad value '" + std::string(p->string) + "'";
                    return -1;
                }
                s.params[p->string] = n;
            }
        } else if (key == "ability") {
            std::vector<AbilityEntry> ability;
            if (ParseAbility(m, &ability, error) != 0) {
                *error = "camera " + name + ": " + *error;
                return -1;
            }
            s.ability = std::move(ability);
        } else if (key == "faults") {
            if (!cJSON_IsArray(m)) {
                *error = where + " must be an array of texts";
                return -1;
            }
            for (const cJSON* f = m->child; f; f = f->next) {
                Fault fault;
                if (!cJSON_IsString(f)) {
                    *error = where + " must be an array of texts";
                    return -1;
                }
                if (ParseFault(f->valuestring, &fault, error) != 0) {
                    *error = "camera " + name + ": " + *error;
                    return -1;
                }
                s.faults.push_back(fault);
            }
        } else {
            *error = "camera " + name + ": unknown setting '" + key + "'";
            return -1;
        }
    }
    return 0;
}

// --flash-ms, --reboot-ms and --flash-steps: N for every camera, or NAME=N for one.
int ApplyCameraNumber(std::string_view arg, std::string_view value, SimOptions* options, std::string* error) {
    const bool steps = arg == "--flash-steps";
    const int64_t max = steps ? kMaxFlashSteps : 86400000;
    const size_t eq = value.find('=');
    const std::string_view number = eq == std::string_view::npos ? value : value.substr(eq + 1);
    int64_t n = 0;
    if (!ParseInt(number, 0, max, &n) || eq == 0) {
        *error = std::string(arg) + (steps ? " needs a count 0.." + std::to_string(max) : " needs milliseconds") +
                 " or NAME=VALUE, got '" + std::string(value) + "'";
        return -1;
    }
    const int v = static_cast<int>(n);
    if (eq == std::string_view::npos) {
        (steps ? options->flashSteps : arg == "--flash-ms" ? options->flashMs : options->rebootMs) = v;
    } else {
        CameraSettings& s = options->cameras[std::string(value.substr(0, eq))];
        (steps ? s.flashSteps : arg == "--flash-ms" ? s.flashMs : s.rebootMs) = v;
    }
    return 0;
}

int ApplyReportLength(std::string_view value, SimOptions* options, std::string* error) {
    int64_t n = 0;
    const size_t eq = value.find('=');
    const std::string_view number = eq == std::string_view::npos ? value : value.substr(eq + 1);
    if (!ParseInt(number, kMinReportLength, kMaxReportLength, &n)) {
        *error = "--usb-report-len needs " + std::to_string(kMinReportLength) + ".." +
                 std::to_string(kMaxReportLength) + ", got '" + std::string(value) + "'";
        return -1;
    }
    if (eq == std::string_view::npos) options->usbReportLength = static_cast<size_t>(n);
    else options->cameras[std::string(value.substr(0, eq))].reportLength = static_cast<size_t>(n);
    return 0;
}

}  // namespace

std::string UsbCameraName(int index, int count) {
    int width = 2;
    for (int c = count; c >= 100; c /= 10) ++width;
    std::string digits = std::to_string(index);
    if (digits.size() < static_cast<size_t>(width)) digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return "cam" + digits;
}

int AddFaultOption(std::string_view value, SimOptions* options, std::string* error) {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        *error = "--fault needs NAME:FAULT (e.g. cam02:stall), got '" + std::string(value) + "'";
        return -1;
    }
    Fault fault;
    if (ParseFault(value.substr(colon + 1), &fault, error) != 0) return -1;
    const std::string name(value.substr(0, colon));
    if (name == "*" || name == "all") options->allFaults.push_back(fault);
    else options->cameras[name].faults.push_back(fault);
    return 0;
}

int ApplyScenario(std::string_view text, SimOptions* options, std::string* error) {
    const JsonPtr root = ParseJsonObject(text);
    if (!root) {
        *error = "scenario is not a JSON object";
        return -1;
    }
    for (const cJSON* m = root->child; m; m = m->next) {
        const std::string key = m->string ? m->string : "";
        int64_t n = 0;
        if (key == "usb_dir") {
            if (!cJSON_IsString(m)) {
                *error = "usb_dir must be a text";
                return -1;
            }
            options->usbDir = m->valuestring;
        } else if (key == "usb_count") {
            if (!JsonInt(m, 0, 999, &n)) {
                *error = "usb_count must be 0..999";
                return -1;
            }
            options->usbCount = static_cast<int>(n);
        } else if (key == "usb_report_len") {
            if (!JsonInt(m, kMinReportLength, kMaxReportLength, &n)) {
                *error = "usb_report_len out of range";
                return -1;
            }
            options->usbReportLength = static_cast<size_t>(n);
        } else if (key == "flash_ms" || key == "reboot_ms") {
            if (!JsonInt(m, 0, 86400000, &n)) {
                *error = key + " must be milliseconds";
                return -1;
            }
            (key == "flash_ms" ? options->flashMs : options->rebootMs) = static_cast<int>(n);
        } else if (key == "flash_steps") {
            if (!JsonInt(m, 0, kMaxFlashSteps, &n)) {
                *error = "flash_steps must be 0.." + std::to_string(kMaxFlashSteps);
                return -1;
            }
            options->flashSteps = static_cast<int>(n);
        } else if (key == "faults") {
            if (!cJSON_IsArray(m)) {
                *error = "faults must be an array of \"NAME:FAULT\" texts";
                return -1;
            }
            for (const cJSON* f = m->child; f; f = f->next) {
                if (!cJSON_IsString(f)) {
                    *error = "faults must be an array of \"NAME:FAULT\" texts";
                    return -1;
                }
                if (AddFaultOption(f->valuestring, options, error) != 0) return -1;
            }
        } else if (key == "cameras") {
            if (!cJSON_IsObject(m)) {
                *error = "cameras must be an object keyed by camera name";
                return -1;
            }
            for (const cJSON* c = m->child; c; c = c->next) {
                if (ApplyCameraObject(c->string, c, options, error) != 0) return -1;
            }
        } else {
            *error = "unknown scenario setting '" + key + "'";
            return -1;
        }
    }
    return 0;
}

int ParseCommandLine(int argc, const char* const* argv, SimOptions* options, std::string* error) {
    // The scenario first, so that the command line refines it.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string_view(argv[i]) != "--scenario") continue;
        options->scenarioPath = argv[i + 1];
        std::string text;
        if (ReadScenarioFile(options->scenarioPath, &text, error) != 0) return -1;
        if (ApplyScenario(text, options, error) != 0) {
            *error = options->scenarioPath + ": " + *error;
            return -1;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            continue;
        }
        if (arg == "--version") {
            options->version = true;
            continue;
        }
        if (arg == "--verbose" || arg == "-v") {
            options->verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "unknown option or missing value: " + std::string(arg);
            return -1;
        }
        const std::string_view value = argv[++i];
        int64_t n = 0;
        if (arg == "--scenario") {
            continue;  // loaded above
        } else if (arg == "--usb-dir") {
            options->usbDir = std::string(value);
        } else if (arg == "--writers-file") {
            options->writersFile = std::string(value);
        } else if (arg == "--usb-count") {
            if (!ParseInt(value, 0, 999, &n)) {
                *error = "--usb-count needs 0..999";
                return -1;
            }
            options->usbCount = static_cast<int>(n);
        } else if (arg == "--usb-report-len") {
            if (ApplyReportLength(value, options, error) != 0) return -1;
        } else if (arg == "--flash-ms" || arg == "--reboot-ms" || arg == "--flash-steps") {
            if (ApplyCameraNumber(arg, value, options, error) != 0) return -1;
        } else if (arg == "--fault") {
            if (AddFaultOption(value, options, error) != 0) return -1;
        } else if (arg == "--net" || arg == "--net-size" || arg == "--net-fps" || arg == "--net-user" ||
                   arg == "--net-fault" || arg == "--net-replay") {
            if (ApplyNetOption(arg, value, options, error) != 0) return -1;
        } else {
            *error = "unknown option " + std::string(arg);
            return -1;
        }
    }
    return 0;
}

int ApplyNetOption(std::string_view arg, std::string_view value, SimOptions* options, std::string* error) {
    int64_t n = 0;
    if (arg == "--net") {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            std::string_view addr = value.substr(start, comma == std::string_view::npos ? value.npos : comma - start);
            in_addr parsed{};
            if (inet_pton(AF_INET, std::string(addr).c_str(), &parsed) != 1) {
                *error = "--net needs IPv4 addresses separated by commas, got '" + std::string(addr) + "'";
                return -1;
            }
            // Simulated cameras only ever serve on this machine's loopback network.
            if ((ntohl(parsed.s_addr) >> 24) != 127) {
                *error = "--net serves on loopback addresses (127.x.x.x) only, got '" + std::string(addr) + "'";
                return -1;
            }
            options->netAddresses.emplace_back(addr);
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
    } else if (arg == "--net-size") {
        size_t x = value.find('x');
        int64_t w = 0, h = 0;
        if (x == std::string_view::npos || !ParseInt(value.substr(0, x), 16, 4096, &w) ||
            !ParseInt(value.substr(x + 1), 16, 4096, &h) || w % 2 || h % 2) {
            *error = "--net-size needs WIDTHxHEIGHT with even sizes 16..4096, e.g. 1920x1080";
            return -1;
        }
        options->netWidth = static_cast<int>(w);
        options->netHeight = static_cast<int>(h);
    } else if (arg == "--net-fps") {
        if (!ParseInt(value, 1, 60, &n)) {
            *error = "--net-fps needs 1..60";
            return -1;
        }
        options->netFps = static_cast<int>(n);
    } else if (arg == "--net-replay") {
        if (!ParseInt(value, 1, 600, &n)) {
            *error = "--net-replay needs 1..600 pictures";
            return -1;
        }
        options->netReplay = static_cast<int>(n);
    } else if (arg == "--net-user") {
        size_t colon = value.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 16 || value.size() - colon - 1 > 23) {
            *error = "--net-user needs NAME:PASSWORD (name up to 16, password up to 23 bytes)";
            return -1;
        }
        options->netUsers.emplace_back(std::string(value.substr(0, colon)), std::string(value.substr(colon + 1)));
    } else if (arg == "--net-fault") {
        size_t colon = value.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            *error = "--net-fault needs ADDR:KIND (e.g. 127.0.0.3:refuse-login), got '" + std::string(value) + "'";
            return -1;
        }
        options->netFaults[std::string(value.substr(0, colon))].emplace_back(value.substr(colon + 1));
    }
    return 0;
}

UsbCameraConfig DefaultUsbCameraConfig(const SimOptions& options, int number, std::string name) {
    UsbCameraConfig cfg;
    cfg.name = std::move(name);
    cfg.reportLength = options.usbReportLength;
    cfg.rebootMs = options.rebootMs;
    cfg.model.identity = CameraModel::DefaultIdentity(number);
    cfg.model.flashMs = options.flashMs;
    cfg.model.flashSteps = options.flashSteps;
    cfg.faults = options.allFaults;
    return cfg;
}

int BuildUsbCameras(const SimOptions& options, std::vector<UsbCameraConfig>* cameras, std::string* error) {
    std::vector<UsbCameraConfig> out;
    std::set<std::string> names;
    for (int i = 1; i <= options.usbCount; ++i) {
        UsbCameraConfig cfg = DefaultUsbCameraConfig(options, i, UsbCameraName(i, options.usbCount));
        names.insert(cfg.name);
        auto it = options.cameras.find(cfg.name);
        if (it != options.cameras.end()) {
            const CameraSettings& s = it->second;
            if (s.reportLength) cfg.reportLength = *s.reportLength;
            if (s.flashMs) cfg.model.flashMs = *s.flashMs;
            if (s.flashSteps) cfg.model.flashSteps = *s.flashSteps;
            if (s.rebootMs) cfg.rebootMs = *s.rebootMs;
            if (s.productId) cfg.productId = *s.productId;
            if (s.deviceName) cfg.model.identity.deviceName = *s.deviceName;
            if (s.productModel) cfg.model.identity.productModel = *s.productModel;
            if (s.serial) cfg.model.identity.serial = *s.serial;
            if (s.buildDate) cfg.model.identity.buildDate = *s.buildDate;
            if (s.biosVersion) cfg.model.identity.biosVersion = *s.biosVersion;
            if (s.ability) {
                cfg.model.ability = *s.ability;
                cfg.model.useDefaultAbility = false;
            }
            cfg.params = s.params;
            cfg.faults.insert(cfg.faults.end(), s.faults.begin(), s.faults.end());
        }
        out.push_back(std::move(cfg));
    }
    for (const auto& [name, settings] : options.cameras) {
        if (!names.count(name)) {
            *error = "settings for '" + name + "', but the cameras are " +
                     (options.usbCount ? UsbCameraName(1, options.usbCount) + ".." +
                                             UsbCameraName(options.usbCount, options.usbCount)
                                       : std::string("none (--usb-count 0)"));
            return -1;
        }
    }
    *cameras = std::move(out);
    return 0;
}

std::string UsageText() {
    return "usage: velmora-camsim [--usb-dir DIR --usb-count N] [--net ADDR,...] [options]\n"
           "       velmora-camsim ctl DIR COMMAND...   (change a running simulator; ctl DIR help)\n"
           "Simulated cameras for Velmora. Prints \"ready\" once every camera listens; runs until\n"
           "SIGINT or SIGTERM, then removes its sockets.\n"
           "  --usb-dir DIR            directory for <name>.sock and <name>.json (created if needed)\n"
           "  --usb-count N            number of USB cameras: cam01, cam02, ... (0: none yet,\n"
           "                           added later through DIR/.camsim.ctl)\n"
           "  --usb-report-len L       report length of every camera (default 65)\n"
           "  --usb-report-len NAME=L  report length of one camera\n"
           "  --flash-ms [NAME=]MS     time a camera takes to write a firmware package (default 3000)\n"
           "  --flash-steps [NAME=]N   writing ends with the N-th progress query instead (0: by time)\n"
           "  --reboot-ms [NAME=]MS    time a rebooting camera stays away (default 1500)\n"
           "  --fault NAME:FAULT        inject a fault into camera NAME (or * for all), e.g.\n"
           "                           cam02:stall  cam01:refuse=-5,cmd=40001090  cam01:split=8\n"
           "                           cam03:unplug=4,replug=500  cam01:neg-progress=-7\n"
           "                           cam02:never-flash  cam01:accept-empty  cam01:slow-flash=0\n"
           "                           cam01:rollback  cam02:no-return  cam03:slow-return=5000\n"
           "  --writers-file FILE      keep {\"writers\": N, \"peak_writers\": M} in FILE: cameras\n"
           "                           receiving or writing firmware now, and the most at once\n"
           "  --net ADDR[,ADDR...]     network cameras, one per loopback address, port 36666\n"
           "  --net-size WxH           picture size of their main stream (default 1280x720)\n"
           "  --net-fps N              frame rate of their main stream (default 25)\n"
           "  --net-replay N           loop N pictures (whole seconds) encoded at start instead of\n"
           "                           encoding live: for benchmarks; parameter changes do not show\n"
           "  --net-user NAME:PASS     a login of every network camera (default admin:pelno)\n"
           "  --net-fault ADDR:KIND    refuse-login, drop-after=N, stall[=MS], not-json, stop-stream,\n"
           "                           end-streams=MS\n"
           "  --scenario FILE          JSON scenario (see docs/simulator.md); options refine it\n"
           "  -v, --verbose            log every exchange on stderr\n"
           "  -h, --help               show this text and end\n"
           "  --version                show the version and end\n";
}

}  // namespace velmora::sim
