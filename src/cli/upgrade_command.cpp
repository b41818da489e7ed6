#include "cli/upgrade_command.h"

#include "cli/json_output.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "cli/commands.h"
#include "platform/user_messages.h"
#include "upgrade/upgrade_session.h"
#include "upgrade/upgrade_texts.h"

namespace velmora::cli {
namespace {

constexpr auto kWaitStep = std::chrono::milliseconds(50);
constexpr int kBarWidth = 20;

// Prints the session's row changes: one line per new text, or one redrawn bar per camera.
class Printer final : public UpgradeObserver {
public:
    Printer(const std::vector<UpgradeTarget>& targets, bool live, std::ostream& out, bool json = false,
            UiLanguage language = UiLanguage::Chinese)
        : live_(live && !json), json_(json), language_(language), out_(out) {
        for (const UpgradeTarget& t : targets) {
            slots_[t.entry.handle] = order_.size();
            order_.push_back({t.number, {}, -1, UpgradeRowState::Queued});
        }
    }

    void RowChanged(int, const UpgradeRow& row) override {
        std::lock_guard lock(mu_);
        auto it = slots_.find(row.handle);
        if (it == slots_.end()) return;
        Line& line = order_[it->second];
        const bool newText = row.text != line.text;
        const bool newState = row.state != line.state;
        line.text = row.text;
        line.percent = row.percent;
        line.state = row.state;
        if (live_) {
            Redraw();
        } else if (json_ && (newText || newState) && !row.text.empty()) {
            out_ << JsonObject()
                        .Add("camera", line.number)
                        .Add("state", StateName(row.state))
                        .Add("percent", row.percent)
                        .Add("text", row.text)
                        .Text()
                 << '\n'
                 << std::flush;
        } else if (newText && !row.text.empty()) {
            out_ << '[' << line.number << "] " << TerminalText(UpgradeTextIn(language_, row.text)) << '\n' << std::flush;
        }
    }
    void RowRemoved(int) override {}
    void StatusText(const std::string&) override {}  // the window's hint to refresh its list
    void RebootFinished() override {}

private:
    struct Line {
        int number;
        std::string text;
        int percent;
        UpgradeRowState state;
    };

    void Redraw() {
        if (drawn_) out_ << "\x1b[" << order_.size() << 'A';
        for (const Line& l : order_) {
            const int pct = l.state == UpgradeRowState::Done ? 100 : l.percent < 0 ? 0 : l.percent > 100 ? 100 : l.percent;
            const int filled = pct * kBarWidth / 100;
            out_ << "\r\x1b[K[" << l.number << "] [" << std::string(static_cast<size_t>(filled), '#')
                 << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << pct << "% "
                 << TerminalText(UpgradeTextIn(language_, l.text)) << '\n';
        }
        out_ << std::flush;
        drawn_ = true;
    }

    static const char* StateName(UpgradeRowState state) {
        switch (state) {
        case UpgradeRowState::Queued: return "queued";
        case UpgradeRowState::Failed: return "failed";
        case UpgradeRowState::Done: return "done";
        case UpgradeRowState::Sending: return "sending";
        case UpgradeRowState::Flashing: return "flashing";
        }
        return "unknown";
    }

    const bool live_;
    const bool json_;
    const UiLanguage language_;
    std::ostream& out_;
    std::mutex mu_;
    std::map<int32_t, size_t> slots_;  // handle -> line
    std::vector<Line> order_;
    bool drawn_ = false;
};

// Keeps the messages of the package loading for the error line instead of the log.
class CapturedMessages final : public UserMessages {
public:
    std::string last;
    void Information(std::string_view text) override {
        // One error line: a message with the file and reason on a second line is joined.
        last = std::string(text);
        for (char& c : last)
            if (c == '\n') c = ' ';
    }
    bool AskOkCancel(std::string_view) override { return false; }
    bool AskYesNo(std::string_view) override { return false; }
};

std::vector<UsbDeviceEntry> Entries(const std::vector<UpgradeTarget>& targets) {
    std::vector<UsbDeviceEntry> out;
    for (const UpgradeTarget& t : targets) out.push_back(t.entry);
    return out;
}

int NumberOf(const std::vector<UpgradeTarget>& targets, int32_t handle) {
    for (const UpgradeTarget& t : targets)
        if (t.entry.handle == handle) return t.number;
    return 0;
}

// Waits while `busy` holds, stopping the session once when the interrupt flag rises.
template <typename Busy>
void WaitFor(UpgradeSession& session, const UpgradeRunOptions& options, Busy busy) {
    bool stopped = false;
    while (busy()) {
        if (!stopped && options.interrupt && options.interrupt->load()) {
            session.RequestStop();
            stopped = true;
        }
        std::this_thread::sleep_for(kWaitStep);
    }
    session.Join();
}

bool TooMany(const std::vector<UpgradeTarget>& targets, std::ostream& err) {
    if (targets.size() <= static_cast<size_t>(kMaxUpgradeRows)) return false;
    err << "velmora-cli: one run takes at most " << kMaxUpgradeRows << " cameras; found " << targets.size()
        << " (choose them with --device)\n";
    return true;
}

}  // namespace

int RunUpgradeCommand(CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                      const std::vector<std::string>& packages, const UpgradeRunOptions& options,
                      std::ostream& out, std::ostream& err) {
    if (TooMany(targets, err)) return kExitUsage;
    Printer printer(targets, options.live, out, options.json, options.language);
    UpgradeSession session(usb, Entries(targets), &printer);
    session.SetPackagePaths(packages);

    CapturedMessages captured;
    UserMessages& previous = Messages();
    SetUserMessages(&captured);
    const int started = session.Start();
    SetUserMessages(&previous);
    if (started != 0)
        return ReportFailure(err, started,
                             captured.last.empty() ? "the upgrade did not start" : UpgradeTextIn(options.language, captured.last));

    WaitFor(session, options, [&] { return session.Busy(); });
    int status = kExitOk;
    for (int i = 0; i < session.RowCount(); ++i) {
        const UpgradeRow row = session.Row(i);
        if (row.state == UpgradeRowState::Done) continue;
        status = ReportFailure(err, row.result != 0 ? row.result : kUpgradeStopped,
                               "camera " + std::to_string(NumberOf(targets, row.handle)) + ": " +
                                   TerminalText(UpgradeTextIn(options.language, row.text)));
    }
    return status;
}

int RunRebootCommand(CUSBDevice& usb, const std::vector<UpgradeTarget>& targets, const UpgradeRunOptions& options,
                     std::ostream& out, std::ostream& err) {
    if (TooMany(targets, err)) return kExitUsage;
    Printer printer(targets, false, out, options.json, options.language);
    UpgradeSession session(usb, Entries(targets), &printer);
    if (int r = session.StartReboot()) return ReportFailure(err, r, "the reboot did not start");
    WaitFor(session, options, [&] { return session.Rebooting(); });
    // Rebooted rows are gone; what is left failed or was not reached after a stop.
    int status = kExitOk;
    for (int i = 0; i < session.RowCount(); ++i) {
        const UpgradeRow row = session.Row(i);
        const std::string what = row.text.empty() ? "not rebooted" : TerminalText(UpgradeTextIn(options.language, row.text));
        status = ReportFailure(err, row.result != 0 ? row.result : kUpgradeStopped,
                               "camera " + std::to_string(NumberOf(targets, row.handle)) + ": " + what);
    }
    return status;
}

}  // namespace velmora::cli
