// The Group Policy templates against the values the log reads: each setting
// in policy/Quorvex.admx writes one of kPolicyValues, as a machine policy
// under kPolicyKeyPath, with the type and the range the log accepts, and each
// of kPolicyValues has a setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "logging/log_policy.h"
#include "support/temp_directory.h"

namespace quorvex::test {
namespace {

std::string Narrow(const wchar_t* text) { return std::string(text, text + std::wcslen(text)); }

std::string Attribute(const std::string& tag, const std::string& name)
{
    const std::regex attribute("\\s" + name + "=\"([^\"]*)\"");
    std::smatch match;
    return std::regex_search(tag, match, attribute) ? match[1].str() : std::string();
}

std::string Levels(int lowest, int highest)
{
    return "level " + std::to_string(lowest) + "-" + std::to_string(highest);
}

// An enum's values as a range when they are one ("level 0-4"), else listed.
std::string Levels(const std::vector<int>& values)
{
    for (size_t i = 1; i < values.size(); ++i) {
        if (values[i] != values[0] + static_cast<int>(i)) {
            std::string listed = "level";
            for (int value : values) listed += " " + std::to_string(value);
            return listed;
        }
    }
    return values.empty() ? "level (none)" : Levels(values.front(), values.back());
}

// "<class> <key> text" or "<class> <key> level 0-4" per value name.
std::map<std::string, std::string> ValuesTheLogReads()
{
    const std::string where = "Machine " + Narrow(kPolicyKeyPath) + " ";
    std::map<std::string, std::string> values;
    for (const PolicyValue& value : kPolicyValues) {
        const std::string name = (value.perModule ? std::string(kModuleLogName) : std::string()) + Narrow(value.name);
        values[name] = where + (value.data == PolicyData::Text ? "text" : Levels(0, kHighestLogLevel));
    }
    return values;
}

// The same from the template's tags, read one by one (the elements of a
// policy follow its own tag; an enum's values follow the enum's tag).
std::map<std::string, std::string> ValuesTheTemplateWrites(const std::string& admx)
{
    std::map<std::string, std::string> values;
    std::string where;
    std::string currentEnum;
    std::vector<int> enumValues;
    const std::regex tags("<[^>]*>");
    for (std::sregex_iterator it(admx.begin(), admx.end(), tags), end; it != end; ++it) {
        const std::string tag = it->str();
        const std::string type = tag.substr(1, tag.find_first_of(" \t\r\n/>", 2) - 1);
        const std::string valueName = Attribute(tag, "valueName");
        if (type == "policy") {
            where = Attribute(tag, "class") + " " + Attribute(tag, "key") + " ";
            // A value of the policy's own (enabledValue/disabledValue): none of the log's.
            if (!valueName.empty()) values[valueName] = where + "policy";
        } else if (type == "enum") {
            currentEnum = valueName;
            enumValues.clear();
        } else if (type == "/enum") {
            std::sort(enumValues.begin(), enumValues.end());
            values[currentEnum] = where + Levels(enumValues);
            currentEnum.clear();
        } else if (type == "decimal" && !currentEnum.empty()) {
            enumValues.push_back(std::stoi(Attribute(tag, "value")));
        } else if (type == "decimal" && !valueName.empty()) {
            // An ADMX decimal is bounded by 0 and 9999 unless it says otherwise.
            const std::string lowest = Attribute(tag, "minValue"), highest = Attribute(tag, "maxValue");
            values[valueName] = where + Levels(lowest.empty() ? 0 : std::stoi(lowest),
                                               highest.empty() ? 9999 : std::stoi(highest));
        } else if (!valueName.empty()) {
            values[valueName] = where + type;
        }
    }
    return values;
}

TEST(PolicyTemplates, OfferExactlyTheValuesTheLogReads)
{
    std::string path = "Z:" QUORVEX_SOURCE_DIR "/policy/Quorvex.admx";
    for (char& c : path) c = c == '/' ? '\\' : c;
    const std::string admx = ReadFileBytes(path);
    ASSERT_FALSE(admx.empty()) << path;
    EXPECT_EQ(ValuesTheTemplateWrites(admx), ValuesTheLogReads());
}

}  // namespace
}  // namespace quorvex::test
