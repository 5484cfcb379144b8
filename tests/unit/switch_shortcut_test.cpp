// The shortcut "NavApp.lnk" as Kvor_Switch reads it: the usual quoted form,
// arguments after the closing quote, line ends, no quotes, nothing.
#include <gtest/gtest.h>

#include <string>

#include "ce_platform.h"
#include "shortcut.h"

namespace {

struct Case {
    const char* name;
    std::string text;
    std::u16string path;
    std::u16string arguments;
};

class Shortcut : public ::testing::TestWithParam<Case> {};

TEST_P(Shortcut, GivesThePathAndTheArguments) {
    const Case& c = GetParam();
    WCHAR path[NAVIGATION_CHARS], arguments[NAVIGATION_CHARS];
    ParseShortcut(c.text.c_str(), path, arguments);
    EXPECT_EQ(std::u16string(path), c.path);
    EXPECT_EQ(std::u16string(arguments), c.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Shortcut,
    ::testing::Values(Case{"Quoted", "29#\"\\Program Files\\Nav\\nav.exe\"", u"\\Program Files\\Nav\\nav.exe", u""},
                      Case{"QuotedWithCrLf", "10#\"\\nav.sh\"\r\n", u"\\nav.sh", u""},
                      Case{"Arguments", "20#\"\\nav.sh\" --map  eu \r\n", u"\\nav.sh", u"--map  eu"},
                      Case{"OnlyTheFirstLineHasArguments", "9#\"\\nav\" -a\r\nsecond line\n", u"\\nav", u"-a"},
                      Case{"NoClosingQuote", "9#\"\\nav.sh\r\n", u"\\nav.sh", u""},
                      Case{"Unquoted", "12#\\Nav\\nav.sh\r\n", u"\\Nav\\nav.sh", u""},
                      Case{"UnquotedWithoutNumberSign", "\\nav.sh\n", u"\\nav.sh", u""}, Case{"Empty", "", u"", u""},
                      Case{"Utf8", "#\"\\Navigación\\nav\"", u"\\Navigaci\u00f3n\\nav", u""},
                      Case{"TooLongIsCut", "#\"\\" + std::string(400, 'a') + "\"",
                           u"\\" + std::u16string(NAVIGATION_CHARS - 2, u'a'), u""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
