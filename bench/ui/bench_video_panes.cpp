// Four live 1920x1080 25 fps network cameras in the 2x2 layout of the video panes, inside an
// offscreen QApplication. The cameras are served by a separate velmora-camsim process, so their
// encoding is not counted. After the first picture of every pane it runs for a while and prints
// the CPU time of this process per second of wall time, and per pane the pictures received,
// painted and decoded.
//
//   bench_video_panes [path/to/velmora-camsim] [--net A,B,C,D] [--seconds N] [--png FILE]
//
// --png saves a picture of the client area at the end: the four panes with their borders, the
// current pane (the last opened) outlined in red.
// Without a path, velmora-camsim is looked for next to this program and in ../../bin (the build
// tree's layout). The addresses default to 127.0.0.2 to 127.0.0.5 (port 36666).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "platform/decoder/xplay.h"
#include "transport/net/orvex_sdk.h"
#include "ui/main/video_panes.h"

using namespace velmora::ui;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of another process, from /proc (utime + stime); -1 when unreadable.
double ProcessCpuSeconds(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

QString FindCamsim(const QString& given) {
    if (!given.isEmpty()) return given;
    const QString dir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section('/', 0, -2);
    for (const QString& candidate : {dir + "/velmora-camsim", dir + "/../../bin/velmora-camsim",
                                     dir + "/../bin/velmora-camsim"}) {
        if (QFileInfo(candidate).isExecutable()) return QFileInfo(candidate).canonicalFilePath();
    }
    return {};
}

void Run(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `ms` have passed; true when it holds.
template <typename F>
bool WaitFor(F done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        Run(10);
    }
    return true;
}

struct PaneFigures {
    uint64_t received = 0, painted = 0;
    XStreamStats stats{};
};

PaneFigures Snapshot(VideoPanes& panes, int i) {
    PaneFigures f;
    f.received = panes.Widget(i)->PicturesReceived();
    f.painted = panes.Widget(i)->PicturesPainted();
    X_GetStreamStats(panes.Pane(i).decoderPort.load(), &f.stats);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QString camsimArg;
    QString addresses = QStringLiteral("127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5");
    int seconds = 10;
    QString pngPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--net" && i + 1 < argc) {
            addresses = QString::fromUtf8(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--png" && i + 1 < argc) {
            pngPath = QString::fromUtf8(argv[++i]);
        } else if (a.rfind("--", 0) != 0) {
            camsimArg = QString::fromUtf8(argv[i]);
        } else {
            std::fprintf(stderr, "usage: %s [velmora-camsim] [--net A,B,C,D] [--seconds N] [--png FILE]\n", argv[0]);
            return 2;
        }
    }
    const QStringList hosts = addresses.split(',', Qt::SkipEmptyParts);
    if (hosts.size() != 4) {
        std::fprintf(stderr, "bench_video_panes: --net needs four loopback addresses\n");
        return 2;
    }
    for (const QString& h : hosts) {
        if (!h.startsWith("127.")) {
            std::fprintf(stderr, "bench_video_panes: %s is not a loopback address\n", qPrintable(h));
            return 2;
        }
    }

    QApplication app(argc, argv);
    const QString camsim = FindCamsim(camsimArg);
    if (camsim.isEmpty()) {
        std::fprintf(stderr, "bench_video_panes: velmora-camsim not found; pass its path\n");
        return 1;
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(camsim, {"--net", addresses, "--net-size", "1920x1080"});
    bool ready = sim.waitForStarted(10000);
    while (ready && !sim.canReadLine()) ready = sim.waitForReadyRead(20000);
    if (!ready || !sim.readLine().startsWith("ready")) {
        std::fprintf(stderr, "bench_video_panes: %s did not start (addresses in use?)\n", qPrintable(camsim));
        sim.kill();
        sim.waitForFinished(5000);
        return 1;
    }

    ORVEX_Init(0);
    int status = 0;
    {
        QWidget client;
        constexpr int kClientW = 1600, kClientH = 900, kPtzW = 200;
        client.resize(kClientW, kClientH);
        VideoPanes panes(&client);
        panes.SetLayout(2);
        panes.Place(kClientW, kClientH, kPtzW);
        client.show();

        QElapsedTimer sinceOpen;
        sinceOpen.start();
        for (int i = 0; i < 4; ++i) {
            LoginInfo info{};
            std::snprintf(info.address, sizeof info.address, "%s", qPrintable(hosts[i]));
            info.port = kOrvexDefaultPort;
            std::snprintf(info.user, sizeof info.user, "admin");
            std::snprintf(info.password, sizeof info.password, "pelno");
            const int rc = panes.OpenNetworkDevice(info, ORVEX_STREAM_MAIN);
            if (rc != 0) {
                std::fprintf(stderr, "bench_video_panes: opening %s failed: %d\n", info.address, rc);
                status = 1;
            }
        }
        const bool pictures = status == 0 && WaitFor([&] {
            for (int i = 0; i < 4; ++i)
                if (panes.Widget(i)->PicturesPainted() == 0) return false;
            return true;
        }, 30000);
        if (!pictures) {
            std::fprintf(stderr, "bench_video_panes: not every pane showed a picture\n");
            status = 1;
        } else {
            const double firstPicturesMs = static_cast<double>(sinceOpen.elapsed());
            PaneFigures before[4], after[4];
            for (int i = 0; i < 4; ++i) before[i] = Snapshot(panes, i);
            const double cpu0 = CpuSeconds();
            const double simCpu0 = ProcessCpuSeconds(sim.processId());
            QElapsedTimer wall;
            wall.start();
            Run(seconds * 1000);
            const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
            const double cpu = (CpuSeconds() - cpu0) / elapsed;
            const double simCpu = (ProcessCpuSeconds(sim.processId()) - simCpu0) / elapsed;
            for (int i = 0; i < 4; ++i) after[i] = Snapshot(panes, i);

            const QSize paneSize = panes.Widget(0)->size();
            const QRect fit = VideoPaneWidget::FitRect({1920, 1080}, paneSize);
            std::printf("four 1920x1080 25 fps cameras, 2x2 panes of %dx%d (pictures scaled to %dx%d), %.1f s\n",
                        paneSize.width(), paneSize.height(), fit.width(), fit.height(), elapsed);
            std::printf("open of four cameras to a picture painted in each: %.0f ms\n", firstPicturesMs);
            std::printf("CPU of this process: %.3f s per second (camsim process, not counted: %.3f)\n",
                        cpu, simCpu);
            std::printf("%-4s %-11s %9s %9s %9s %9s %11s %8s\n", "pane", "camera", "received",
                        "painted", "decoded", "delivered", "superseded", "dropped");
            for (int i = 0; i < 4; ++i) {
                const PaneFigures& a = after[i];
                const PaneFigures& b = before[i];
                std::printf("%-4d %-11s %9llu %9llu %9llu %9llu %11llu %8llu\n", i, panes.Pane(i).address,
                            static_cast<unsigned long long>(a.received - b.received),
                            static_cast<unsigned long long>(a.painted - b.painted),
                            static_cast<unsigned long long>(a.stats.frames_decoded - b.stats.frames_decoded),
                            static_cast<unsigned long long>(a.stats.frames_delivered - b.stats.frames_delivered),
                            static_cast<unsigned long long>(a.stats.frames_superseded - b.stats.frames_superseded),
                            static_cast<unsigned long long>(a.stats.chunks_dropped - b.stats.chunks_dropped));
            }
            std::printf("(counts over the run; 25 fps gives %.0f pictures per pane)\n", 25 * elapsed);
            if (!pngPath.isEmpty()) {
                QImage picture(client.size(), QImage::Format_RGB32);
                picture.fill(Qt::white);
                client.render(&picture);
                QPainter painter(&picture);
                panes.DrawBorders(painter);
                painter.end();
                if (!picture.save(pngPath)) std::fprintf(stderr, "bench_video_panes: cannot write %s\n", qPrintable(pngPath));
            }
        }
        panes.CloseAll();
    }
    ORVEX_Cleanup();
    sim.terminate();
    if (!sim.waitForFinished(10000)) {
        sim.kill();
        sim.waitForFinished(5000);
    }
    return status;
}
