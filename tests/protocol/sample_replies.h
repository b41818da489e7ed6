#pragma once

#include <string>
#include <utility>
#include <vector>

// Builders of camera reply texts for the protocol tests.
namespace protocol_test {

using Members = std::vector<std::pair<std::string, std::string>>;

// {"Content":{"nResult":<result>,"VideoParam":{members}}}
inline std::string VideoParamReply(const Members& members, const std::string& result = "0") {
    std::string text = "{\"Content\":{\"nResult\":" + result + ",\"VideoParam\":{";
    for (size_t i = 0; i < members.size(); ++i) {
        if (i) text += ",";
        text += "\"" + members[i].first + "\":" + members[i].second;
    }
    return text + "}}}";
}

// Every member a camera sends, each with a distinct value (offset-derived, so a misplaced
// store is visible), BExpCPS -5 and u32Lut 1 among them.
inline Members FullVideoParamMembers() {
    return {
        {"Luminance", "11"},       {"Contrast", "12"},          {"Saturation", "13"},
        {"ucHue", "14"},           {"Hue", "15"},               {"eExposureMode", "2"},
        {"ucAEWeightLevel", "3"},  {"BExpCPS", "-5"},           {"ucManualGain", "40"},
        {"ucAutoGainLimit", "41"}, {"ucManualIris", "254"},     {"uiMShutterSpeed", "100000"},
        {"eWDMode", "1"},          {"ucWDRStrength", "55"},     {"bBacklightCompensation", "1"},
        {"ucAntiFlicker", "2"},    {"eWBMode", "4"},            {"uAwbTolerance", "6"},
        {"ucRGGain", "60"},        {"ucBGGain", "61"},          {"u32CTNum", "6500"},
        {"u8RgainTuning", "50"},   {"u8GgainTuning", "51"},     {"u8BgainTuning", "52"},
        {"ucFocusMode", "1"},      {"ucAFScene", "2"},          {"ucAFArea", "3"},
        {"ucFocusDistanceMin", "4"}, {"ucAFSen", "5"},          {"eNightMode", "1"},
        {"ucNightDayChnSensity", "7"}, {"uc2DNR", "20"},        {"uc3DNR", "21"},
        {"uDpSlope", "22"},        {"ucDefogMode", "1"},        {"ucDelFogClass", "3"},
        {"ucGammaVal", "2"},       {"u32AIAe", "1"},            {"u32AIFocus", "0"},
        {"ucCamCorrection", "1"},  {"bHorzInvert", "1"},        {"bVertInvert", "0"},
        {"ucRotation", "1"},       {"eSceneMode", "2"},         {"ucDigitalZoom", "8"},
        {"u32Lut", "1"},
    };
}

}  // namespace protocol_test
