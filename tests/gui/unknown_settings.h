// Stored settings outside the lists' entries (a log mode the lists do not
// offer, a band or protocol of another version) as both control programs meet
// them: the lists select nothing there, and a user who loads and unloads the
// driver and ends the program without touching a list keeps every one of them,
// and the driver's log with them. Each program's test instantiates it.
#pragma once

#include <ostream>

#include "gui_support.h"

namespace guitest {

// A control program's settings dialog and the presses of its buttons.
struct SettingsProgram {
    const char* name;
    HWND (*dialog)();  // the settings dialog once it shows, else null
    void (*tmc)(HWND dialog);
    void (*end)(HWND dialog);  // Quit or Exit
    int end_result;
    int status_id;
};

inline void PrintTo(const SettingsProgram& program, std::ostream* out) { *out << program.name; }

class UnknownSettings : public ProgramTest, public ::testing::WithParamInterface<SettingsProgram> {};

TEST_P(UnknownSettings, SurviveTmcTmcAndTheEndAndTheLogStays) {
    // A value outside every list but the port's (the driver takes COM0: to
    // COM9: only), and LogMode 3 (data and events), which the driver knows and
    // the lists do not show.
    const std::pair<const char16_t*, DWORD> stored[] = {{u"Index", 4}, {u"Band", 7},    {u"Data", 9},    {u"Sound", 2},
                                                        {u"Mute", 4},  {u"LogMode", 3}, {u"Protocol", 5}};
    for (auto [name, value] : stored) hosttest::set_dword(u"Drivers\\Tervalon", name, value);
    std::string log = ce::root() + "/Tervalon.log";
    std::ofstream(log) << "an earlier session\n";

    // A refused load would show its box and leave the lists as they were.
    static std::vector<std::u16string> boxes;
    boxes.clear();
    ce::set_message_box_hook([](HWND, LPCWSTR text, LPCWSTR, UINT) {
        boxes.push_back(text);
        return IDOK;
    });

    const SettingsProgram& program = GetParam();
    User user;
    user.then("TMC in the settings dialog", [&] {
        HWND d = program.dialog();
        if (!d) return false;
        program.tmc(d);
        EXPECT_EQ(item_text(d, program.status_id), u"TMC DRIVER ACTIVE");
        return true;
    });
    user.then("TMC again", [&] {
        HWND d = program.dialog();
        program.tmc(d);
        EXPECT_EQ(item_text(d, program.status_id), u"TMC DRIVER INACTIVE");
        return true;
    });
    user.then("the end", [&] {
        program.end(program.dialog());
        return true;
    });
    EXPECT_EQ(run(user), program.end_result);
    EXPECT_TRUE(boxes.empty()) << hosttest::host_log();
    for (auto [name, value] : stored) EXPECT_EQ(stored_setting(name), value) << ce::narrow(name);
    EXPECT_EQ(hosttest::read_file(log).rfind("an earlier session\n", 0), 0u);
}

}  // namespace guitest
