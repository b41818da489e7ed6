// Parameter profiles: JSON and parameter-file reading, refusals with their place, export, diffs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "protocol/profile.h"

using namespace velmora::protocol;

namespace fs = std::filesystem;
using namespace velmora;

namespace {

Profile Parse(const std::string& text, int expected = 0, ProfileError* error = nullptr) {
    Profile p;
    ProfileError local;
    EXPECT_EQ(ParseProfileJson(text, p, error ? error : &local), expected) << text;
    return p;
}

std::string WithMembers(const std::string& members) {
    return R"({"format": "velmora-profile", "version": 1, "members": {)" + members + "}}";
}

const VideoParamField& Field(const char* name) { return *FindVideoParamField(name); }

}  // namespace

TEST(ProfileJson, PartialProfileAnyOrderAnyCaseKeptInRecordOrderAsSent) {
    Profile p = Parse(R"({"format": "velmora-profile", "version": 1, "model": "VMC-U2000",
                          "members": {"u32Lut": -7, "bexpcps": -5, "Luminance": 50, "eSceneMode": 2}})");
    EXPECT_EQ(p.model, "VMC-U2000");
    EXPECT_FALSE(p.whole);
    ASSERT_EQ(p.values.size(), 4u);
    EXPECT_STREQ(p.values[0].field->member, "Luminance");
    EXPECT_STREQ(p.values[1].field->member, "BExpCPS");
    EXPECT_EQ(p.values[1].value, -5);
    // eSceneMode is the copy that is sent (6146), never the 7167 one.
    EXPECT_EQ(p.values[2].field->offset, kSceneModeOffset);
    EXPECT_EQ(p.values[3].value, -7);
    EXPECT_FALSE(p.Find(Field("Contrast")).has_value());
    // An empty set of members is a valid (empty) profile; a byte-order mark is allowed.
    EXPECT_TRUE(Parse("\xEF\xBB\xBF" + WithMembers("")).values.empty());
}

TEST(ProfileJson, RefusalsNameTheMemberOrThePlaceAndLeaveTheProfileUntouched) {
    ProfileError e;
    Profile kept;
    kept.model = "kept";
    EXPECT_EQ(ParseProfileJson(WithMembers(R"("Luminence": 50)"), kept, &e), kProfileUnknownMember);
    EXPECT_EQ(kept.model, "kept");
    EXPECT_EQ(e.member, "Luminence");
    EXPECT_EQ(e.suggestion, "Luminance");
    EXPECT_NE(e.message.find("did you mean Luminance?"), std::string::npos);

    Parse(WithMembers(R"("Zzzzzzzzzzzzzzzzzzz": 1)"), kProfileUnknownMember, &e);
    EXPECT_TRUE(e.suggestion.empty());

    // Values that do not fit the member as it is sent.
    for (const char* bad : {R"("Luminance": 256)", R"("Luminance": -1)", R"("BExpCPS": 128)", R"("BExpCPS": 251)",
                            R"("u32CTNum": 2147483648)", R"("Luminance": 5.5)", R"("Luminance": "50")",
                            R"("Luminance": true)", R"("Luminance": null)", R"("Luminance": 1e300)"}) {
        Parse(WithMembers(bad), kProfileBadValue, &e);
        EXPECT_FALSE(e.member.empty()) << bad;
    }
    Parse(WithMembers(R"("u32CTNum": -2147483648, "BExpCPS": -128, "Hue": 255)"));

    Parse(WithMembers(R"("Luminance": 1, "LUMINANCE": 2)"), kProfileDuplicate, &e);
    EXPECT_EQ(e.member, "LUMINANCE");

    for (const char* bad : {R"({"format": "other", "version": 1, "members": {}})",
                            R"({"format": "velmora-profile", "version": 2, "members": {}})",
                            R"({"format": "velmora-profile", "members": {}})",
                            R"({"format": "velmora-profile", "version": 1, "members": []})",
                            R"({"format": "velmora-profile", "version": 1, "model": 5, "members": {}})",
                            R"([1, 2])"})
        Parse(bad, kProfileBadFormat);
}

TEST(ProfileJson, BrokenJsonGivesLineAndColumn) {
    ProfileError e;
    // Missing comma on line 3, column 3 (the second member's opening quote).
    Parse("{\"format\": \"velmora-profile\", \"version\": 1,\n \"members\": {\"Luminance\": 50\n  \"Contrast\": 40}}",
          kProfileNotJson, &e);
    EXPECT_EQ(e.line, 3);
    EXPECT_EQ(e.column, 3);
    EXPECT_NE(e.message.find("line 3, column 3"), std::string::npos);
    // Something after the document, and an empty text, are refused too.
    Parse(WithMembers("") + "\n}", kProfileNotJson, &e);
    EXPECT_EQ(e.line, 2);
    Parse("", kProfileNotJson, &e);
    EXPECT_EQ(e.line, 1);
}

TEST(ProfileJson, ExportedTextReadsBackAsTheWholeRecord) {
    VideoParam rec;
    for (size_t i = 0; i < kVideoParamSize; ++i) rec.bytes[i] = static_cast<uint8_t>(i * 7);
    const std::string text = ProfileJsonText(rec, "VMC \"U\"\n2000", "SN1", "2026-12-07T20:00:00Z");
    Profile p = Parse(text);
    EXPECT_EQ(p.model, "VMC \"U\"\n2000");
    EXPECT_EQ(p.serial, "SN1");
    ASSERT_EQ(p.values.size(), ProfileFields().size());
    EXPECT_TRUE(DiffRecordProfile(rec, p).empty());
    // Members stand in record order, one per line, so files diff well.
    EXPECT_LT(text.find("\"Luminance\""), text.find("\"u32Lut\""));
}

TEST(ProfileFile, ParameterFileAndJsonFileAndOtherSizes) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-profile-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    VideoParam rec;
    rec.bytes[0] = 70;                           // Luminance
    rec.bytes[kExpCompensationOffset] = 251;     // BExpCPS -5
    rec.bytes[kSceneModeOffset] = 2;
    rec.bytes[kSceneModeCopyOffset] = 9;         // the copy is no member of its own
    rec.bytes[100] = 0xEE;                       // a byte no field covers is kept in the record
    const auto write = [&](const char* name, const std::string& data) {
        std::ofstream(dir / name, std::ios::binary) << data;
        return (dir / name).string();
    };
    const std::string dat = write("a.dat", std::string(reinterpret_cast<const char*>(rec.bytes), kVideoParamSize));

    Profile p;
    ProfileError e;
    ASSERT_EQ(LoadProfile(dat, p, &e), 0) << e.message;
    EXPECT_TRUE(p.whole);
    EXPECT_EQ(p.values.size(), ProfileFields().size());
    EXPECT_EQ(*p.Find(Field("BExpCPS")), -5);
    EXPECT_EQ(*p.Find(Field("eSceneMode")), 2);
    EXPECT_EQ(p.record.bytes[100], 0xEE);

    // A JSON profile whatever its name, so long as it is not 8191 bytes or is named .json.
    ASSERT_EQ(LoadProfile(write("b.txt", "  " + WithMembers(R"("Luminance": 70)")), p, &e), 0) << e.message;
    EXPECT_FALSE(p.whole);
    EXPECT_EQ(LoadProfile(write("c.json", WithMembers(R"("Luminance": 900)")), p, &e), kProfileBadValue);
    EXPECT_EQ(LoadProfile(write("d.dat", std::string(8192, '\0')), p, &e), -321);
    EXPECT_EQ(LoadProfile((dir / "missing.json").string(), p, &e) < 0, true);
    EXPECT_LT(LoadProfile(dir.string(), p, &e), 0);  // a folder
    fs::remove_all(dir);
}

TEST(ProfileDiff, RecordAgainstProfileAndProfileAgainstProfile) {
    VideoParam rec;
    rec.bytes[0] = 50;
    rec.bytes[kExpCompensationOffset] = 251;
    WriteInt32LE(rec, 2052, 5000);
    Profile p = Parse(WithMembers(R"("Luminance": 50, "BExpCPS": -6, "u32CTNum": 6500)"));
    std::vector<ProfileDifference> d = DiffRecordProfile(rec, p);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_STREQ(d[0].field->member, "BExpCPS");
    EXPECT_EQ(*d[0].left, -5);
    EXPECT_EQ(*d[0].right, -6);
    EXPECT_EQ(*d[1].left, 5000);

    // Two profiles: members only one side holds count as different, with the other side empty.
    Profile q = Parse(WithMembers(R"("Luminance": 50, "BExpCPS": -5, "Contrast": 10)"));
    d = DiffProfiles(p, q);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_STREQ(d[0].field->member, "Contrast");
    EXPECT_FALSE(d[0].left.has_value());
    EXPECT_EQ(*d[0].right, 10);
    EXPECT_STREQ(d[2].field->member, "u32CTNum");
    EXPECT_FALSE(d[2].right.has_value());
    EXPECT_TRUE(DiffProfiles(ProfileFromRecord(rec), ProfileFromRecord(rec)).empty());
}
