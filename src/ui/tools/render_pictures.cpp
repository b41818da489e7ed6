// Renders the parameter pages and the path picker offscreen to PNG files, so their look can be
// checked without a display: velmora-ui-render OUTPUT_DIR
// Run with QT_QPA_PLATFORM=offscreen.
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>

#include "protocol/video_param.h"
#include "ui/controls/path_picker.h"
#include "ui/params/exposure_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/recording_host.h"

namespace {

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QApplication::processEvents();
    const bool ok = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toUtf8().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-ui-render OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;

    velmora::ui::RecordingHost host;
    VideoParam record;
    const uint8_t values[5] = {50, 64, 128, 50, 30};  // saturation beyond the slider's range
    for (int i = 0; i < 5; ++i) record.bytes[kPictureSlice + i] = values[i];
    velmora::ui::PictureTab picture;
    picture.SetHost(&host, true);
    picture.FillFromRecord(record.bytes);
    ok &= Save(picture, out.filePath(QStringLiteral("picture-page.png")));

    {
        // The exposure page as the main window shows it: built-in lists (empty ability list),
        // shutter speeds for 30 frames per second, manual exposure with WDR on.
        VideoParam rec;
        const uint8_t exposure[14] = {1, 2, 0xF6, 64, 128, 3, 30, 0, 0, 0, 1, 50, 0, 0};
        for (size_t i = 0; i < sizeof exposure; ++i) rec.bytes[kExposureSlice + i] = exposure[i];
        velmora::ui::ExposureTab exposurePage;
        exposurePage.SetHost(&host, true);
        exposurePage.ApplyAbility();
        exposurePage.FillShutterList(30);
        exposurePage.FillFromRecord(std::span<const uint8_t>(rec.bytes).subspan(kExposureSlice));
        ok &= Save(exposurePage, out.filePath(QStringLiteral("exposure-page.png")));
    }

    velmora::ui::PathPicker picker;
    picker.PathEdit()->setText(QStringLiteral("/home/user/cfg/video_params.dat"));
    ok &= Save(picker, out.filePath(QStringLiteral("path-picker.png")));
    return ok ? 0 : 1;
}
