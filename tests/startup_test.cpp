// Start-up, the port chooser, the close handler, the AF mode setting and the
// window's geometry, on the real MyFrame with fake ports.
#include <wx/bmpbuttn.h>
#include <wx/button.h>
#include <wx/config.h>
#include <wx/listbox.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/stattext.h>

#include <sys/stat.h>
#include <unistd.h>

#include <wx/textctrl.h>
#include <wx/textdlg.h>

#include <fstream>
#include <functional>

#include "app/desktop_notifier.h"
#include "app/port_chooser.h"
#include "app/startup.h"
#include "mainwindow/frame_view.h"
#include "ports/backends.h"
#include "runner/countdown.h"
#include "runner/exposure_log.h"
#include "tests/gui_support.h"

namespace {

const char* const NO_PORT = "No long-exposure port connected.  No trigger pulses can be sent";

using StartUp = WindowTest;

TEST_F(StartUp, BoxFoundMeansNoChooser)
{
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));  // any modal dialog fails the test
    ASSERT_NE(MainFrame, nullptr);
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "DSUSB Connected");
    EXPECT_EQ(PortName(), "DSUSB");
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"usb open", "usb 00", "usb 00"}));
    EXPECT_TRUE(MainFrame->IsShown());
}

TEST_F(StartUp, CancelLeavesNoPortAndSaysSo)
{
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), CancelChooser(wxID_CANCEL), ExpectMessage(NO_PORT, "Vantrel"));
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "NOT CONNECTED");
    EXPECT_EQ(PortName(), "none");
    EXPECT_EQ(fakes.log.Whats(), std::vector<std::string>{"usb open"});  // no port touched
    EXPECT_TRUE(MainFrame->IsShown());
}

TEST_F(StartUp, ChosenPortIsOpenedWithItsFirstLineStates)
{
    struct Row {
        const char* choice;
        uint8_t dataBefore;
        PortKind kind;
        const char* status;
        std::vector<std::string> log;
    };
    const Row rows[] = {
        {"COM2",
         0,
         PORT_SERIAL,
         "Serial port connected",
         {"usb open", "serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 0"}},
        {"COM2-IR",
         0,
         PORT_SERIAL_IR,
         "Serial port connected",
         {"usb open", "serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 1"}},
        {"COM8-IR",
         0,
         PORT_SERIAL_IR,
         "Serial port connected",
         {"usb open", "serial open COM8", "serial 2400 8N1", "RTS 0", "DTR 1"}},
        {"0x3BC-LPTx Pin3",
         0xA7,
         PORT_PARALLEL,
         "Parallel port connected",
         {"usb open", "parallel open 3BC", "data A5"}},
        {"0x378-LPT1", 0xA7, PORT_PARALLEL, "Parallel port connected", {"usb open", "parallel open 378", "data A6"}},
        {"0x278-LPT2 Pin3",
         0x00,
         PORT_PARALLEL,
         "Parallel port connected",
         {"usb open", "parallel open 278", "data 00"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.choice);
        SetUp();
        fakes.parallel->data = row.dataBefore;
        wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort(row.choice));
        EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), row.status);
        EXPECT_EQ(PortName(), row.choice);
        EXPECT_EQ(fakes.log.Whats(), row.log);
        const PortChoice choice = DecodePortChoice(row.choice);
        if (choice.parallel) {
            EXPECT_EQ(fakes.ports->ParallelAddress(), choice.address);
            EXPECT_EQ(fakes.ports->ParallelPinMask(), choice.pinMask);
        }
        TearDown();
    }
}

// A port that cannot be had is never reported connected: the first line as
// ever, the second names the device and why.
TEST_F(StartUp, PortThatCannotBeOpenedSaysWhy)
{
    fakes.parallel->present = false;
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("0x378-LPT1"),
                  ExpectMessage("Could not attach to 0x378\nno parallel port at 0x378 (/dev/parport0: no such device)",
                                "Vantrel"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "NOT CONNECTED");
    EXPECT_EQ(PortName(), "none");
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"usb open", "parallel open 378"}));
    TearDown();

    SetUp();
    fakes.usb->present = true;
    fakes.usb->usable = false;
    fakes.log.error = EACCES;
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()),
                  ExpectMessage("ShoeString DSUSB found but not usable: permission denied (install Vantrel's udev "
                                "rule, then plug the box in again)",
                                "Vantrel"),
                  CancelChooser(wxID_CANCEL), ExpectMessage(NO_PORT, "Vantrel"));
    TearDown();

    SetUp();
    fakes.serial->openSucceeds = false;
    fakes.log.error = EBUSY;
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("COM7"),
                  ExpectMessage("Could not attach to COM7\n/dev/ttyUSB2: in use by another program", "Vantrel"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "NOT CONNECTED");
    EXPECT_EQ(PortName(), "none");
    TearDown();

    // A path too long for the screen is shortened in the middle; the
    // backend's own words (an unreadable lock) stand in for the reason.
    SetUp();
    fakes.serial->openSucceeds = false;
    fakes.log.error = ENOENT;
    SetPortDevice("COM7", "/dev/serial/by-id/" + std::string(4306, 'x') + "-port0");
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("COM7"),
                  ExpectMessage("Could not attach to COM7\n/dev/serial/by-id/" + std::string(21, 'x') + "\u2026" +
                                    std::string(34, 'x') + "-port0: no such device (is the adapter plugged in?)",
                                "Vantrel"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    ClearPortDevices();
    TearDown();

    SetUp();
    fakes.serial->openSucceeds = false;
    fakes.log.error = EBUSY;
    fakes.serial->detail = "/run/lock/LCK..ttyUSB2 is held by another program (unreadable lock file)";
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("COM7"),
                  ExpectMessage("Could not attach to COM7\n/run/lock/LCK..ttyUSB2 is held by another program "
                                "(unreadable lock file)",
                                "Vantrel"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    TearDown();

    SetUp();
    fakes.serial->configureSucceeds = false;
    fakes.log.error = EIO;
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("COM3-IR"),
                  ExpectMessage("Cannot configure COM3\n/dev/ttyS2: Input/output error", "Vantrel"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    EXPECT_EQ(PortName(), "none");
    // The refused port is closed again, its lines untouched.
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"usb open", "serial open COM3", "serial 2400 8N1", "serial close"}));
}

// File > Port…: the port in use released, another chosen, as at start-up;
// not while a run is in progress.
TEST_F(StartUp, PortMenuConnectsAgain)
{
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("COM2"));
    fakes.log.events.clear();
    wxTEST_DIALOG(Command(MainFrame, wxEVT_MENU, ID_CHOOSE_PORT), ChoosePort("0x378-LPT1"));
    EXPECT_EQ(PortName(), "0x378-LPT1");
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "Parallel port connected");
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"serial close", "usb open", "parallel open 378", "data 00"}));

    // Cancelled: the port in use is opened again, as it was.
    fakes.log.events.clear();
    wxTEST_DIALOG(Command(MainFrame, wxEVT_MENU, ID_CHOOSE_PORT), CancelChooser(wxID_CANCEL));
    EXPECT_EQ(PortName(), "0x378-LPT1");
    EXPECT_EQ(MainFrame->GetStatusBar()->GetStatusText(0), "Parallel port connected");
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"data 00", "parallel close", "usb open", "parallel open 378", "data 00"}));

    Command(MainFrame, wxEVT_BUTTON, ID_START_SEQUENCE);  // waits its before-frame second
    MainFrame->UpdateWindowUI(wxUPDATE_UI_RECURSE);
    EXPECT_FALSE(MainFrame->GetMenuBar()->IsEnabled(ID_CHOOSE_PORT));
    Command(MainFrame, wxEVT_BUTTON, ID_ABORT_SEQUENCE);
    clock->RunUntil([] { return !MainFrame->Busy(); });
    MainFrame->UpdateWindowUI(wxUPDATE_UI_RECURSE);
    EXPECT_TRUE(MainFrame->GetMenuBar()->IsEnabled(ID_CHOOSE_PORT));
}

TEST_F(StartUp, ShowExposureLogSaysWhenThereIsNoneYet)
{
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
    std::remove(ExposureLogPath().c_str());
    wxTEST_DIALOG(Command(MainFrame, wxEVT_MENU, ID_SHOW_LOG),
                  ExpectMessage("No exposure has been logged yet.\n" + ExposureLogPath(), "Vantrel"));
}

// Under its list the chooser names the device behind the selected entry and
// whether it is there.
TEST_F(StartUp, ChooserShowsTheDeviceBehindAnEntry)
{
    const std::string home = getenv("HOME");
    const std::string present = home + "/ttyFAKE0";
    std::ofstream(present).put('\n');
    SetPortDevice("COM7", present);
    SetPortDevice("COM8", home + "/ttyGONE");
    EXPECT_EQ(DeviceLine("COM7-IR").utf8_string(), present + " \u2014 present");
    EXPECT_EQ(DeviceLine("COM8").utf8_string(), home + "/ttyGONE \u2014 not found");
    EXPECT_EQ(DeviceLine("0x378-LPT1 Pin3").utf8_string(), "0x378: the parallel port at that address, through ppdev");

    // The entry selected (the port chosen last time, else the first), and
    // its device named under the list, also when it is gone.
    class SeesTheDevice : public wxExpectModalBase<wxSingleChoiceDialog, SeesTheDevice> {
    public:
        explicit SeesTheDevice(const std::string& entry)
            : entry_(entry)
        {
        }

    protected:
        int OnInvoked(wxSingleChoiceDialog* dialog) const override
        {
            wxListBox* list = nullptr;
            for (wxWindow* child : dialog->GetChildren())
                list = list ? list : dynamic_cast<wxListBox*>(child);
            EXPECT_TRUE(list && list->GetStringSelection().StartsWith(wxString::FromUTF8(entry_)))
                << (list ? list->GetStringSelection() : wxString());
            wxWindow* line = wxWindow::FindWindowByName("Device", dialog);
            EXPECT_NE(line, nullptr);
            if (line) {
                EXPECT_EQ(line->GetLabel(), DeviceLine(entry_.substr(0, entry_.find("  ("))));
                EXPECT_TRUE(line->IsShown());
            }
            return wxID_CANCEL;
        }

    private:
        std::string entry_;
    };
    const auto again = [this] {
        MainFrame->Close(true);
        RunIdle();
    };
    SetPortDevice("COM5", home + "/ttyUSB0");
    SetPortDevice("COM6", home + "/ttyUSB1");
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), SeesTheDevice("COM1"), ExpectMessage(NO_PORT, "Vantrel"));
    again();
    settings->WriteText("Port", "COM8");
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), SeesTheDevice("COM8"), ExpectMessage(NO_PORT, "Vantrel"));
    // A first start selects a plugged USB-serial adapter, and the list
    // says which entries have a device.
    again();
    settings->WriteText("Port", "");
    std::ofstream(home + "/ttyUSB1").put('\n');
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), SeesTheDevice("COM6  (present)"), ExpectMessage(NO_PORT, "Vantrel"));
    // A device path of the user's own, opened and remembered.
    again();
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort("Other device\u2026"),
                  Answer<wxTextEntryDialog>([](wxTextEntryDialog* ask) {
                      ask->SetValue("/dev/serial/by-id/usb-Arduino-if00");
                      return wxID_OK;
                  }));
    EXPECT_EQ(PortName(), "/dev/serial/by-id/usb-Arduino-if00");
    EXPECT_EQ(settings->ReadText("Port"), "/dev/serial/by-id/usb-Arduino-if00");
    again();
    wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), SeesTheDevice("/dev/serial/by-id/usb-Arduino-if00"),
                  ExpectMessage(NO_PORT, "Vantrel"));
    ClearPortDevices();
}

// How a run ended reaches the desktop when the window is not the one the
// user looks at (here: never shown, so never active), and its sound (none
// with View > Sounds off, as in the last row).
TEST(FrameView, ARunsEndIsNotifiedWhenTheWindowIsNotActive)
{
    struct Row {
        RunEnd end;
        int32_t done;
        int32_t of;
        std::string shown;
        std::vector<std::string> sounds;
    };
    const Row rows[] = {
        {RunEnd::DONE, 20, 20, "Sequence Done: 20 frames | ", {"complete"}},
        {RunEnd::ABORTED, 7, 20, "Aborted after 7 of 20 frames | ", {"dialog-error"}},
        {RunEnd::PORT_LOST, 2, 20, "Lost the connection to COM5 (/dev/ttyUSB0) | Input/output error", {"dialog-error"}},
        {RunEnd::DONE, 1, 1, "Sequence Done: 1 frame | ", {}},
    };
    for (const Row& row : rows) {
        wxFrame frame(nullptr, wxID_ANY, "not shown");
        frame.CreateStatusBar();
        FakeNotifier notifier;
        FrameView view(frame, notifier, [](RunEnd, int) {});
        view.SetSounds(!row.sounds.empty());
        RunEvent ended;
        ended.kind = RunEventKind::ENDED;
        ended.end = row.end;
        ended.framesDone = row.done;
        ended.progress.frames = row.of;
        ended.port = "COM5 (/dev/ttyUSB0)";
        if (row.end == RunEnd::PORT_LOST) {
            // The lost port's message box as well: answered here.
            ended.why = "Input/output error";
            wxTEST_DIALOG(view.OnRunEvent(ended),
                          ExpectMessage("Lost the connection to COM5 (/dev/ttyUSB0)\nInput/output error\nCheck the "
                                        "cable and plug it in again; Vantrel opens the port again at the next Start.",
                                        "Vantrel"));
        } else {
            view.OnRunEvent(ended);
        }
        EXPECT_EQ(notifier.shown, std::vector<std::string>{row.shown});
        EXPECT_EQ(notifier.sounds, row.sounds);
    }
}

// The desktop's own notification server (python-dbusmock's, on a private
// session bus: tests/with_notifications.py checks what it was asked).
TEST(DesktopNotifier, AsksTheSessionBusNotificationServer)
{
    if (!getenv("VANTREL_NOTIFY_MOCK"))
        GTEST_SKIP() << "needs a notification server on a private session bus (with_notifications.py)";
    auto notifier = MakeDesktopNotifier();
    notifier->Notify("Sequence Done: 20 frames", "");
    wxMilliSleep(500);  // the bus's own thread sends it
}

TEST_F(StartUp, CloseReleasesThePortByKind)
{
    struct Row {
        const char* choice;  // "" for the box
        std::vector<std::string> atClose;
    };
    const Row rows[] = {
        {"", {"usb 00", "usb close"}},
        {"COM1", {"serial close"}},
        {"COM1-IR", {"serial close"}},
        {"0x378-LPT1", {"data 00", "parallel close"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.choice);
        SetUp();
        fakes.usb->present = *row.choice == '\0';
        if (fakes.usb->present) {
            WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
        } else {
            wxTEST_DIALOG(OpenMainWindowAndPort(Parts()), ChoosePort(row.choice));
        }
        fakes.log.events.clear();
        Command(MainFrame, wxEVT_MENU, wxID_EXIT);  // Alt+X ends where the close box does
        RunIdle();
        EXPECT_EQ(MainFrame, nullptr);
        EXPECT_EQ(fakes.log.Whats(), row.atClose);
    }
}

int StoredAFMode()
{
    wxConfig config("Vantrel");
    return static_cast<int>(config.ReadLong("AF Mode", -100));
}

void StoreAFMode(long value)
{
    wxConfig config("Vantrel");
    if (value == -100)
        config.DeleteEntry("AF Mode");
    else
        config.Write("AF Mode", value);
}

int CheckedAFItem()
{
    for (int id = ID_AF_NONE; id <= ID_AF_HELD_DURING; ++id)
        if (MainFrame->GetMenuBar()->IsChecked(id))
            return id;
    return 0;
}

TEST_F(StartUp, AFModeIsKeptBetweenRuns)
{
    StoreAFMode(-100);
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
    EXPECT_EQ(CheckedAFItem(), ID_AF_NONE);
    EXPECT_EQ(StoredAFMode(), -100);  // nothing written at start-up
    MainFrame->GetMenuBar()->Check(ID_AF_PULSE_AT_START, true);
    Command(MainFrame, wxEVT_MENU, ID_AF_PULSE_AT_START);
    EXPECT_EQ(MainFrame->AfMode(), AF_PULSE_AT_START);
    TearDown();
    EXPECT_EQ(StoredAFMode(), 1);

    SetUp();
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
    EXPECT_EQ(CheckedAFItem(), ID_AF_PULSE_AT_START);
    EXPECT_EQ(MainFrame->AfMode(), AF_PULSE_AT_START);
}

TEST_F(StartUp, OutOfRangeAFModeReadsAsNoneAndIsReplacedOnlyAtClose)
{
    for (long stored : {7L, -1L}) {
        SCOPED_TRACE(stored);
        SetUp();
        StoreAFMode(stored);
        fakes.usb->present = true;
        WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
        EXPECT_EQ(CheckedAFItem(), ID_AF_NONE);
        EXPECT_EQ(MainFrame->AfMode(), AF_NONE);
        EXPECT_EQ(StoredAFMode(), stored);
        TearDown();
        EXPECT_EQ(StoredAFMode(), 0);
    }
}

TEST_F(StartUp, AboutComesFromTheMenuNotFromTheBanner)
{
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
    const wxMenuItem* about = MainFrame->GetMenuBar()->FindItem(wxID_ABOUT);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->GetItemLabel(), "&About...\tF1");
    WITHOUT_DIALOG(Command(MainFrame->FindWindow(wxID_ABOUT), wxEVT_BUTTON, wxID_ABOUT));  // no dialog
    wxTEST_DIALOG(
        Command(MainFrame, wxEVT_MENU, wxID_ABOUT),
        ExpectMessage("Vantrel 1.9\nCopyright (C) 2026 Tessmar\n\nhttps://tessmar.org/vantrel", "About Vantrel"));
}

TEST_F(StartUp, WindowShowsEverythingAndGrowsButNeverShrinksBelowIt)
{
    fakes.usb->present = true;
    WITHOUT_DIALOG(OpenMainWindowAndPort(Parts()));
    EXPECT_TRUE(MainFrame->HasFlag(wxRESIZE_BORDER));
    EXPECT_EQ(MainFrame->GetMinClientSize(), MainFrame->GetClientSize());
    EXPECT_EQ(MainFrame->GetMaxSize(), wxDefaultSize);
    for (wxWindow* child : MainFrame->GetChildren())
        if (child != MainFrame->GetStatusBar())
            ExpectNoClipping(child);
    const wxSize longest = RemainingText(MainFrame)->GetTextExtent(RemainingLabel(360000));
    EXPECT_GE(RemainingText(MainFrame)->GetParent()->GetClientSize().x,
              RemainingText(MainFrame)->GetPosition().x + longest.x);
    // The user's text size: the theme's font, neither capped nor shrunk.
    EXPECT_EQ(RemainingText(MainFrame)->GetFont().GetPointSize(),
              wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT).GetPointSize());
    // Enter in a field confirms its value and does not start.
    EXPECT_EQ(MainFrame->GetDefaultItem(), nullptr);
    wxCommandEvent enter(wxEVT_TEXT_ENTER, Spin(MainFrame, "Duration")->GetId());
    enter.SetEventObject(Spin(MainFrame, "Duration"));
    Spin(MainFrame, "Duration")->GetEventHandler()->ProcessEvent(enter);
    EXPECT_FALSE(MainFrame->Busy());
}

}  // namespace

namespace {

std::string Home() { return getenv("HOME"); }

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The [Guider] group: where PHD2 listens; a bad port is ignored.
TEST_F(StartUp, GuiderAddressIsReadFromTheSettingsFile)
{
    const std::string store = Home() + "/.Vantrel";
    const std::pair<std::string, std::string> rows[] = {
        {"", "localhost:4400"},
        {"[Guider]\nPort=4401\n", "localhost:4401"},
        {"AF Mode=1\n[Guider]\nHost = scope.local \nPort = 4402\n", "scope.local:4402"},
        {"[Guider]\nPort=65536\n", "localhost:4400"},
        {"[Guider]\nPort=44x\n", "localhost:4400"},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text);
        std::ofstream(store) << text;
        const GuiderAddress address = ReadGuiderAddress();
        EXPECT_EQ(address.host + ":" + std::to_string(address.port), expected);
    }
    unlink(store.c_str());
}

// Whatever ~/.Vantrel is, no dialog appears at start or at close, the AF
// mode reads as expected, and what is there afterwards is as expected.
TEST_F(StartUp, SettingsFileNeverRaisesADialog)
{
    const std::string store = Home() + "/.Vantrel";
    const std::string dotfiles = Home() + "/dotfiles";
    struct Row {
        const char* name;
        std::function<void()> prepare;
        int afMode;
        std::function<void()> check;  // after the close, which saved AF mode 2
    };
    const Row rows[] = {
        {"damaged", [&] { std::ofstream(store) << "AF Mode=1\n[[[\n\x01\n"; }, AF_PULSE_AT_START, [] {}},
        {"a line holding only =", [&] { std::ofstream(store) << "=\nAF Mode=2\n"; }, AF_HELD_DURING, [] {}},
        {"a folder", [&] { mkdir(store.c_str(), 0755); }, AF_NONE,
         [&] {
             struct stat info { };
             EXPECT_EQ(stat(store.c_str(), &info), 0);
             EXPECT_TRUE(S_ISDIR(info.st_mode));
             rmdir(store.c_str());
         }},
        {"a link into a folder that cannot be written", [&] { symlink("/proc/vantrel/settings", store.c_str()); },
         AF_NONE, [] {}},
        {"a link into the dotfiles",
         [&] {
             mkdir(dotfiles.c_str(), 0755);
             std::ofstream(dotfiles + "/vantrel") << "AF Mode=1\n";
             symlink("dotfiles/vantrel", store.c_str());
         },
         AF_PULSE_AT_START,
         [&] {
             char target[256] = {};
             EXPECT_GT(readlink(store.c_str(), target, sizeof target - 1), 0);
             EXPECT_STREQ(target, "dotfiles/vantrel");
             EXPECT_NE(FileText(dotfiles + "/vantrel").find("Mode=2"), std::string::npos);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        unlink(store.c_str());
        row.prepare();
        fakes.usb->present = true;
        WITHOUT_DIALOG({
            OpenMainWindowAndPort(Parts());
            RunIdle();
        });
        EXPECT_EQ(MainFrame->AfMode(), row.afMode);
        MainFrame->SetAfMode(AF_HELD_DURING);
        WITHOUT_DIALOG({
            Command(MainFrame, wxEVT_MENU, wxID_EXIT);
            RunIdle();
        });
        EXPECT_EQ(MainFrame, nullptr);
        row.check();
        unlink(store.c_str());
    }
}

}  // namespace
