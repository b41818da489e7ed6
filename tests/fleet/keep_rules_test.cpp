// Rules of `velmora-cli keep`: which profile a camera is kept at, and rules files that are refused.
#include "fleet/keep_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace velmora;
using namespace velmora::fleet;

namespace {

KeepRules Parse(const std::string& text) {
    KeepRules rules;
    std::string error;
    EXPECT_EQ(ParseKeepRules(text, "/etc/velmora/", rules, &error), 0) << error;
    return rules;
}

std::string Refusal(const std::string& text) {
    KeepRules rules;
    std::string error;
    EXPECT_EQ(ParseKeepRules(text, "", rules, &error), kKeepRulesRefused) << text;
    return error;
}

TEST(KeepRules, TheMostSpecificRuleWins) {
    const KeepRules rules = Parse(R"({"*": "site.json", "model:VX-300": "line3.json", "serial:K01": "k1.json",
                                     "model:VX-400": "/abs/vx4.dat"})");
    ASSERT_EQ(rules.rules.size(), 4u);
    EXPECT_EQ(rules.Find("K01", "VX-300")->file, "k1.json");      // serial before model
    EXPECT_EQ(rules.Find("K02", "VX-300")->file, "line3.json");   // model before *
    EXPECT_EQ(rules.Find("K02", "VX-900")->file, "site.json");
    EXPECT_EQ(rules.Find("", "")->file, "site.json");             // a camera that did not say who it is
    EXPECT_EQ(rules.Find("k01", "vx-300")->file, "site.json");    // serials and models compare exactly
    // Paths are relative to the rules file's folder; absolute ones stay.
    EXPECT_EQ(rules.Find("K01", "")->path, "/etc/velmora/k1.json");
    EXPECT_EQ(rules.Find("", "VX-400")->path, "/abs/vx4.dat");

    const KeepRules bySerial = Parse(R"({"serial:K01": "k1.json"})");
    EXPECT_EQ(bySerial.Find("K02", "VX-300"), nullptr);  // no rule: left alone
    EXPECT_EQ(bySerial.Find("", ""), nullptr);
}

TEST(KeepRules, BadRulesAreRefusedWithTheReason) {
    EXPECT_EQ(Refusal("{\"*\": \"a.json\",\n  \"serial:K01\" \"k1.json\"}"), "not JSON at line 2, column 16");
    EXPECT_EQ(Refusal("{\"*\": \"a.json\"} trailing"), "not JSON at line 1, column 17");
    EXPECT_EQ(Refusal(""), "not JSON at line 1, column 1");
    EXPECT_EQ(Refusal("[\"a.json\"]").find("the rules are a JSON object"), 0u);
    EXPECT_EQ(Refusal("{}"), "the rules hold no rule: nothing would be kept");
    EXPECT_EQ(Refusal(R"({"seriel:K01": "k1.json"})"),
              "rule \"seriel:K01\": a rule is \"serial:SN\", \"model:MODEL\" or \"*\"");
    EXPECT_EQ(Refusal(R"({"serial:": "k1.json"})"), "rule \"serial:\" names no serial");
    EXPECT_EQ(Refusal(R"({"model:": "k1.json"})"), "rule \"model:\" names no model");
    EXPECT_EQ(Refusal(R"({"serial:K01": "a.json", "serial:K01": "b.json"})"), "rule \"serial:K01\" is given twice");
    EXPECT_EQ(Refusal(R"({"*": 5})"), "rule \"*\": the value must be a profile file name");
    EXPECT_EQ(Refusal(R"({"*": ""})"), "rule \"*\": the value must be a profile file name");
    EXPECT_EQ(Refusal(R"({"*": null})"), "rule \"*\": the value must be a profile file name");
}

class KeepRulesFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/keep-rules-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }
    std::string dir_;
};

TEST_F(KeepRulesFiles, ProfilesAreLoadedNextToTheRules) {
    Write("k1.json", R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 70}})");
    Write("keep.json", R"({"serial:K01": "k1.json"})");
    KeepRules rules;
    std::string error;
    ASSERT_EQ(LoadKeepRules(dir_ + "/keep.json", rules, &error), 0) << error;
    ASSERT_EQ(rules.rules[0].profile.values.size(), 1u);
    EXPECT_EQ(rules.rules[0].profile.values[0].value, 70);

    // A profile that cannot be used names the rules file, the rule and the profile's reason.
    Write("bad.json", R"({"format": "velmora-profile", "version": 1, "members": {"Luminanse": 70}})");
    Write("keep.json", R"({"serial:K01": "k1.json", "*": "bad.json"})");
    EXPECT_EQ(LoadKeepRules(dir_ + "/keep.json", rules, &error), kKeepRulesRefused);
    EXPECT_NE(error.find(dir_ + "/keep.json: rule \"*\": " + dir_ + "/bad.json: "), std::string::npos) << error;
    EXPECT_NE(error.find("Luminance"), std::string::npos) << error;  // the nearest name is suggested
    Write("keep.json", R"({"*": "missing.json"})");
    EXPECT_EQ(LoadKeepRules(dir_ + "/keep.json", rules, &error), kKeepRulesRefused);
    EXPECT_NE(error.find("missing.json"), std::string::npos);
    EXPECT_EQ(LoadKeepRules(dir_, rules, &error), kKeepRulesRefused);  // a folder is not a rules file
    EXPECT_EQ(error.find(dir_ + ": "), 0u) << error;
}

}  // namespace
