// Package labels, the upgrade request text and the reading of data and progress replies.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdlib>

#include "upgrade/upgrade_exchange.h"
#include "upgrade/upgrade_session.h"

using namespace velmora::upgrade;

using namespace velmora;

TEST(UpgradeTypeName, KeywordsSearchTheWholeLowerCasedPathInListOrder) {
    EXPECT_EQ(UpgradeTypeName("/fw/Cam_ExtRootfs_v2.dat", 0), "extrootfs");
    EXPECT_EQ(UpgradeTypeName("/fw/ROOTFS.dat", 0), "rootfs");
    EXPECT_EQ(UpgradeTypeName("/fw/uboot/app.dat", 0), "uboot");  // the folder counts too
    // Several keywords: the earliest of the list wins, wherever they stand.
    EXPECT_EQ(UpgradeTypeName("/updata/terrans/rootfs_uImage.dat", 0), "uimage");
    EXPECT_EQ(UpgradeTypeName("/a/terrans_updata.dat", 0), "terrans");
    EXPECT_EQ(UpgradeTypeName("/a/UPDATA.DAT", 0), "updata");
    EXPECT_EQ(UpgradeTypeName("/fw/app.dat", 2), "3");
}

TEST(UpgradeExchange, RequestTextIsTheFormattedObjectWithTypeTwo) {
    const std::string text = UpgradeRequestText(4294967295u);
    cJSON* root = cJSON_Parse(text.c_str());
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->child, nullptr);
    EXPECT_STREQ(root->child->string, "FileType");
    EXPECT_EQ(root->child->valuedouble, 2);
    ASSERT_NE(root->child->next, nullptr);
    EXPECT_STREQ(root->child->next->string, "FileSize");
    EXPECT_EQ(root->child->next->valuedouble, 4294967295.0);  // the whole 32-bit range
    cJSON_Delete(root);
    EXPECT_NE(text.find('\n'), std::string::npos);  // the formatted printer, not the compact one
}

TEST(UpgradeExchange, RepliesAreReadCaseInsensitivelyAndTruncatedTowardZero) {
    UpgradeReply r = ParseUpgradeReply("{\"updatestatus\":2.9,\"PROGRESS\":-5.7}");
    EXPECT_TRUE(r.json);
    EXPECT_TRUE(r.hasStatus && r.hasProgress);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.progress, -5);

    r = ParseUpgradeReply("{\"Progress\":1e12,\"UpdateStatus\":\"2\"}");
    EXPECT_FALSE(r.hasStatus);  // a text is not a number
    EXPECT_EQ(r.progress, 2147483647);

    r = ParseUpgradeReply("{\"Content\":{\"UpdateStatus\":2}}");  // top level only
    EXPECT_TRUE(r.json);
    EXPECT_FALSE(r.hasStatus || r.hasProgress);

    EXPECT_FALSE(ParseUpgradeReply("busy").json);
    r = ParseUpgradeReply("[2]");  // JSON, but names neither member
    EXPECT_TRUE(r.json);
    EXPECT_FALSE(r.hasStatus || r.hasProgress);
    EXPECT_FALSE(ParseUpgradeReply("").json);
    EXPECT_FALSE(ParseUpgradeReply(nullptr).json);
}
