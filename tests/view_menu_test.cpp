// The View menu on the real window: the Large Display follows a run, both
// choices are kept in the settings file, and night mode leaves no green or
// blue on the screen.
#include <wx/bmpbuttn.h>
#include <wx/dcclient.h>
#include <wx/gauge.h>
#include <wx/listbox.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <gtk/gtk.h>

#include "app/port_chooser.h"
#include "mainwindow/banners.h"
#include "mainwindow/large_display.h"
#include "script/edit_script_dialog.h"
#include "tests/runner_fixture.h"
#include "theme/night_mode.h"

namespace {

using ViewMenu = RunnerTest;

void Choose(MyFrame* frame, int id, bool on)
{
    wxCommandEvent event(wxEVT_MENU, id);
    event.SetInt(on);
    event.SetEventObject(frame);
    frame->GetEventHandler()->ProcessEvent(event);
}

// "Frame 2 of 3 | Exposing | 00:00:01 | Total Remaining 00:00:07 | 300".
std::string Shown(const LargeDisplay* display)
{
    return (display->FrameText->GetLabel() + " | " + display->PhaseText->GetLabel() + " | " +
            display->PhaseTimeText->GetLabel() + " | " + display->TotalText->GetLabel() + " | " +
            wxString::Format("%d", display->ProgressBar->GetValue()))
        .utf8_string();
}

TEST_F(ViewMenu, LargeDisplayFollowsTheRun)
{
    struct Row {
        const char* name;
        std::function<void(RunnerTest&)> at2500;  // what happens 2.5 s in
        std::string end;
    };
    const Row rows[] = {
        {"to its end", nullptr, "Frame 3 of 3 | Sequence Done | --:--:-- | Total Remaining --:--:-- | 1000"},
        {"aborted from the display itself: Alt+A",
         [](RunnerTest& test) {
             wxKeyEvent key(wxEVT_CHAR_HOOK);
             key.m_keyCode = 'A';
             key.SetAltDown(true);
             test.frame->LargeDisplayShown()->GetEventHandler()->ProcessEvent(key);
         },
         "Frame 1 of 3 | Aborted | --:--:-- | Total Remaining --:--:-- | 300"},
        {"stopped after the frame from the display: Alt+T",
         [](RunnerTest& test) {
             wxKeyEvent key(wxEVT_CHAR_HOOK);
             key.m_keyCode = 'T';
             key.SetAltDown(true);
             test.frame->LargeDisplayShown()->GetEventHandler()->ProcessEvent(key);
         },
         "Frame 1 of 3 | Stopped | --:--:-- | Total Remaining --:--:-- | 300"},
        {"aborted from the main window: Alt+A, acted on as the key comes",
         [](RunnerTest& test) {
             GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
             key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(test.frame->m_widget)));
             key->key.send_event = TRUE;
             key->key.state = GDK_MOD1_MASK;
             key->key.keyval = GDK_KEY_a;
             gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
             gtk_main_do_event(key);
             gdk_event_free(key);
         },
         "Frame 1 of 3 | Aborted | --:--:-- | Total Remaining --:--:-- | 300"},
        {"port lost",
         [](RunnerTest& test) {
             test.fakes.log.failures = 5;
             test.fakes.log.error = EIO;
         },
         "Frame 1 of 3 | Lost the connection\nto COM2 (/dev/ttyS1) | --:--:-- | Total Remaining --:--:-- | 300"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Choose(frame, ID_LARGE_DISPLAY, true);
        LargeDisplay* display = frame->LargeDisplayShown();
        ASSERT_NE(display, nullptr);
        EXPECT_TRUE(display->IsShown());
        EXPECT_EQ(Shown(display), " | Ready | --:--:-- | Total Remaining --:--:-- | 0");
        Connect(PORT_SERIAL);
        Apply({3, 2, 0, 1, 0, false});  // 10 s in all
        std::string during;
        clock->At(1500, [&] { during = Shown(display); });
        if (row.at2500)
            clock->At(2500, [&] { row.at2500(*this); });
        if (std::string(row.name) == "port lost") {
            wxTEST_DIALOG(
                Start(),
                ExpectMessage("Lost the connection to COM2 (/dev/ttyS1)\nRTS release: Input/output error\nCheck "
                              "the cable and plug it in again; Vantrel opens the port again at the "
                              "next Start.",
                              "Vantrel"));
        } else {
            WITHOUT_DIALOG(Start());
        }
        EXPECT_EQ(during, "Frame 1 of 3 | Exposing | 00:00:01 | Total Remaining 00:00:08 | 200");
        EXPECT_EQ(Shown(display), row.end);
    }
    // Laid out again at each size, in and out of a large one: every text as
    // high as its type.
    LargeDisplay* display = frame->LargeDisplayShown();
    for (const wxSize size : {wxSize(1200, 900), wxSize(420, 300)}) {
        display->SetClientSize(size);
        wxYield();
        for (wxStaticText* text :
             {display->FrameText, display->PhaseText, display->PhaseTimeText, display->TotalText}) {
            wxClientDC dc(text);
            dc.SetFont(text->GetFont());
            wxCoord width = 0;
            wxCoord height = 0;
            dc.GetMultiLineTextExtent(text->GetLabel(), &width, &height);
            EXPECT_GE(text->GetSize().y, height) << text->GetName();
            EXPECT_GE(text->GetSize().x, width) << text->GetName();  // the loss's whole message
        }
    }

    // A run without a port says so, on the display and the banner.
    Connect(PORT_NONE);
    bool noPortBanner = false;
    std::string during;
    clock->At(1500, [&] {
        during = display->FrameText->GetLabel().utf8_string();
        noPortBanner =
            static_cast<wxBitmapButton*>(frame->FindWindow(wxID_ABOUT))->GetBitmap().IsSameAs(NoPortBanner());
    });
    WITHOUT_DIALOG(Start());
    EXPECT_EQ(during, "Frame 1 of 3 \u00b7 no port");
    EXPECT_TRUE(noPortBanner);
}

// The choices are kept, and a Large Display closed by the user stays
// closed at the next start.
// The Large Display and Last Frame open clear of the main window (and of
// each other), on the screen, whatever the main window's place.
TEST(PlaceClear, BesideTheMainWindowAndOnTheScreen)
{
    const wxRect screen(0, 0, 1920, 1080);
    const wxSize lastFrame(560, 580);
    struct Row {
        const char* name;
        std::vector<wxRect> taken;
        wxRect screen;
        wxRect expected;
    };
    for (const Row& row : {
             Row{"to its right", {{0, 0, 500, 560}}, screen, {500, 0, 560, 580}},
             Row{"the Large Display on its right: below it",
                 {{0, 0, 500, 500}, {500, 0, 900, 600}},
                 screen,
                 {0, 500, 560, 580}},
             Row{"at the screen's right edge: to its left", {{1400, 560, 500, 500}}, screen, {840, 500, 560, 580}},
             Row{"no room anywhere: the least covered, on the screen",
                 {{0, 0, 1900, 1000}},
                 screen,
                 {0, 500, 560, 580}},
             Row{"a screen smaller than the window: made smaller, beside it",
                 {{0, 0, 500, 300}},
                 {0, 0, 800, 500},
                 {500, 0, 300, 500}},
         }) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(PlaceClear(row.screen, row.taken, lastFrame), row.expected);
    }
}

// The Large Display's keys work from its first moment: made the active
// window (as a click would, here without a window manager), then F11 as
// the X server delivers it.
TEST_F(ViewMenu, TheLargeDisplaysKeysWorkAtOnce)
{
    Choose(frame, ID_LARGE_DISPLAY, true);
    LargeDisplay* display = frame->LargeDisplayShown();
    ASSERT_NE(display, nullptr);
    ::RunUntil([&] { return display->IsShownOnScreen(); });
    gdk_window_focus(gtk_widget_get_window(display->GetHandle()), GDK_CURRENT_TIME);
    ::RunUntil([&] { return display->IsActive(); }, 300);
    ASSERT_EQ(std::system("xdotool key F11"), 0);
    EXPECT_TRUE(::RunUntil([&] { return display->IsFullScreen(); }, 1000));
}

TEST_F(ViewMenu, ChoicesAreKept)
{
    EXPECT_TRUE(frame->GetMenuBar()->IsChecked(ID_SOUNDS));  // on unless turned off
    Choose(frame, ID_LARGE_DISPLAY, true);
    Choose(frame, ID_NIGHT_MODE, true);
    Choose(frame, ID_SOUNDS, false);
    Choose(frame, ID_LAST_FRAME, true);
    EXPECT_TRUE(NightMode());
    // The fields of the last run started from the window, too.
    Connect(PORT_NONE);
    Apply({2, 3, 0, 4, 0, true});
    Start();
    Spin(frame, "# Exposures")->SetValue(9);  // not started: not kept
    Rebuild(*clock, sleep);
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 2);
    EXPECT_EQ(Spin(frame, "Before frame")->GetValue(), 4);
    EXPECT_EQ(Spin(frame, "After frame")->GetValue(), 0);
    EXPECT_TRUE(MirrorLockBox(frame)->GetValue());
    EXPECT_NE(frame->LastFrameShown(), nullptr);
    EXPECT_TRUE(frame->GetMenuBar()->IsChecked(ID_LARGE_DISPLAY));
    EXPECT_TRUE(frame->GetMenuBar()->IsChecked(ID_NIGHT_MODE));
    EXPECT_FALSE(frame->GetMenuBar()->IsChecked(ID_SOUNDS));
    ASSERT_NE(frame->LargeDisplayShown(), nullptr);
    frame->LargeDisplayShown()->Close();
    RunIdle();
    EXPECT_EQ(frame->LargeDisplayShown(), nullptr);
    EXPECT_FALSE(frame->GetMenuBar()->IsChecked(ID_LARGE_DISPLAY));
    Choose(frame, ID_NIGHT_MODE, false);
    EXPECT_FALSE(NightMode());
    Rebuild(*clock, sleep);
    EXPECT_EQ(frame->LargeDisplayShown(), nullptr);
    EXPECT_FALSE(frame->GetMenuBar()->IsChecked(ID_NIGHT_MODE));
}

// The screen's pixels inside `rect` whose green or blue is above the
// threshold, and those that are clearly red.
struct PixelCount {
    int coloured = 0;
    int red = 0;
};
constexpr int GREEN_BLUE_LIMIT = 40;
constexpr int RED_MIN = 100;

PixelCount CountPixels(const wxRect& rect)
{
    // Let every window draw what it has to.
    for (int i = 0; i < 20; ++i) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
    PixelCount count;
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(gdk_get_default_root_window(), rect.x, rect.y, rect.width, rect.height);
    if (!shot) {
        ADD_FAILURE() << "no screenshot";
        return count;
    }
    const int channels = gdk_pixbuf_get_n_channels(shot);
    const int stride = gdk_pixbuf_get_rowstride(shot);
    const guchar* pixels = gdk_pixbuf_get_pixels(shot);
    for (int y = 0; y < rect.height; ++y)
        for (int x = 0; x < rect.width; ++x) {
            const guchar* pixel = pixels + y * stride + x * channels;
            count.coloured += pixel[1] > GREEN_BLUE_LIMIT || pixel[2] > GREEN_BLUE_LIMIT;
            count.red += pixel[0] > RED_MIN;
        }
    g_object_unref(shot);
    return count;
}

void ExpectRedOnBlack(wxWindow* window, const char* name)
{
    const PixelCount count = CountPixels(window->GetScreenRect());
    EXPECT_EQ(count.coloured, 0) << name;
    EXPECT_GT(count.red, 100) << name;  // it has drawn, in red
}

TEST_F(ViewMenu, NightModeLeavesNoGreenOrBlue)
{
    // The check itself sees the day colours.
    EXPECT_GT(CountPixels(frame->GetScreenRect()).coloured, 1000);

    // Turned on with the Large Display open already.
    Choose(frame, ID_LARGE_DISPLAY, true);
    frame->LargeDisplayShown()->Move(frame->GetScreenRect().GetRight() + 10, 0);
    Choose(frame, ID_NIGHT_MODE, true);
    Connect(PORT_SERIAL);
    Apply({2, 2, 0, 1, 0, false});
    clock->At(1500, [this] {  // during a run: the running banner, the countdown
        ExpectRedOnBlack(frame, "main window");
        ExpectRedOnBlack(frame->LargeDisplayShown(), "Large Display");
    });
    WITHOUT_DIALOG(Start());
    ExpectRedOnBlack(frame, "main window, idle");

    auto* editor = new EditScriptDialog(frame, *frame, *clock);
    editor->Show();
    editor->ScriptTextCtrl->SetSelection(0, 20);
    ExpectRedOnBlack(editor, "script editor");
    editor->Destroy();

    // A real message box, looked at from within its own modal loop.
    wxTimer look;
    look.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item; item = item->next) {
            auto* window = GTK_WIDGET(item->data);
            if (!GTK_IS_MESSAGE_DIALOG(window) || !gtk_widget_get_visible(window))
                continue;
            int x = 0;
            int y = 0;
            gdk_window_get_origin(gtk_widget_get_window(window), &x, &y);
            const PixelCount count = CountPixels(
                wxRect(x, y, gtk_widget_get_allocated_width(window), gtk_widget_get_allocated_height(window)));
            EXPECT_EQ(count.coloured, 0) << "message box";
            EXPECT_GT(count.red, 100) << "message box";
            gtk_dialog_response(GTK_DIALOG(window), GTK_RESPONSE_OK);
        }
        g_list_free(windows);
    });
    look.StartOnce(300);
    wxMessageBox("No long-exposure port connected.  No trigger pulses can be sent", "Vantrel",
                 wxOK | wxICON_WARNING | wxCENTRE, frame);

    // The port chooser's list painted to its foot, where a scrolled list
    // draws its edge shading.
    wxTimer lookAtChooser;
    lookAtChooser.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* list = dynamic_cast<wxListBox*>(window->FindWindow("listBox"))) {
                const wxRect box = list->GetScreenRect();
                EXPECT_GT(CountPixels(wxRect(box.x, box.GetBottom() - 40, box.width, 40)).red, 20) << "port chooser";
                dynamic_cast<wxDialog*>(window)->EndModal(wxID_CANCEL);
            }
    });
    lookAtChooser.StartOnce(300);
    PortKind kind = PORT_NONE;
    std::string chosen;
    ChooseAndOpenPort(frame, *fakes.ports, kind, chosen);

    // Turned off: the day's colours again, the Large Display's too.
    Choose(frame, ID_NIGHT_MODE, false);
    EXPECT_GT(CountPixels(frame->LargeDisplayShown()->GetScreenRect()).coloured, 1000);
}

}  // namespace
