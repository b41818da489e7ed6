// The compare dialog of the 工具 menu on a simulated USB camera that clamps one member: the
// table of differences, then the verified apply's result per member.
#include <gtest/gtest.h>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "integration/sim_usb_cameras.h"
#include "sim/usb_server.h"

#include <QPushButton>
#include <QTableWidget>

#include <filesystem>
#include <fstream>

#include "camera/usb_camera.h"
#include "ui/main/compare_profile_dlg.h"
#include "ui/ui_test_support.h"

using namespace velmora::camera;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::transport;
using velmora::ui::CompareProfileDlg;

TEST(CompareProfileDlgTest, ShowsDifferencesAppliesAndShowsWhatTheCameraKept) {
    char tmpl[] = "/tmp/velmora-compare-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    sim::UsbServer server(dir + "/usb", {testsim::NumberedUsbCamera(1, {"clamp=Luminance:10..80"})});
    std::string error;
    ASSERT_EQ(server.Start(&error), 0) << error;
    auto usb = testsim::OpenSimulatedUsb(dir + "/usb");
    ASSERT_EQ(usb->RefreshDevices(), 1);
    UsbDeviceEntry e{};
    ASSERT_TRUE(usb->GetDevice(0, e));
    UsbCamera camera(*usb, e.handle);
    ui::test::RecordingMessages messages;

    const std::string profile = dir + "/p.json";
    std::ofstream(profile) << R"({"format": "velmora-profile", "version": 1,
                                  "members": {"Luminance": 95, "Contrast": 20, "Hue": 50}})";
    CompareProfileDlg dialog(camera);
    // A cancelled picker shows nothing; a broken file says why.
    EXPECT_FALSE(dialog.ChooseAndCompare([](QWidget*, bool) { return std::optional<QString>(); }));
    std::ofstream(dir + "/bad.json") << "{";
    EXPECT_FALSE(dialog.Compare(QString::fromStdString(dir + "/bad.json")));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_NE(messages.shown[0].find("line 1, column 1"), std::string::npos) << messages.shown[0];

    ASSERT_TRUE(dialog.ChooseAndCompare([&](QWidget*, bool folderMode) {
        EXPECT_FALSE(folderMode);
        return std::optional<QString>(QString::fromStdString(profile));
    }));
    QTableWidget* table = dialog.table();
    ASSERT_EQ(table->rowCount(), 2);  // Hue is already 50
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("参数"));
    EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("Luminance"));
    EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("50"));
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("95"));
    EXPECT_EQ(dialog.applyButton()->accessibleName(), QStringLiteral("应用"));

    dialog.applyButton()->click();
    ASSERT_EQ(table->columnCount(), 4);
    EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("80"));  // what the camera kept
    EXPECT_EQ(table->item(0, 3)->text(), QStringLiteral("相机保留 80"));
    EXPECT_EQ(table->item(1, 3)->text(), QStringLiteral("已确认"));
    EXPECT_EQ(*server.Model(0).Get("Contrast"), 20);
    EXPECT_TRUE(dialog.applyButton()->isEnabled());  // not everything confirmed: may be tried again
    server.Stop();
    fs::remove_all(dir);
}
