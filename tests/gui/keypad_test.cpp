// KvorClientSP as a user meets it: the program runs in this process on the
// offscreen platform against a private cehost with the real driver, and a
// scripted user steps the spin boxes with the arrow keys and presses the soft
// keys.
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

#include "gui_support.h"
#include "settings.h"
#include "unknown_settings.h"

extern HWND MenuBar;  // the program's soft-key bar

using namespace guitest;
using namespace hosttest;

namespace {

constexpr int kStatus = 118;
const int kLists[] = {119, 121, 123, 125, 127, 129, 131};

HWND keypad() {
    HWND d = FindWindowW(u"Dialog", u"KvorClient");
    return d && IsWindowVisible(d) ? d : nullptr;
}

QString shown(HWND d, int id) {
    auto* list = dynamic_cast<QListWidget*>(widget(d, id));
    return list && list->currentItem() ? list->currentItem()->text() : QString();
}

void press(HWND d, int id, Qt::Key key) { QTest::keyClick(widget(d, id), key); }

void soft_key(int index) { QTest::mouseClick(ceui::soft_key(MenuBar, index), Qt::LeftButton); }

class Keypad : public ProgramTest {};

TEST_F(Keypad, FirstStartShowsTheDefaultsAndQuitStoresWhatTheUserStepped) {
    User user;
    user.then("the keypad dialog",
              [] {
                  HWND d = keypad();
                  if (!d) return false;
                  EXPECT_EQ(item_text(d, kStatus), u"TMC DRIVER INACTIVE");
                  const char* defaults[] = {"COM9:",       "CCIR 87.5-108 MHz", "TMC Data", "Speaker",
                                            "Tuned sound", "Not Logged",        "Royaltek"};
                  for (size_t i = 0; i < 7; i++) {
                      EXPECT_EQ(shown(d, kLists[i]), QString::fromLatin1(defaults[i]));
                      EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, kLists[i])));
                  }
                  screenshot(d, "kvorclientsp.png");
                  return true;
              })
        .then("step the lists",
              [] {
                  HWND d = keypad();
                  press(d, 119, Qt::Key_Right);  // COM9: wraps to COM0:
                  press(d, 121, Qt::Key_Right);  // Japan
                  press(d, 121, Qt::Key_Right);  // World
                  press(d, 131, Qt::Key_Left);   // Royaltek wraps to GNS
                  // The up-down's right arrow steps the data list as the key does.
                  auto arrows = widget(d, 134)->findChildren<QToolButton*>();
                  EXPECT_EQ(arrows.size(), 2);
                  for (auto* arrow : arrows) {
                      if (arrow->arrowType() == Qt::RightArrow) QTest::mouseClick(arrow, Qt::LeftButton);
                  }
                  EXPECT_EQ(shown(d, 119), "COM0:");
                  EXPECT_EQ(shown(d, 123), "TMC + GPS Data");
                  // Stepping alone stores nothing.
                  EXPECT_EQ(stored_setting(u"Band"), 0xFFFFFFFFu);
                  return true;
              })
        .then("Quit", [] {
            soft_key(1);
            return true;
        });
    EXPECT_EQ(run(user), 102);
    EXPECT_EQ(stored_setting(u"Index"), 0u);
    EXPECT_EQ(stored_setting(u"Band"), 2u);
    EXPECT_EQ(stored_setting(u"Data"), 1u);
    EXPECT_EQ(stored_setting(u"Protocol"), 1u);
    EXPECT_EQ(stored_setting(u"Order"), 9u);
    EXPECT_EQ(stored_setting(u"Frequency"), 0xFFFFFFFFu);
}

TEST_F(Keypad, TmcSavesAndLoadsTheDriverAClientReadsTmcAndTmcAgainUnloads) {
    // A TMC station where the driver starts when it has never stored a frequency.
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "synthetic", "D313", "tmc"}).status, 0);
    std::string received;
    User user;
    user.then("the keypad dialog", [] { return keypad() != nullptr; })
        .then("TMC",
              [] {
                  HWND d = keypad();
                  soft_key(0);
                  EXPECT_EQ(item_text(d, kStatus), u"TMC DRIVER ACTIVE");
                  for (int id : kLists) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, id)));
                  screenshot(d, "kvorclientsp-active.png");
                  return true;
              })
        .then("a navigation program reads TMC from COM9:",
              [&] {
                  HANDLE port =
                      CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                  EXPECT_NE(port, INVALID_HANDLE_VALUE);
                  if (port == INVALID_HANDLE_VALUE) return true;
                  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                  while (received.find("$RTTMC") == std::string::npos && std::chrono::steady_clock::now() < until) {
                      char buffer[1024];
                      DWORD got = 0;
                      if (ReadFile(port, buffer, sizeof buffer, &got, nullptr)) received.append(buffer, got);
                  }
                  CloseHandle(port);
                  return true;
              })
        .then("TMC again", [] {
            HWND d = keypad();
            soft_key(0);
            EXPECT_EQ(item_text(d, kStatus), u"TMC DRIVER INACTIVE");
            for (int id : kLists) EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, id)));
            EXPECT_FALSE(driver_loaded());
            soft_key(1);
            return true;
        });
    EXPECT_EQ(run(user), 102);
    EXPECT_NE(received.find("$RTTMC"), std::string::npos) << received.substr(0, 400);
    EXPECT_EQ(stored_setting(u"Index"), 9u);  // saved before the load
}

TEST_F(Keypad, AStartWithTheDriverLoadedShowsItActiveAndQuitStoresNothing) {
    set_dword(u"Drivers\\Tervalon", u"Band", 2);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Dll", "sz", "\\Windows\\Tervalon.dll"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Prefix", "sz", "COM"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Index", "dword", "9"}).status, 0);
    ASSERT_EQ(cectl({"activate", "Drivers\\Tervalon"}).status, 0);
    User user;
    user.then("the keypad dialog", [] {
        HWND d = keypad();
        if (!d) return false;
        EXPECT_EQ(item_text(d, kStatus), u"TMC DRIVER ACTIVE");
        EXPECT_EQ(shown(d, 121), "World 76-108MHz");
        for (int id : kLists) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, id)));
        // Neither the keys nor the arrows change a disabled list.
        press(d, 121, Qt::Key_Right);
        for (auto* arrow : widget(d, 133)->findChildren<QToolButton*>()) QTest::mouseClick(arrow, Qt::LeftButton);
        EXPECT_EQ(shown(d, 121), "World 76-108MHz");
        // Someone else changes the band meanwhile; an active driver's lists are never saved over it.
        set_dword(u"Drivers\\Tervalon", u"Band", 1);
        soft_key(1);
        return true;
    });
    EXPECT_EQ(run(user), 102);
    EXPECT_EQ(stored_setting(u"Band"), 1u);
    EXPECT_TRUE(driver_loaded());  // ending the program leaves the driver loaded
}

TEST_F(Keypad, ASecondStartBringsTheFirstForwardAndExitsZero) {
    HWND first = nullptr;
    std::thread second;
    std::atomic<int> second_status{-1};
    User user;
    user.then("the keypad dialog", [&] { return (first = keypad()) != nullptr; })
        .then("a second start",
              [&] {
                  second = std::thread([&] {
                      second_status = hosttest::run({bin("KvorClientSP"), "--root", ce::root()}).status;
                  });
                  return true;
              })
        .then("the second start ends", [&] { return second_status.load() != -1; })
        .then("Quit", [&] {
            EXPECT_EQ(second_status.load(), 0);
            EXPECT_EQ(GetForegroundWindow(), first);
            soft_key(1);
            return true;
        });
    EXPECT_EQ(run(user), 102);
    if (second.joinable()) second.join();
}

// A failed load is told in a message box; a stored value outside a list's
// entries selects nothing there and survives the save.
TEST_F(Keypad, AFailedLoadShowsTheErrorAndAnUnknownSettingSurvivesTheSave) {
    static std::vector<std::u16string> boxes;
    boxes.clear();
    ce::set_message_box_hook([](HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
        boxes.push_back(std::u16string(caption) + u"|" + text + u"|" + ce::widen(std::to_string(type)));
        return IDOK;
    });
    set_dword(u"Drivers\\Tervalon", u"Band", 7);
    for (const char* lib : {"/Windows/Tervalon.dll", "/Windows/libTervalon.so"})
        std::remove((ce::root() + lib).c_str());
    User user;
    user.then("the keypad dialog", [] {
        HWND d = keypad();
        if (!d) return false;
        EXPECT_EQ(SendDlgItemMessageW(d, 121, LB_GETCURSEL, 0, 0), LB_ERR);
        soft_key(0);
        EXPECT_EQ(item_text(d, kStatus), u"TMC DRIVER INACTIVE");
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, 121)));
        soft_key(1);
        return true;
    });
    EXPECT_EQ(run(user), 102);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"ERROR|Cannot load driver.\r\nTry installing ralvexcert.cab \r\nor another COM port.|16");
    EXPECT_EQ(stored_setting(u"Band"), 7u);
}

INSTANTIATE_TEST_SUITE_P(ControlProgram, UnknownSettings,
                         ::testing::Values(SettingsProgram{"KvorClientSP", keypad, [](HWND) { soft_key(0); },
                                                           [](HWND) { soft_key(1); }, 102, kStatus}));

}  // namespace

namespace {

// Driven without a mouse, from another process, as docs/usage.md shows: the
// program that ends on the command still answers it.
TEST_F(Keypad, CommandsSentFromAnotherProcessAreAnsweredEvenByTheQuitThatEndsTheProgram) {
    pid_t program = -1;
    std::string path = bin("KvorClientSP"), root_arg = ce::root();
    char* argv[] = {path.data(), const_cast<char*>("--root"), root_arg.data(), nullptr};
    ASSERT_EQ(posix_spawn(&program, argv[0], nullptr, nullptr, argv, environ), 0);
    std::string h;
    ASSERT_TRUE(eventually(
        [&] {
            for (const auto& line : lines_of(cectl({"window", "list"}).out)) {
                if (line.find("\tDialog\tKvorClient\t" + std::to_string(program)) != std::string::npos)
                    h = line.substr(0, line.find('\t'));
            }
            return !h.empty();
        },
        30));
    EXPECT_EQ(cectl({"window", "text", h, "118"}).out, "TMC DRIVER INACTIVE\n");
    RunResult tmc = cectl({"window", "send", h, "273", "101"});
    EXPECT_EQ(tmc.status, 0);
    EXPECT_EQ(cectl({"window", "text", h, "118"}).out, "TMC DRIVER ACTIVE\n");
    RunResult quit = cectl({"window", "send", h, "273", "102"});
    EXPECT_EQ(quit.status, 0);
    EXPECT_EQ(quit.out, "0\n");
    int status = 0;
    waitpid(program, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 102) << status;
    EXPECT_TRUE(driver_loaded());
}

}  // namespace
