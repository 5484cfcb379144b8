// KvorClient as a user meets it: the program runs in this process on the
// offscreen platform against a private cehost with the real driver (its log
// shows every byte the test dialog writes), and a scripted user picks from
// the lists, presses the buttons and goes through the soft-key menu.
#include <QAbstractItemView>
#include <QComboBox>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <atomic>

#include "gui_support.h"
#include "kvor_client.h"
#include "resource.h"
#include "settings.h"
#include "unknown_settings.h"

using namespace guitest;
using namespace hosttest;

namespace {

const int kLists[] = {IDC_PORT, IDC_BAND, IDC_DATA, IDC_SOUND, IDC_MUTE, IDC_LOGMODE, IDC_PROTOCOL};

HWND dialog(const char16_t* title) {
    HWND d = FindWindowW(u"Dialog", title);
    return d && IsWindowVisible(d) ? d : nullptr;
}
HWND main_dialog() { return dialog(u"Tervalon"); }
HWND test_dialog() { return dialog(u"TMC Test"); }

QString shown(HWND d, int id) { return dynamic_cast<QComboBox*>(widget(d, id))->currentText(); }
void click(HWND d, int id) { QTest::mouseClick(widget(d, id), Qt::LeftButton); }

// The title bar's OK, as the shell shows it.
void press_ok(HWND d) {
    for (auto* b : ceui::widget_of(d)->findChildren<QPushButton*>()) {
        if (b->text() == "ok") QTest::mouseClick(b, Qt::LeftButton);
    }
}

// Opens the soft-key menu and chooses an entry: from the loop, since both the
// menu and what the entry opens run loops of their own.
void choose_from_menu(const QString& entry) {
    later([] { QTest::mouseClick(ceui::soft_key(MainMenuBar, 1), Qt::LeftButton); });
    later([entry] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* a : menu->actions()) {
                if (a->text() == entry)
                    later([a, menu] {
                        menu->close();
                        a->trigger();
                    });
            }
        }
    });
}

std::string driver_log() { return read_file(ce::root() + "/Tervalon.log"); }
bool driver_got(const std::string& bytes) { return driver_log().find("RECV:" + bytes) != std::string::npos; }

std::u16string nmea(const std::string& body) { return ce::widen(cetest::nmea_sentence(body) + "\r\n"); }

class KvorClientTest : public ProgramTest {
protected:
    // The settings a test wants, then the driver loaded from them.
    void load_driver(DWORD protocol, DWORD band = 0) {
        set_sz(u"Drivers\\Tervalon", u"Dll", u"\\Windows\\Tervalon.dll");
        set_sz(u"Drivers\\Tervalon", u"Prefix", u"COM");
        set_dword(u"Drivers\\Tervalon", u"Index", 9);
        set_dword(u"Drivers\\Tervalon", u"Protocol", protocol);
        set_dword(u"Drivers\\Tervalon", u"Band", band);
        set_dword(u"Drivers\\Tervalon", u"LogMode", 1);
        ASSERT_EQ(cectl({"activate", "Drivers\\Tervalon"}).status, 0);
    }
};

TEST_F(KvorClientTest, FirstStartShowsTheDefaultsAndExitStoresTheUsersChoice) {
    User user;
    user.then("the main dialog", [] {
        HWND d = main_dialog();
        if (!d) return false;
        EXPECT_EQ(item_text(d, IDC_STATUS), u"TMC DRIVER INACTIVE");
        const char* defaults[] = {"COM9:",       "CCIR 87.5-108 MHz", "TMC Data", "Speaker",
                                  "Tuned sound", "Not Logged",        "Royaltek"};
        for (size_t i = 0; i < 7; i++) {
            EXPECT_EQ(shown(d, kLists[i]), QString::fromLatin1(defaults[i]));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, kLists[i])));
        }
        screenshot(d, "kvorclient.png");
        QTest::keyClick(widget(d, IDC_BAND), Qt::Key_Down);                 // Japan
        QTest::keyClick(widget(d, IDC_PROTOCOL), Qt::Key_Down);             // GNS
        EXPECT_EQ(stored_setting(u"Band"), 0xFFFFFFFFu);                    // choosing alone stores nothing
        QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);  // Exit
        return true;
    });
    EXPECT_EQ(run(user), 0);
    EXPECT_EQ(stored_setting(u"Band"), 1u);
    EXPECT_EQ(stored_setting(u"Protocol"), 1u);
    EXPECT_EQ(stored_setting(u"Index"), 9u);
    EXPECT_EQ(stored_setting(u"Order"), 9u);
}

// About and Test save the lists first; Test without a loaded driver tells so
// and returns; TMC loads and unloads.
TEST_F(KvorClientTest, AboutAndTestSaveFirstAndTmcLoadsAndUnloads) {
    static std::vector<std::u16string> boxes;
    boxes.clear();
    ce::set_message_box_hook([](HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
        boxes.push_back(std::u16string(caption) + u"|" + text + u"|" + ce::widen(std::to_string(type)));
        return IDOK;
    });
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; })
        .then("About",
              [] {
                  QTest::keyClick(widget(main_dialog(), IDC_MUTE), Qt::Key_Down);
                  choose_from_menu("About");
                  return true;
              })
        .then("the about box",
              [] {
                  HWND about = dialog(u"About KvorClient");
                  if (!about) return false;
                  EXPECT_EQ(stored_setting(u"Mute"), 1u);
                  screenshot(about, "kvorclient-about.png");
                  press_ok(about);
                  return true;
              })
        .then("Test with the driver unloaded",
              [] {
                  if (!main_dialog()) return false;
                  QTest::keyClick(widget(main_dialog(), IDC_SOUND), Qt::Key_Down);
                  choose_from_menu("Test");
                  return true;
              })
        .then("the port error, back in the main dialog", [] {
            if (boxes.empty() || !main_dialog()) return false;
            EXPECT_EQ(stored_setting(u"Sound"), 1u);
            EXPECT_EQ(test_dialog(), nullptr);
            click(main_dialog(), IDC_TMC);
            EXPECT_EQ(item_text(main_dialog(), IDC_STATUS), u"TMC DRIVER ACTIVE");
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main_dialog(), IDC_BAND)));
            EXPECT_TRUE(driver_loaded());
            click(main_dialog(), IDC_TMC);
            EXPECT_EQ(item_text(main_dialog(), IDC_STATUS), u"TMC DRIVER INACTIVE");
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main_dialog(), IDC_BAND)));
            EXPECT_FALSE(driver_loaded());
            press_ok(main_dialog());
            return true;
        });
    EXPECT_EQ(run(user), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"ERROR|Cannot open COM port.\r\nIs the driver loaded?|16");
}

TEST_F(KvorClientTest, AStartWithTheDriverLoadedShowsDisabledListsAndASecondStartBringsItForward) {
    load_driver(0);
    std::thread second;
    std::atomic<int> second_status{-1};
    User user;
    user.then("the main dialog",
              [&] {
                  HWND d = main_dialog();
                  if (!d) return false;
                  EXPECT_EQ(item_text(d, IDC_STATUS), u"TMC DRIVER ACTIVE");
                  for (int id : kLists) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, id)));
                  second = std::thread([&] {
                      second_status = hosttest::run({bin("KvorClient"), "--root", ce::root()}).status;
                  });
                  return true;
              })
        .then("the second start ends", [&] { return second_status.load() != -1; })
        .then("Exit", [&] {
            EXPECT_EQ(second_status.load(), 0);
            EXPECT_EQ(GetForegroundWindow(), MainWindow);
            QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
            return true;
        });
    EXPECT_EQ(run(user), 0);
    if (second.joinable()) second.join();
    EXPECT_TRUE(driver_loaded());
}

// On a desktop the program is one screen: the soft key's menu, the last
// list's drop-down and a message box all lie on it, and closing the screen
// while the about box is open ends the program as Exit does.
TEST_F(KvorClientTest, MenusDropDownsAndMessageBoxesStayOnTheScreenAndClosingItEndsTheProgram) {
    static int answer = 0;
    static const char16_t* kLongText =
        u"The port cannot be opened: the driver is not loaded, or the port is another one's.";
    auto on_screen = [](QWidget* w) {
        QRect area = screen_rect(main_dialog());
        QRect place(w->mapToGlobal(QPoint(0, 0)), w->size());
        EXPECT_TRUE(area.contains(place))
            << "at " << place.x() << "," << place.y() << " " << place.width() << "x" << place.height();
    };
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; });
    user.then("the last list's drop-down", [&] {
        auto* protocol = dynamic_cast<QComboBox*>(widget(main_dialog(), IDC_PROTOCOL));
        protocol->showPopup();
        EXPECT_TRUE(protocol->view()->isVisible());
        on_screen(protocol->view()->window());
        protocol->hidePopup();
        later([] { QTest::mouseClick(ceui::soft_key(MainMenuBar, 1), Qt::LeftButton); });
        return true;
    });
    user.then("the soft key's menu", [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return false;
        on_screen(menu);
        screenshot(main_dialog(), "kvorclient-menu.png");
        menu->close();
        later([] { answer = MessageBoxW(main_dialog(), kLongText, u"ERROR", MB_OKCANCEL | MB_ICONHAND); });
        return true;
    });
    user.then("the message box", [&] {
        // The screen's focus (where its keys go) is on the box's first button.
        auto* ok = qobject_cast<QPushButton*>(ceui::widget_of(main_dialog())->window()->focusWidget());
        if (!ok || ok->text() != "OK") return false;
        on_screen(ok->window());
        on_screen(ok->parentWidget());
        QTest::mouseClick(ok, Qt::LeftButton);
        return true;
    });
    user.then("About", [] {
        if (answer != IDOK) return false;
        QTest::keyClick(widget(main_dialog(), IDC_BAND), Qt::Key_Down);  // Japan
        choose_from_menu("About");
        return true;
    });
    user.then("the desktop closes the screen", [] {
        HWND about = dialog(u"About KvorClient");
        if (!about) return false;
        // The keys go to the window on top, and Tab stays in it.
        QWidget* beneath = ceui::widget_of(main_dialog());
        QWidget* screen = beneath->window();
        EXPECT_FALSE(beneath->isAncestorOf(screen->focusWidget()));
        QTest::keyClick(screen->focusWidget(), Qt::Key_Tab);
        EXPECT_FALSE(beneath->isAncestorOf(screen->focusWidget()));
        ceui::widget_of(about)->window()->close();
        return true;
    });
    EXPECT_EQ(run(user), 0);
    EXPECT_EQ(stored_setting(u"Band"), 1u);
}

INSTANTIATE_TEST_SUITE_P(ControlProgram, UnknownSettings,
                         ::testing::Values(SettingsProgram{
                             "KvorClient", main_dialog, [](HWND d) { click(d, IDC_TMC); },
                             [](HWND) { QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton); }, 0,
                             IDC_STATUS}));

// ---- the dialogs the main dialog opens take the whole program -----------------------------------

// While the test dialog or the about box is open, the main dialog takes no
// input: neither a click on TMC or Exit nor a command posted to it unloads the
// driver under the test dialog's open port or ends the program. A command
// posted to the open dialog after the main dialog's shows when that one has
// been handled.
TEST_F(KvorClientTest, WhileTestOrAboutIsOpenTheMainDialogTakesNoInput) {
    load_driver(0);
    auto click_tmc_and_exit = [] {
        click(main_dialog(), IDC_TMC);
        EXPECT_TRUE(driver_loaded());
        QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
        EXPECT_NE(main_dialog(), nullptr);
        PostMessageW(main_dialog(), WM_COMMAND, MAKEWPARAM(IDC_TMC, 0), 0);
    };
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; });
    user.then("Test", [] {
        choose_from_menu("Test");
        return true;
    });
    user.then("TMC and Exit clicked, TMC posted, under the test dialog", [&] {
        HWND t = test_dialog();
        if (!t) return false;
        click_tmc_and_exit();
        PostMessageW(t, WM_COMMAND, MAKEWPARAM(IDC_STEP_UP, BN_CLICKED), 0);
        return true;
    });
    user.then("the step posted after them", [] {
        if (item_text(test_dialog(), IDC_SEND_LOG) != u"$PSRF123,1,0*26\r\n") return false;
        EXPECT_TRUE(driver_loaded());
        EXPECT_EQ(item_text(main_dialog(), IDC_STATUS), u"TMC DRIVER ACTIVE");
        press_ok(test_dialog());
        return true;
    });
    user.then("About", [] {
        if (!main_dialog() || test_dialog()) return false;
        choose_from_menu("About");
        return true;
    });
    user.then("TMC and Exit clicked, TMC posted, under the about box", [&] {
        HWND about = dialog(u"About KvorClient");
        if (!about) return false;
        click_tmc_and_exit();
        PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return true;
    });
    user.then("the about box closed after them", [] {
        if (dialog(u"About KvorClient") || !main_dialog()) return false;
        EXPECT_TRUE(driver_loaded());
        EXPECT_EQ(item_text(main_dialog(), IDC_STATUS), u"TMC DRIVER ACTIVE");
        QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
        return true;
    });
    EXPECT_EQ(run(user), 0);
    EXPECT_TRUE(driver_loaded());
}

// ---- the driver unloaded under the test dialog ----------------------------------------------------

std::atomic<long> g_port_reads{0};
BOOL CountedRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    g_port_reads++;
    return ReadFile(file, buffer, size, read, overlapped);
}

// A port that is gone is not read in a loop: the reads come at most about one
// a second of platform time, the indicator stops and says the port is gone,
// and the dialog still closes.
TEST_F(KvorClientTest, ADriverUnloadedUnderTheTestDialogIsNotReadInALoop) {
    load_driver(0);
    g_port_reads = 0;
    ReadPort = CountedRead;
    long reads_before = 0;
    DWORD window_start = 0;
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; });
    user.then("Test", [] {
        choose_from_menu("Test");
        return true;
    });
    user.then("the receiver's status, then the driver unloaded", [&] {
        HWND t = test_dialog();
        if (!t || item_text(t, IDC_RECEIVE_LOG).find(u"$RTRDS") == std::u16string::npos) return false;
        std::string handle;
        for (const std::string& line : lines_of(cectl({"devices"}).out)) {
            if (line.rfind("COM9:\t", 0) == 0) handle = line.substr(line.rfind('\t') + 1);
        }
        EXPECT_EQ(cectl({"deactivate", handle}).status, 0);
        reads_before = g_port_reads;
        window_start = GetTickCount();
        return true;
    });
    user.then("ten seconds of platform time", [&] {
        DWORD elapsed = GetTickCount() - window_start;
        if (elapsed < 10000) return false;
        long reads = g_port_reads - reads_before;
        EXPECT_LE(reads, static_cast<long>(elapsed / 1000) + 2) << "over " << elapsed << " ms";
        HWND t = test_dialog();
        EXPECT_EQ(item_text(t, IDC_INDICATOR), u"No port");
        EXPECT_NE(item_text(t, IDC_RECEIVE_LOG).find(u"Port lost. Is the driver loaded?\r\n"), std::u16string::npos);
        press_ok(t);
        return true;
    });
    user.then("back in the main dialog", [] {
        if (!main_dialog() || test_dialog()) return false;
        QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
        return true;
    });
    EXPECT_EQ(run(user), 0);
    ReadPort = ReadFile;
}

// ---- the test dialog, GNS --------------------------------------------------------------------

TEST_F(KvorClientTest, GnsButtonsWriteTheirSevenBytesAndWrapAtTheBandEdges) {
    load_driver(1);
    auto sent = [] { return item_text(test_dialog(), IDC_SEND_LOG); };
    auto field = [] { return item_text(test_dialog(), IDC_FREQUENCY); };
    auto type = [](const char16_t* text) {
        SetDlgItemTextW(test_dialog(), IDC_FREQUENCY, u"");
        QTest::keyClicks(widget(test_dialog(), IDC_FREQUENCY), QString::fromUtf16(text));
    };
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; })
        .then("Test",
              [] {
                  choose_from_menu("Test");
                  return true;
              })
        // Frequency was never stored (100): the receiver starts at the band's upper limit.
        .then("the start command and the driver's answer",
              [&] {
                  HWND t = test_dialog();
                  if (!t || field() != u"108.0") return false;
                  EXPECT_TRUE(driver_got("FF 46 CD 78 46 0D 0A "));
                  EXPECT_FALSE(IsWindowVisible(GetDlgItem(t, IDC_AUTO)));
                  EXPECT_FALSE(IsWindowVisible(GetDlgItem(t, IDC_LEVEL)));
                  EXPECT_TRUE(IsWindowVisible(GetDlgItem(t, IDC_SEEK_DOWN)));
                  click(t, IDC_STEP_UP);  // 108.1 wraps to 87.5
                  EXPECT_EQ(sent(), u"FF 46 00 78 46 0D 0A \r\n");
                  EXPECT_EQ(field(), u" ..>");
                  return true;
              })
        .then("87.5 shown after the answer",
              [&] {
                  if (field() != u"87.5") return false;
                  click(test_dialog(), IDC_STEP_DOWN);  // 87.4 wraps to 108.0
                  return true;
              })
        // Each command once the answer to the one before is shown.
        .then("Set 120.0",
              [&] {
                  if (field() != u"108.0") return false;
                  type(u"120.0");  // above the band: its lower limit
                  click(test_dialog(), IDC_SET);
                  EXPECT_EQ(field(), u" ...");
                  return true;
              })
        .then("Set 80.0",
              [&] {
                  if (field() != u"87.5") return false;
                  type(u"80.0");  // below: its upper limit
                  click(test_dialog(), IDC_SET);
                  return true;
              })
        .then("Set 90.1",
              [&] {
                  if (field() != u"108.0") return false;
                  type(u"90.1");
                  click(test_dialog(), IDC_SET);
                  return true;
              })
        .then("seek down from 87.5",
              [&] {
                  if (field() != u"90.1") return false;
                  type(u"87.5");  // seeking down from 87.5 starts at the upper limit
                  click(test_dialog(), IDC_SEEK_DOWN);
                  return true;
              })
        .then("seek up from 108.0",
              [&] {
                  std::u16string f = field();
                  if (f.empty() || f[0] == u' ') return false;  // the seek's end shown
                  type(u"108.0");                               // and up from 108.0 at the lower one
                  click(test_dialog(), IDC_SEEK_UP);
                  EXPECT_EQ(field(), u" ..>");
                  return true;
              })
        .then("every command as written",
              [&] {
                  std::u16string f = field();
                  if (f.empty() || f[0] == u' ') return false;
                  EXPECT_EQ(sent(),
                            u"FF 46 00 78 46 0D 0A \r\nFF 46 CD 78 46 0D 0A \r\n"
                            u"FF 46 00 78 46 0D 0A \r\nFF 46 CD 78 46 0D 0A \r\nFF 46 1A 78 46 0D 0A \r\n"
                            u"FF 78 CD 01 78 0D 0A \r\nFF 79 00 01 79 0D 0A \r\n");
                  for (const char* bytes : {"FF 46 1A 78 46 0D 0A ", "FF 78 CD 01 78 0D 0A ", "FF 79 00 01 79 0D 0A "})
                      EXPECT_TRUE(driver_got(bytes)) << bytes;
                  return true;
              })
        // 90.0 carries TMC in the default air: the indicator shows RDS, then TMC.
        .then("tuned to the TMC station",
              [&] {
                  type(u"90.0");
                  click(test_dialog(), IDC_SET);
                  return true;
              })
        .then("TMC",
              [&] {
                  if (item_text(test_dialog(), IDC_INDICATOR) != u"TMC") return false;
                  screenshot(test_dialog(), "kvorclient-test-gns.png");
                  press_ok(test_dialog());
                  return true;
              })
        .then("Exit", [] {
            if (!main_dialog()) return false;
            QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
            return true;
        });
    EXPECT_EQ(run(user), 0);
}

// ---- the test dialog, Royaltek ------------------------------------------------------------------

TEST_F(KvorClientTest, RoyaltekButtonsTheSwitchAcrossTwoOpeningsLevelAndIndicator) {
    load_driver(0);
    auto sent = [] { return item_text(test_dialog(), IDC_SEND_LOG); };
    auto field = [] { return item_text(test_dialog(), IDC_FREQUENCY); };
    std::u16string expected;
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; })
        .then("Test",
              [] {
                  choose_from_menu("Test");
                  return true;
              })
        .then("the buttons",
              [&] {
                  HWND t = test_dialog();
                  if (!t) return false;
                  EXPECT_EQ(item_text(t, IDC_AUTO), u"Man");
                  const std::pair<int, const char16_t*> presses[] = {{IDC_SEEK_DOWN, u" |<...."},
                                                                     {IDC_STEP_DOWN, u" <.."},
                                                                     {IDC_STEP_UP, u" ..>"},
                                                                     {IDC_SEEK_UP, u" ....>|"}};
                  for (auto [id, progress] : presses) {
                      click(t, id);
                      EXPECT_EQ(field(), progress);
                  }
                  expected = u"$PSRF123,0,1*26\r\n$PSRF123,0,0*27\r\n$PSRF123,1,0*26\r\n$PSRF123,1,1*27\r\n";
                  SetDlgItemTextW(t, IDC_FREQUENCY, u"");
                  click(t, IDC_SET);  // an empty field: an empty frequency
                  expected += nmea("PSRF122,,1,0");
                  click(t, IDC_AUTO);
                  EXPECT_EQ(item_text(t, IDC_AUTO), u"Auto");
                  click(t, IDC_AUTO);
                  EXPECT_EQ(item_text(t, IDC_AUTO), u"Man.");
                  click(t, IDC_AUTO);
                  expected += u"$PSRF121,1*38\r\n$PSRF121,0*39\r\n$PSRF121,2*3b\r\n$PSRF121,1*38\r\n";
                  EXPECT_EQ(sent(), expected);
                  // A typed text longer than the sentence holds is cut, never overruns.
                  SetDlgItemTextW(t, IDC_FREQUENCY, std::u16string(100, u'9').c_str());
                  click(t, IDC_SET);
                  EXPECT_NE(sent().find(u"$PSRF122," + std::u16string(63, u'9') + u",1,0*"), std::u16string::npos);
                  SetDlgItemTextW(t, IDC_FREQUENCY, u"90.0");
                  click(t, IDC_SET);
                  return true;
              })
        .then("TMC at 90.0 and the level of $RTRDS",
              [&] {
                  HWND t = test_dialog();
                  if (item_text(t, IDC_INDICATOR) != u"TMC" || field() != u"90.0") return false;
                  std::u16string log = item_text(t, IDC_RECEIVE_LOG);
                  size_t at = log.rfind(u"$RTRDS,90.0,");
                  if (at == std::u16string::npos) return false;
                  int level = std::stoi(ce::narrow(log.substr(at + 12, 2)));
                  // The receive thread logs a read before it interprets it: the bar follows.
                  if (dynamic_cast<QProgressBar*>(widget(t, IDC_LEVEL))->value() != level) return false;
                  EXPECT_GT(level, 0);
                  screenshot(t, "kvorclient-test-royaltek.png");
                  // A station without TMC: the new frequency clears the indicator, then RDS.
                  SetDlgItemTextW(t, IDC_FREQUENCY, u"91.5");
                  click(t, IDC_SET);
                  return true;
              })
        .then("RDS at 91.5", [&] { return field() == u"91.5" && item_text(test_dialog(), IDC_INDICATOR) == u"RDS"; })
        .then("close",
              [&] {
                  press_ok(test_dialog());
                  return true;
              })
        .then("reopen",
              [] {
                  if (!main_dialog() || test_dialog()) return false;
                  choose_from_menu("Test");
                  return true;
              })
        .then("the switch goes on where it was",
              [&] {
                  HWND t = test_dialog();
                  if (!t) return false;
                  EXPECT_EQ(item_text(t, IDC_AUTO), u"Man");
                  click(t, IDC_AUTO);
                  EXPECT_EQ(item_text(t, IDC_AUTO), u"Man.");
                  EXPECT_EQ(sent(), u"$PSRF121,0*39\r\n$PSRF121,2*3b\r\n");
                  return true;
              })
        // The receive log keeps within its limit by dropping its oldest tenth.
        .then("a full receive log",
              [&] {
                  HWND log = GetDlgItem(test_dialog(), IDC_RECEIVE_LOG);
                  LRESULT limit = SendMessageW(log, EM_GETLIMITTEXT, 0, 0);
                  static std::u16string first;
                  if (first.empty()) first = item_text(test_dialog(), IDC_RECEIVE_LOG).substr(0, 40);
                  if (GetWindowTextLengthW(log) < limit * 8 / 10) return false;
                  std::vector<WCHAR> all(static_cast<size_t>(limit) + 1);
                  GetWindowTextW(log, all.data(), static_cast<int>(all.size()));
                  std::u16string text(all.data());
                  if (text.substr(0, 40) == first) return false;  // not trimmed yet
                  EXPECT_LE(static_cast<LRESULT>(text.size()), limit);
                  EXPECT_NE(text.find(u"$RTTMC"), std::u16string::npos);
                  press_ok(test_dialog());
                  return true;
              })
        .then("Exit", [] {
            if (!main_dialog() || test_dialog()) return false;
            QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
            return true;
        });
    EXPECT_EQ(run(user), 0);
    // The driver logs a Royaltek client's writes as text.
    EXPECT_NE(driver_log().find("RECV: " + ce::narrow(nmea("PSRF122,,1,0"))), std::string::npos);
}

// ---- the frequency field ----------------------------------------------------------------------------

// Set tunes to what the field says. GNS reads it as decimal MHz, multiplies by
// 1000 and truncates (the channel byte is kHz / 100 - 107); no number is 0 kHz,
// below the band, so its upper limit. Royaltek sends the text as typed.
struct FieldCase {
    const char16_t* text;
    BYTE channel;
};
const FieldCase kFieldCases[] = {
    {u"95.8999", 0x53},      // 95.8, not 95.9
    {u"107.99999", 0xCC},    // 107.9, not 108.0
    {u"90.1", 0x1A},         // no binary fraction: 90100 kHz
    {u" 98.7", 0x70},        // leading blanks
    {u"104.35abc", 0xA8},    // what follows the number
    {u"0x5F", 0xCD},         // decimal only: not 95.0
    {u"1e2", 0xCD},          // no exponent: not 100.0
    {u"-95.8", 0xCD},        // no sign
    {u"", 0xCD},             // nothing
    {u"99999999999", 0xCD},  // past what kHz can hold
};

class FrequencyField : public KvorClientTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(FrequencyField, SetSendsTheFieldInTheDialect) {
    const DWORD protocol = GetParam();
    load_driver(protocol);
    std::u16string expected;
    for (const FieldCase& c : kFieldCases) {
        if (protocol == 1) {
            char bytes[32];
            std::snprintf(bytes, sizeof bytes, "FF 46 %02X 78 46 0D 0A \r\n", c.channel);
            expected += ce::widen(bytes);
        } else {
            expected += nmea("PSRF122," + ce::narrow(c.text) + ",1,0");
        }
    }
    User user;
    user.then("the main dialog", [] { return main_dialog() != nullptr; });
    user.then("Test", [] {
        choose_from_menu("Test");
        return true;
    });
    user.then("the port open", [&] {
        HWND t = test_dialog();
        if (!t) return false;
        for (const FieldCase& c : kFieldCases) {
            SetDlgItemTextW(t, IDC_FREQUENCY, c.text);
            click(t, IDC_SET);
        }
        EXPECT_EQ(item_text(t, IDC_SEND_LOG), expected);
        press_ok(t);
        return true;
    });
    user.then("Exit", [] {
        if (!main_dialog() || test_dialog()) return false;
        QTest::mouseClick(ceui::soft_key(MainMenuBar, 0), Qt::LeftButton);
        return true;
    });
    EXPECT_EQ(run(user), 0);
    if (protocol == 1) {
        EXPECT_TRUE(driver_got("FF 46 53 78 46 0D 0A "));
    }
}

INSTANTIATE_TEST_SUITE_P(Dialects, FrequencyField, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param == 0 ? "Royaltek" : "Gns"; });

// What the receive thread reads is cut to its 16-byte texts; a band that is
// none of the three tunes within band 0's limits.
TEST(KvorClientRoutines, LongFieldsAreCutAndUnknownBandsUseBandZero) {
    char field[FIELD_CHARS];
    std::string sentence = "$RTRDS," + std::string(40, '1') + ",15,3";
    EXPECT_EQ(ReadField(sentence.c_str(), 7, field), 47);
    EXPECT_EQ(std::string(field), std::string(15, '1'));
    EXPECT_EQ(ReadField("$RTTMC,8", 7, field), -1);
    EXPECT_EQ(std::string(field), "8");
    DWORD low = 0, high = 0;
    for (DWORD band : {0u, 3u, 0xFFFFFFFFu}) {
        BandLimitsFor(band, &low, &high);
        EXPECT_EQ(low, 87500u);
        EXPECT_EQ(high, 108000u);
    }
    BandLimitsFor(1, &low, &high);
    EXPECT_EQ(high, 91000u);
}

}  // namespace
