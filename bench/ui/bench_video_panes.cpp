// Four live 1920x1080 25 fps network cameras in the 2x2 layout of the video panes, inside an
// offscreen QApplication, against its anchors: bare decoding (libavcodec, one thread, no scaling,
// no painting) in this process of one camera's stream, and of the four cameras' streams with a
// picture of each in turn (the same bytes the panes decode). The cameras are served by a separate
// velmora-camsim process that replays two seconds of each stream encoded at its start, so their
// encoding is neither counted nor competing for the cores. Per pane width (323 px, the default
// window's, and 324 px) it alternates rounds of the four panes playing with rounds of the anchors
// and prints the medians of the CPU time per decoded picture and their ratios, and per pane the
// pictures decoded, received, painted and superseded (by the decoder or in the pane), and how
// many were scaled from rows halved while they were decoded. For comparison it also prints the
// four streams' bare decode followed on its thread by the conversion of each whole picture to the
// panes' size: the work itself, without the panes' threads, queues and painting.
//
//   bench_video_panes [path/to/velmora-camsim] [--net A,B,C,D] [--seconds N] [--rounds N]
//                     [--pane-width W] [--png FILE]
//
// --png saves a picture of the client area at the end: the four panes with their borders, the
// current pane (the last opened) outlined in red.
// Without a path, velmora-camsim is looked for next to this program and in ../../bin (the build
// tree's layout). The addresses default to 127.0.0.2 to 127.0.0.5 (port 36666).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "bench_common.h"
#include "platform/decoder/frame_converter.h"
#include "platform/decoder/xplay.h"
#include "transport/net/orvex_sdk.h"
#include "ui/main/video_panes.h"

using namespace velmora::platform;
using namespace velmora::transport;

using namespace velmora::ui;
using namespace velmora::wire;
using namespace velmora::sim::stream;

namespace {

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

// CPU seconds per picture of bare single-threaded decoding of `streams`, a picture of each in turn.
// With w x h, each picture is then converted to that size as the panes convert it, on this
// thread: the work itself, without the panes' threads.
double BareDecodeCpuPerPicture(const std::vector<std::vector<AccessUnit>>& streams, int w = 0, int h = 0) {
    FrameConverter converter;
    const double cpu0 = bench::ProcessCpuSeconds();
    const int frames = bench::BareDecodeStreams(streams, 1, [&](AVFrame* f) {
        if (w > 0) converter.Convert(f, FrameConverter::Format::kBgrx, w, h);
    });
    const double cpu = bench::ProcessCpuSeconds() - cpu0;
    return frames > 0 ? cpu / frames : 0;
}

double Median(std::vector<double> v) { return bench::Percentile(std::move(v), 0.5); }

struct PanesRound {
    double cpuPerPicture = 0;
    double firstPicturesMs = 0;
    QSize paneSize;
    VideoPanes::Counters counters[4];
    bool ok = false;
};

// One round: opens the four cameras in 2x2 panes `paneWidth` wide, waits for a picture in each,
// then measures for `seconds`.
PanesRound PlayRound(const QStringList& hosts, int paneWidth, int seconds, const QString& pngPath) {
    PanesRound round;
    QWidget client;
    constexpr int kPtzW = 200;
    // Pane width w2 = (clientW - (kPtzW + 5) - 10) / 2.
    const int clientW = 2 * paneWidth + kPtzW + 15;
    const int clientH = 2 * paneWidth * 9 / 16 + 60;
    client.resize(clientW, clientH);
    VideoPanes panes(&client);
    panes.SetLayout(2);
    panes.Place(clientW, clientH, kPtzW);
    client.show();
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    for (int i = 0; i < 4; ++i) {
        LoginInfo info{};
        std::snprintf(info.address, sizeof info.address, "%s", qPrintable(hosts[i]));
        info.port = kOrvexDefaultPort;
        std::snprintf(info.user, sizeof info.user, "admin");
        std::snprintf(info.password, sizeof info.password, "pelno");
        if (panes.OpenNetworkDevice(info, ORVEX_STREAM_MAIN) != 0) {
            std::fprintf(stderr, "bench_video_panes: opening %s failed\n", info.address);
            return round;
        }
    }
    if (!WaitFor([&] {
            for (int i = 0; i < 4; ++i)
                if (panes.Widget(i)->PicturesPainted() == 0) return false;
            return true;
        }, 30000)) {
        std::fprintf(stderr, "bench_video_panes: not every pane showed a picture\n");
        return round;
    }
    round.firstPicturesMs = static_cast<double>(sinceOpen.elapsed());
    round.paneSize = panes.Widget(0)->size();
    VideoPanes::Counters before[4];
    for (int i = 0; i < 4; ++i) before[i] = panes.PaneCounters(i);
    const double cpu0 = bench::ProcessCpuSeconds();
    Run(seconds * 1000);
    const double cpu = bench::ProcessCpuSeconds() - cpu0;
    uint64_t decoded = 0;
    for (int i = 0; i < 4; ++i) {
        const VideoPanes::Counters a = panes.PaneCounters(i);
        VideoPanes::Counters& c = round.counters[i];
        c.decoded = a.decoded - before[i].decoded;
        c.received = a.received - before[i].received;
        c.painted = a.painted - before[i].painted;
        c.superseded = a.superseded - before[i].superseded;
        c.dropped = a.dropped - before[i].dropped;
        c.fromBands = a.fromBands - before[i].fromBands;
        decoded += c.decoded;
    }
    round.cpuPerPicture = decoded > 0 ? cpu / static_cast<double>(decoded) : 0;
    round.ok = decoded > 0;
    if (!pngPath.isEmpty()) {
        QImage picture(client.size(), QImage::Format_RGB32);
        picture.fill(Qt::white);
        client.render(&picture);
        QPainter painter(&picture);
        panes.DrawBorders(painter);
        painter.end();
        if (!picture.save(pngPath)) std::fprintf(stderr, "bench_video_panes: cannot write %s\n", qPrintable(pngPath));
    }
    panes.CloseAll();
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QString camsimArg;
    QString addresses = QStringLiteral("127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5");
    int seconds = 4;
    int rounds = 3;
    std::vector<int> widths = {323, 324};
    QString pngPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--net" && i + 1 < argc) {
            addresses = QString::fromUtf8(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--pane-width" && i + 1 < argc) {
            widths = {std::clamp(std::atoi(argv[++i]), 32, 2000)};
        } else if (a == "--png" && i + 1 < argc) {
            pngPath = QString::fromUtf8(argv[++i]);
        } else if (a.rfind("--", 0) != 0) {
            camsimArg = QString::fromUtf8(argv[i]);
        } else {
            std::fprintf(stderr, "usage: %s [velmora-camsim] [--net A,B,C,D] [--seconds N] [--rounds N] "
                                 "[--pane-width W] [--png FILE]\n", argv[0]);
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
    // The cameras replay two seconds encoded at start: a camera encodes on its own hardware, and
    // four live 1080p encoders would take most of a core from the process measured.
    sim.start(camsim, {"--net", addresses, "--net-size", "1920x1080", "--net-replay", "50"});
    bool ready = sim.waitForStarted(10000);
    while (ready && !sim.canReadLine()) ready = sim.waitForReadyRead(20000);
    if (!ready || !sim.readLine().startsWith("ready")) {
        std::fprintf(stderr, "bench_video_panes: %s did not start (addresses in use?)\n", qPrintable(camsim));
        sim.kill();
        sim.waitForFinished(5000);
        return 1;
    }

    // The anchors' streams: what each simulated camera sends, two seconds of it.
    std::vector<std::vector<AccessUnit>> streams;
    for (const QString& host : hosts) streams.push_back(bench::MakeStream(50, 1920, 1080, qPrintable(host)));
    const std::vector<std::vector<AccessUnit>> first = {streams[0]};
    ORVEX_Init(0);
    int status = streams[0].empty() ? 1 : 0;
    for (int width : widths) {
        if (status != 0) break;
        std::vector<double> panesCpu, anchorCpu, fourCpu, workCpu, firstMs;
        PanesRound last;
        for (int r = 0; r < rounds && status == 0; ++r) {
            last = PlayRound(hosts, width, seconds, r + 1 == rounds ? pngPath : QString());
            if (!last.ok) {
                status = 1;
                break;
            }
            panesCpu.push_back(last.cpuPerPicture);
            firstMs.push_back(last.firstPicturesMs);
            anchorCpu.push_back(BareDecodeCpuPerPicture(first));
            fourCpu.push_back(BareDecodeCpuPerPicture(streams));
            const QSize even = VideoPaneWidget::EvenFit({1920, 1080}, last.paneSize);
            workCpu.push_back(BareDecodeCpuPerPicture(streams, even.width(), even.height()));
        }
        if (status != 0) break;
        const QSize even = VideoPaneWidget::EvenFit({1920, 1080}, last.paneSize);
        const double panes = Median(panesCpu), anchor = Median(anchorCpu);
        std::printf("four 1920x1080 25 fps cameras in 2x2 panes %d px wide (pictures scaled to %dx%d), "
                    "%d rounds of %d s\n", width, even.width(), even.height(), rounds, seconds);
        const double four = Median(fourCpu), work = Median(workCpu);
        std::printf("  CPU per decoded picture: panes %.2f ms, bare decode of one camera's stream %.2f ms, ratio %.2f\n",
                    panes * 1e3, anchor * 1e3, anchor > 0 ? panes / anchor : 0);
        std::printf("  bare decode of the four cameras' streams, a picture of each in turn (the same bytes) %.2f ms, "
                    "panes' ratio %.2f\n", four * 1e3, four > 0 ? panes / four : 0);
        std::printf("  that decode + conversion of each whole picture on one thread %.2f ms, ratio %.2f\n", work * 1e3,
                    four > 0 ? work / four : 0);
        std::printf("  open of four cameras to a picture painted in each: %.0f ms (median)\n", Median(firstMs));
        std::printf("  %-4s %9s %9s %9s %11s %8s %11s   (last round)\n", "pane", "decoded", "received", "painted",
                    "superseded", "dropped", "from bands");
        for (int i = 0; i < 4; ++i) {
            const VideoPanes::Counters& c = last.counters[i];
            std::printf("  %-4d %9llu %9llu %9llu %11llu %8llu %11llu\n", i, static_cast<unsigned long long>(c.decoded),
                        static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.painted),
                        static_cast<unsigned long long>(c.superseded), static_cast<unsigned long long>(c.dropped),
                        static_cast<unsigned long long>(c.fromBands));
        }
    }
    ORVEX_Cleanup();
    sim.terminate();
    if (!sim.waitForFinished(10000)) {
        sim.kill();
        sim.waitForFinished(5000);
    }
    return status;
}
