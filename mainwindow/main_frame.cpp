// MyFrame: construction, menus, the AF mode, About and close.

// ----------------------------------------------------------------------------
// includes
// ----------------------------------------------------------------------------
#include "mainwindow/main_frame.h"

#include <wx/accel.h>
#include <wx/bmpbuttn.h>
#include <wx/checkbox.h>
#include <wx/control.h>
#include <wx/display.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/menu.h>
#include <wx/mimetype.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/version.h"
#include "mainwindow/banners.h"
#include "mainwindow/camera_dialog.h"
#include "mainwindow/large_display.h"
#include "mainwindow/last_frame.h"
#include "mainwindow/plan_dialog.h"
#include "mainwindow/xpm_bitmap.h"
#include "ports/af_mode.h"
#include "ports/ports.h"
#include "runner/countdown.h"
#include "runner/exposure_log.h"
#include "runner/night_summary.h"
#include "script/edit_script_dialog.h"
#include "theme/accessible_name.h"
#include "theme/night_mode.h"

// ----------------------------------------------------------------------------
// resources
// ----------------------------------------------------------------------------
#include "resources/progicon.xpm"

// ----------------------------------------------------------------------------
// constants
// ----------------------------------------------------------------------------
namespace {
constexpr long FRAME_STYLE = wxDEFAULT_FRAME_STYLE | wxCLIP_CHILDREN;
constexpr int FRAME_WIDTH = 195;
constexpr int FRAME_HEIGHT = 500;

constexpr int BANNER_WIDTH = 180;
constexpr int BANNER_HEIGHT = 62;

// The smallest geometry; on themes with larger controls, rows and boxes grow
// to the controls' own sizes.
constexpr int AREA_WIDTH = 180;
constexpr int AREA_X = 3;
constexpr int BANNER_X = 2;
constexpr int BANNER_Y = 1;
constexpr int GAP_AFTER_BANNER = 9;
constexpr int GAP_AFTER_EXPOSURE = 10;
constexpr int GAP_AFTER_DELAY = 7;
constexpr int INNER_MARGIN = 5;
constexpr int LABEL_GAP = 8;
constexpr int FIRST_ROW_Y = 24;
constexpr int ROW_PITCH = 30;
constexpr int ROW_GAP = 4;
constexpr int SPIN_WIDTH = 70;  // where the spin controls would start on a compact theme
constexpr int BUTTON_HEIGHT = 22;
constexpr int BUTTON_GAP = 3;

// The widest texts that the countdown and the status line can show.
const char* const LONGEST_REMAINING = "Total Remaining 100:00:00";
const char* const LONGEST_STATUS = "9999s Post-frame delay (9999/9999)";
constexpr int STATUS_FIELD_MARGIN = 24;
// The status bar's field for the camera, beside the status (room is kept
// for it whether or not the files are fetched).
const char* const LONGEST_CAMERA_FIELD = "No camera";

// The settings file's keys for what the user chose.
const char* const LARGE_DISPLAY_KEY = "Large Display";
const char* const LAST_FRAME_KEY = "Last Frame";
const char* const MIRROR_LOCK_KEY = "Mirror Lock";

// File > Guider…'s values and their keys.
std::vector<std::pair<const char*, int*>> GuiderKeys(GuiderChoice& choice)
{
    return {{"Dither Pixels", &choice.ditherPixels},
            {"Dither Every", &choice.ditherEvery},
            {"Dither Settle", &choice.ditherSettleSeconds},
            {"Guide Wait", &choice.guideWaitSeconds},
            {"Retake Suspect", &choice.retakeSuspect}};
}
const char* const PAUSE_LABEL = "&Pause";
const char* const RESUME_LABEL = "&Resume";
const char* const NIGHT_MODE_KEY = "Night Mode";
const char* const SOUNDS_OFF_KEY = "Sounds Off";
const char* const LAST_SCRIPT_KEY = "Last Script";
const char* const CAMERA_FILES_KEY = "Camera Files";
const char* const CAMERA_FOLDER_KEY = "Camera Folder";
const char* const CAMERA_PREFIX_KEY = "Camera Prefix";

const char* const ABOUT_TEXT = "Vantrel " VANTREL_VERSION "\n"
                               "Copyright (C) 2026 Tessmar\n"
                               "\n"
                               "https://tessmar.org/vantrel";

// A field of the settings model, which shows the model's value and sets it.
wxSpinCtrl* MakeSpin(wxWindow* parent, int y, SettingsModel& model, RunSetting setting, const char* tip)
{
    // Created at its own best size: narrower, a GTK spin control has no
    // room for its buttons.
    const SettingRange range = RangeOf(setting);
    const int value = model.Get(setting);
    auto* spin = new wxSpinCtrl(parent, wxID_ANY, wxString::Format("%d", value), wxPoint(AREA_WIDTH - SPIN_WIDTH, y),
                                wxDefaultSize, wxSP_ARROW_KEYS | wxTE_PROCESS_ENTER, range.min, range.max, value);
    spin->SetToolTip(tip);
    spin->Bind(wxEVT_SPINCTRL, [&model, setting](wxSpinEvent& event) {
        model.Set(setting, event.GetPosition());
        event.Skip();
    });
    return spin;
}

wxStaticText* MakeLabel(wxWindow* parent, int y, const char* text)
{
    return new wxStaticText(parent, wxID_ANY, text, wxPoint(INNER_MARGIN, y));
}

// One row of a group box: a label with its spin control, or a check box.
struct FormRow {
    wxWindow* label;
    wxWindow* field;
};

int RowWidth(const FormRow& row)
{
    const int labelWidth = row.label->GetBestSize().x;
    if (!row.field)
        return INNER_MARGIN + labelWidth + INNER_MARGIN;
    return INNER_MARGIN + labelWidth + LABEL_GAP + row.field->GetBestSize().x + INNER_MARGIN;
}

// Places the rows inside their group box, the fields at its right edge, each
// label centred on its field; returns the box's height.
int PlaceGroup(wxStaticBox* box, const std::vector<FormRow>& rows, int width)
{
    int top = 0;
    int other = 0;
    box->GetBordersForSizer(&top, &other);
    int pitch = ROW_PITCH;
    int fieldHeight = 0;
    for (const FormRow& row : rows) {
        const int height = (row.field ? row.field : row.label)->GetBestSize().y;
        fieldHeight = std::max(fieldHeight, height);
        pitch = std::max(pitch, height + ROW_GAP);
    }
    int y = std::max(FIRST_ROW_Y, top + ROW_GAP);
    for (const FormRow& row : rows) {
        const wxSize labelSize = row.label->GetBestSize();
        if (row.field) {
            const wxSize fieldSize = row.field->GetBestSize();
            row.field->SetSize(width - INNER_MARGIN - fieldSize.x, y, fieldSize.x, fieldSize.y);
            row.label->SetSize(INNER_MARGIN, y + (fieldSize.y - labelSize.y) / 2, labelSize.x, labelSize.y);
        } else {
            row.label->SetSize(INNER_MARGIN, y + (fieldHeight - labelSize.y) / 2, labelSize.x, labelSize.y);
        }
        y += pitch;
    }
    const int height = y - pitch + fieldHeight + other + INNER_MARGIN;
    box->SetSize(0, 0, width, height);
    return height;
}

}  // namespace

MyFrame* MainFrame = nullptr;

// ----------------------------------------------------------------------------
// event table
// ----------------------------------------------------------------------------
// clang-format off
wxBEGIN_EVENT_TABLE(MyFrame, wxFrame)
    EVT_MENU(wxID_EXIT, MyFrame::OnQuit)
    EVT_MENU(wxID_ABOUT, MyFrame::OnAbout)
    EVT_MENU(ID_EDIT_SCRIPT, MyFrame::OnEditScript)
    EVT_MENU_RANGE(ID_AF_NONE, ID_AF_HELD_DURING, MyFrame::OnAFMode)
    EVT_BUTTON(ID_START_SEQUENCE, MyFrame::OnStart)
    EVT_BUTTON(ID_ABORT_SEQUENCE, MyFrame::OnAbort)
    EVT_MENU(ID_ABORT_SEQUENCE, MyFrame::OnAbort)
    EVT_BUTTON(ID_STOP_AFTER_FRAME, MyFrame::OnStopAfterFrame)
    EVT_BUTTON(ID_PAUSE, MyFrame::OnPause)
    EVT_TEXT_ENTER(wxID_ANY, MyFrame::OnFieldEnter)
    EVT_CLOSE(MyFrame::OnClose)
    EVT_UPDATE_UI(ID_CHOOSE_PORT, MyFrame::OnUpdateChoosePort)
    EVT_MENU(ID_SHOW_LOG, MyFrame::OnShowLog)
    EVT_MENU(ID_USER_GUIDE, MyFrame::OnUserGuide)
    EVT_MENU(ID_CAMERA, MyFrame::OnCamera)
    EVT_MENU(ID_GUIDER, MyFrame::OnGuider)
    EVT_MENU(ID_SUMMARY, MyFrame::OnSummary)
    EVT_MENU(ID_PLAN, MyFrame::OnPlan)
    EVT_MENU(ID_LARGE_DISPLAY, MyFrame::OnLargeDisplay)
    EVT_MENU(ID_LAST_FRAME, MyFrame::OnLastFrame)
    EVT_MENU(ID_NIGHT_MODE, MyFrame::OnNightMode)
    EVT_MENU(ID_SOUNDS, MyFrame::OnSounds)
wxEND_EVENT_TABLE()
// clang-format on

// ----------------------------------------------------------------------------
// implementation
// ----------------------------------------------------------------------------
MyFrame::MyFrame(const wxString& title, const WindowParts& parts)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(FRAME_WIDTH, FRAME_HEIGHT), FRAME_STYLE)
    , settings_(parts.settings)
    , notifier_(parts.notifier)
    , view_(*this, parts.notifier, [this](RunEnd end, int run) { RunEnded(end, run); })
    , clock_(parts.clock)
    , control_(std::make_unique<RunControl>(
          RunParts{parts.ports, parts.clock, parts.guider, parts.sleep, parts.log, parts.runThread,
                   parts.makeCameraLink},
          view_, [this](const CameraFileOutcome& outcome) { ShowCameraOutcome(outcome); },
          [this](std::function<void()> call) { CallAfter(std::move(call)); },
          [this](RunSetting setting, int value) { ShowSetting(setting, value); }))
{
    wxIcon icon;
    icon.CopyFromBitmap(XpmBitmap(progicon_xpm));  // the "progicon" image
    SetIcon(icon);
    // Before the banner is made: in night mode, its red version.
    const bool night = settings_.ReadFlag(NIGHT_MODE_KEY);
    SetNightMode(night);

    auto* fileMenu = new wxMenu;
    // Exit comes first in this program's File menu.
    fileMenu->Append(wxID_EXIT, "E&xit\tAlt-X", "Quit this program");
    fileMenu->Append(ID_EDIT_SCRIPT, "Edit/Run &Script", "Script a sequence");
    fileMenu->Append(ID_PLAN, wxString::FromUTF8("Pla&n\u2026"),
                     "The night's runs of lights, darks, flats and bias, with their targets and end time");
    fileMenu->Append(ID_CHOOSE_PORT, wxString::FromUTF8("&Port\u2026"),
                     "Connect the trigger port again, or another one");
    fileMenu->Append(ID_CAMERA, wxString::FromUTF8("&Camera\u2026"),
                     "Fetch each frame's files from the camera over USB");
    fileMenu->Append(ID_GUIDER, wxString::FromUTF8("&Guider\u2026"),
                     "Dither and wait for steady guiding between the window's frames (PHD2)");
    fileMenu->Append(ID_SHOW_LOG, "Show Exposure &Log", "Open the exposure log with the desktop's program for it");
    fileMenu->Append(ID_SUMMARY, "Su&mmary", "Tonight's frames for each target and type, from the exposure log");
    fileMenu->AppendSeparator();
    fileMenu->AppendRadioItem(ID_AF_NONE, "No AF signal", "No AF signal");
    fileMenu->AppendRadioItem(ID_AF_PULSE_AT_START, "AF pulse at start", "Pulse sent before exposure");
    fileMenu->AppendRadioItem(ID_AF_HELD_DURING, "AF during exposure (Nikon D200)", "Pulse held during exposure");
    auto* viewMenu = new wxMenu;
    viewMenu->AppendCheckItem(ID_LARGE_DISPLAY, "&Large Display\tF11", "The run in large type, in a window of its own");
    viewMenu->AppendCheckItem(ID_LAST_FRAME, "Last &Frame\tF9",
                              "The last frame, its histogram and its stars, in a window of its own");
    viewMenu->AppendCheckItem(ID_NIGHT_MODE, "&Night Mode", "Red on black, to keep your eyes dark-adapted");
    viewMenu->Check(ID_NIGHT_MODE, night);
    viewMenu->AppendCheckItem(ID_SOUNDS, "&Sounds", "A sound when a run ends");
    const bool sounds = !settings_.ReadFlag(SOUNDS_OFF_KEY);
    viewMenu->Check(ID_SOUNDS, sounds);
    view_.SetSounds(sounds);
    auto* helpMenu = new wxMenu;
    helpMenu->Append(ID_USER_GUIDE, "&User Guide\tShift+F1", "The user guide, with the desktop's program for it");
    helpMenu->Append(wxID_ABOUT, "&About...\tF1", "Show about dialog");
    auto* menuBar = new wxMenuBar;
    menuBar->Append(fileMenu, "&File");
    menuBar->Append(viewMenu, "&View");
    menuBar->Append(helpMenu, "&Help");
    SetMenuBar(menuBar);
    // Ctrl+Q as well as the menu's own Alt-X. Alt+A aborts as the key
    // comes: the button's mnemonic would hold the button pressed for a
    // quarter of a second before its click.
    wxAcceleratorEntry keys[] = {{wxACCEL_CTRL, 'Q', wxID_EXIT}, {wxACCEL_ALT, 'A', ID_ABORT_SEQUENCE}};
    SetAcceleratorTable(wxAcceleratorTable(2, keys));

    // The run's status, and whether the camera's files are fetched.
    CreateStatusBar(2, wxSTB_SIZEGRIP | wxFULL_REPAINT_ON_RESIZE, 0);

    // As the frame's only child, the main container fills its client area.
    // The areas are panels, the toolkit's parents for Tab and Shift+Tab, in
    // the reading order of their controls. The text is the user's own size.
    auto* mainArea = new wxPanel(this, wxID_ANY, wxPoint(1, 1));

    auto* bannerArea =
        new wxPanel(mainArea, wxID_ANY, wxPoint(BANNER_X, BANNER_Y), wxSize(BANNER_WIDTH, BANNER_HEIGHT), wxNO_BORDER);
    // Its identifier is wxID_ABOUT, but only the menu command of that
    // identifier is bound: a click on the banner does nothing, and Tab
    // passes it by.
    BannerBitmap = new wxBitmapButton(bannerArea, wxID_ABOUT, IdleBanner(), wxPoint(0, 0),
                                      wxSize(BANNER_WIDTH, BANNER_HEIGHT), wxBU_AUTODRAW | wxBORDER_NONE);
    BannerBitmap->DisableFocusFromKeyboard();
    SetAccessibleName(BannerBitmap, "Vantrel");

    auto* exposureArea = new wxPanel(mainArea, wxID_ANY, wxPoint(AREA_X, 72), wxSize(AREA_WIDTH, 120), wxNO_BORDER);
    auto* exposureBox =
        new wxStaticBox(exposureArea, wxID_ANY, "Exposure control", wxPoint(0, 0), wxSize(AREA_WIDTH, 120));
    auto* exposuresLabel = MakeLabel(exposureArea, 29, "# Exposures");
    ExposuresCtrl =
        MakeSpin(exposureArea, 24, control_->Settings(), RunSetting::EXPOSURES, "Number of exposures to collect");
    auto* durationLabel = MakeLabel(exposureArea, 59, "Duration");
    DurationCtrl =
        MakeSpin(exposureArea, 54, control_->Settings(), RunSetting::DURATION, "Duration (seconds) of each exposure");
    MirrorLockCtrl = new wxCheckBox(exposureArea, wxID_ANY, "Enable Mirror-lockup", wxPoint(INNER_MARGIN, 89));
    MirrorLockCtrl->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& event) {
        control_->Settings().Set(RunSetting::MIRROR_LOCK, event.IsChecked());
        event.Skip();
    });
    MirrorLockCtrl->SetToolTip("Send brief shutter pulse to lock mirror in up position?");
    // Each field is named after its label (for tests and screen readers).
    SetAccessibleName(ExposuresCtrl, "# Exposures");
    SetAccessibleName(DurationCtrl, "Duration");

    auto* delayArea = new wxPanel(mainArea, wxID_ANY, wxPoint(AREA_X, 202), wxSize(AREA_WIDTH, 120), wxNO_BORDER);
    auto* delayBox = new wxStaticBox(delayArea, wxID_ANY, "Delay control", wxPoint(0, 0), wxSize(AREA_WIDTH, 120));
    auto* startLabel = MakeLabel(delayArea, 29, "Sequence start");
    StartDelayCtrl = MakeSpin(delayArea, 24, control_->Settings(), RunSetting::START_DELAY,
                              "Delay (seconds) before everything starts");
    auto* beforeLabel = MakeLabel(delayArea, 59, "Before frame");
    PreDelayCtrl = MakeSpin(delayArea, 54, control_->Settings(), RunSetting::BEFORE_DELAY,
                            "Delay (seconds) before each exposure (mirror lock settling)");
    auto* afterLabel = MakeLabel(delayArea, 89, "After frame");
    PostDelayCtrl = MakeSpin(delayArea, 84, control_->Settings(), RunSetting::AFTER_DELAY,
                             "Delay (seconds) after each exposure (data write to card)");
    SetAccessibleName(StartDelayCtrl, "Sequence start");
    SetAccessibleName(PreDelayCtrl, "Before frame");
    SetAccessibleName(PostDelayCtrl, "After frame");

    // The frame around the buttons is a box without a label: a panel's
    // own border would keep the day theme's colour in night mode.
    auto* controlArea =
        new wxPanel(mainArea, wxID_ANY, wxPoint(AREA_X, 329), wxSize(AREA_WIDTH, 80), wxTAB_TRAVERSAL | wxNO_BORDER);
    auto* controlBox = new wxStaticBox(controlArea, wxID_ANY, "", wxPoint(0, 0), wxSize(AREA_WIDTH, 80));
    // No room for a label: the line runs along the top.
    gtk_widget_hide(gtk_frame_get_label_widget(GTK_FRAME(controlBox->GetHandle())));
    // Alt+S and Alt+A; the label reads "Start Sequence" and "Abort Sequence".
    auto* startButton = new wxButton(controlArea, ID_START_SEQUENCE, "&Start Sequence", wxPoint(INNER_MARGIN, 0),
                                     wxSize(165, BUTTON_HEIGHT));
    auto* abortButton = new wxButton(controlArea, ID_ABORT_SEQUENCE, "&Abort Sequence", wxPoint(INNER_MARGIN, 25),
                                     wxSize(165, BUTTON_HEIGHT));
    // Alt+T and Alt+P (Alt+R while paused).
    auto* stopButton = new wxButton(controlArea, ID_STOP_AFTER_FRAME, "S&top After Frame");
    stopButton->SetToolTip("End the run once the exposure in progress is done");
    PauseButton = new wxButton(controlArea, ID_PAUSE, RESUME_LABEL);
    PauseButton->SetToolTip("Wait between frames until Resume");
    const wxSize pauseSize = PauseButton->GetBestSize();  // the longer label's
    PauseButton->SetLabel(PAUSE_LABEL);
    RemainingText = new wxStaticText(controlArea, wxID_ANY, REMAINING_IDLE, wxPoint(INNER_MARGIN, 50));
    RemainingText->SetName("Total Remaining");
    // Enter in a field confirms its value; it does not start: Start is on
    // its button, Alt+S, and Space or Enter on the button itself.

    // The geometry above is the smallest; now every row, box and area grows
    // to what this theme's controls need, so that nothing is clipped.
    const std::vector<FormRow> exposureRows = {
        {exposuresLabel, ExposuresCtrl}, {durationLabel, DurationCtrl}, {MirrorLockCtrl, nullptr}};
    const std::vector<FormRow> delayRows = {
        {startLabel, StartDelayCtrl}, {beforeLabel, PreDelayCtrl}, {afterLabel, PostDelayCtrl}};
    const wxSize bannerSize(std::max(BANNER_WIDTH, BannerBitmap->GetBestSize().x),
                            std::max(BANNER_HEIGHT, BannerBitmap->GetBestSize().y));
    const wxSize buttonSize(std::max(startButton->GetBestSize().x, abortButton->GetBestSize().x),
                            std::max(BUTTON_HEIGHT, startButton->GetBestSize().y));
    const wxSize remainingSize = RemainingText->GetTextExtent(LONGEST_REMAINING);
    const int halvesWidth = stopButton->GetBestSize().x + pauseSize.x + BUTTON_GAP;
    int width = std::max({AREA_WIDTH, bannerSize.x, buttonSize.x + 3 * INNER_MARGIN, halvesWidth + 3 * INNER_MARGIN,
                          remainingSize.x + 3 * INNER_MARGIN,
                          GetStatusBar()->GetTextExtent(LONGEST_STATUS).x + STATUS_FIELD_MARGIN +
                              CameraFieldWidth(LONGEST_CAMERA_FIELD) - 2 * AREA_X});
    for (const auto* rows : {&exposureRows, &delayRows})
        for (const FormRow& row : *rows)
            width = std::max(width, RowWidth(row));

    bannerArea->SetSize(BANNER_X + (width - bannerSize.x) / 2, BANNER_Y, bannerSize.x, bannerSize.y);
    BannerBitmap->SetSize(0, 0, bannerSize.x, bannerSize.y);
    int y = BANNER_Y + bannerSize.y + GAP_AFTER_BANNER;
    const int exposureHeight = PlaceGroup(exposureBox, exposureRows, width);
    exposureArea->SetSize(AREA_X, y, width, exposureHeight);
    y += exposureHeight + GAP_AFTER_EXPOSURE;
    const int delayHeight = PlaceGroup(delayBox, delayRows, width);
    delayArea->SetSize(AREA_X, y, width, delayHeight);
    y += delayHeight + GAP_AFTER_DELAY;

    int boxTop = 0;
    int boxSide = 0;
    controlBox->GetBordersForSizer(&boxTop, &boxSide);
    const int buttonWidth = width - 3 * INNER_MARGIN;
    const int buttonsY = boxSide + BUTTON_GAP;  // no label above
    startButton->SetSize(INNER_MARGIN, buttonsY, buttonWidth, buttonSize.y);
    abortButton->SetSize(INNER_MARGIN, buttonsY + buttonSize.y + BUTTON_GAP, buttonWidth, buttonSize.y);
    // Stop After Frame and Pause share a row, the room beyond their own
    // widths shared between them.
    const int halvesY = buttonsY + 2 * (buttonSize.y + BUTTON_GAP);
    const int spare = (buttonWidth - halvesWidth) / 2;
    const int stopWidth = stopButton->GetBestSize().x + spare;
    stopButton->SetSize(INNER_MARGIN, halvesY, stopWidth, buttonSize.y);
    PauseButton->SetSize(INNER_MARGIN + stopWidth + BUTTON_GAP, halvesY, buttonWidth - stopWidth - BUTTON_GAP,
                         buttonSize.y);
    const int textY = buttonsY + 3 * (buttonSize.y + BUTTON_GAP);
    RemainingText->SetSize(INNER_MARGIN, textY, remainingSize.x, remainingSize.y);
    const int controlHeight = textY + remainingSize.y + INNER_MARGIN + boxSide;
    controlArea->SetSize(AREA_X, y, width, controlHeight);
    controlBox->SetSize(0, 0, width, controlHeight);
    y += controlHeight;

    const wxSize content = wxSize(AREA_X + width + AREA_X, y + AREA_X) + mainArea->GetWindowBorderSize();
    SetClientSize(content);
    // Larger if the user likes, never smaller than the content. The toolkit
    // keeps the smallest size with the window's own decorations, which on
    // Wayland are drawn by the window and known only once it is shown: it is
    // set again whenever they change.
    SetMinClientSize(content);
    Bind(wxEVT_SIZE, [this, content](wxSizeEvent& event) {
        event.Skip();
        if (GetMinClientSize() != content)
            SetMinClientSize(content);
    });

    view_.Attach(RemainingText, BannerBitmap);
    RestoreFields();
    SetAfMode(settings_.ReadAfMode());
    ShowLargeDisplay(settings_.ReadFlag(LARGE_DISPLAY_KEY));
    ShowLastFrame(settings_.ReadFlag(LAST_FRAME_KEY));
    LinkCamera();
    // The keyboard starts in the first field.
    ExposuresCtrl->SetFocus();
}

wxString MyFrame::RemainingShown() const { return RemainingText->GetLabel(); }

// Closing a menu shows the runner's latest status text, not the one saved
// when the menu opened.
void MyFrame::DoGiveHelp(const wxString& text, bool show)
{
    if (show && !menuHelpShown_) {
        view_.RememberStatus(GetStatusBar()->GetStatusText(0));
        menuHelpShown_ = true;
    }
    wxFrame::DoGiveHelp(text, show);
    if (!show && menuHelpShown_) {
        menuHelpShown_ = false;
        SetStatusText(view_.LastStatus(), 0);
    }
}

void MyFrame::SetStatusText(const wxString& text, int number)
{
    wxFrame::SetStatusText(text, number);
    if (number == 0 && GetStatusBar())
        SetAccessibleName(GetStatusBar(), text.empty() ? wxString("Status") : text);
}

void MyFrame::SaveAndDestroy()
{
    settings_.WriteAfMode(UsersAfMode());
    Destroy();
}

MyFrame::~MyFrame()
{
    // A download in progress ends first, and the lines that waited for the
    // camera's files are written (the exit waits a second at most).
    control_.reset();
    if (summaryReader_.joinable())
        summaryReader_.join();
    if (MainFrame == this)
        MainFrame = nullptr;
}

void MyFrame::SetAfMode(int mode)
{
    afMode_ = mode;
    GetMenuBar()->Check(ID_AF_NONE + mode, true);
    ShareControls();
}

// ----------------------------------------------------------------------------
// the buttons and menus
// ----------------------------------------------------------------------------
std::vector<MyFrame::Field> MyFrame::Fields() const
{
    return {{RunSetting::EXPOSURES, ExposuresCtrl, "Exposures"},
            {RunSetting::DURATION, DurationCtrl, "Duration"},
            {RunSetting::START_DELAY, StartDelayCtrl, "Start Delay"},
            {RunSetting::BEFORE_DELAY, PreDelayCtrl, "Before Frame"},
            {RunSetting::AFTER_DELAY, PostDelayCtrl, "After Frame"}};
}

void MyFrame::TakeFields()
{
    for (const Field& field : Fields())
        control_->Settings().Set(field.setting, field.control->GetValue());
    control_->Settings().Set(RunSetting::MIRROR_LOCK, MirrorLockCtrl->GetValue());
}

// A value that is not a whole number is left at its default; one out of
// range is held to it.
void MyFrame::RestoreFields()
{
    for (const Field& field : Fields()) {
        int value = 0;
        if (ReadWhole(field.key, value))
            control_->Settings().Set(field.setting, value);
    }
    control_->Settings().Set(RunSetting::MIRROR_LOCK, settings_.ReadFlag(MIRROR_LOCK_KEY));
}

void MyFrame::ShowSetting(RunSetting setting, int value)
{
    if (setting == RunSetting::MIRROR_LOCK)
        MirrorLockCtrl->SetValue(value != 0);
    for (const Field& field : Fields())
        if (field.setting == setting)
            field.control->SetValue(value);
}

void MyFrame::OnStart(wxCommandEvent&)
{
    if (closeRequested_)
        return;
    TakeFields();
    for (const Field& field : Fields())
        settings_.WriteText(field.key, std::to_string(field.control->GetValue()));
    settings_.WriteFlag(MIRROR_LOCK_KEY, MirrorLockCtrl->GetValue());
    ShareControls();
    // Lights dither and wait for guiding as File > Guider… says.
    RunSettings run = control_->Settings().Run();
    const GuiderChoice guider = ReadGuiderChoice();
    guider.ApplyTo(run);
    if (run.frameType == "Light" && guider.Watches() && !Busy()) {
        control_->WatchGuider(true);
        guiderWatched_ = true;
    }
    control_->Start(run);
}

void MyFrame::OnAbort(wxCommandEvent&) { control_->Abort(); }

// A script's capture stopped so ends its script: no further line runs.
void MyFrame::OnStopAfterFrame(wxCommandEvent&)
{
    if (Busy())
        SetStatusText("Stopping after this frame", 0);
    scriptStopped_ = scriptStopped_ || captureRun_ != 0;
    control_->StopAfterFrame();
}

// Pause, and Resume while paused (the button says which).
void MyFrame::OnPause(wxCommandEvent&)
{
    if (!Busy())
        return;
    const bool pause = PauseButton->GetLabel() == PAUSE_LABEL;
    if (pause)
        control_->Pause();
    else
        control_->Resume();
    PauseButton->SetLabel(pause ? RESUME_LABEL : PAUSE_LABEL);
    if (pause)
        SetStatusText("Pausing after this frame", 0);
}

void MyFrame::ShareControls()
{
    control_->SetAfMode(afMode_);
    control_->SetMirrorLock(control_->Settings().MirrorLock());
}

// ----------------------------------------------------------------------------
// the camera's files
// ----------------------------------------------------------------------------
// File > Camera…'s choice as the settings keep it: off, the Pictures
// folder and "frame" unless set.
CameraChoice MyFrame::ReadCameraChoice()
{
    CameraChoice choice;
    choice.fetch = settings_.ReadFlag(CAMERA_FILES_KEY);
    choice.folder = settings_.ReadText(CAMERA_FOLDER_KEY);
    if (choice.folder.empty())
        choice.folder = wxStandardPaths::Get().GetUserDir(wxStandardPaths::Dir_Pictures).utf8_string();
    const std::string prefix = settings_.ReadText(CAMERA_PREFIX_KEY);
    if (!prefix.empty())
        choice.prefix = prefix;
    return choice;
}

void MyFrame::LinkCamera()
{
    const CameraChoice choice = ReadCameraChoice();
    CameraLinkSettings link;
    link.folder = choice.folder;
    link.prefix = choice.prefix;
    control_->LinkCamera(choice.fetch ? &link : nullptr);
    cameraGoneShown_ = false;
    ShowCameraField(!choice.fetch ? "" : control_->CameraConnected() ? "Camera" : "No camera", choice.folder);
}

int MyFrame::CameraFieldWidth(const wxString& text)
{
    return GetStatusBar()->GetTextExtent(text).x + 2 * GetStatusBar()->GetCharWidth();
}

// The status bar's second field, as narrow as its text (none while the
// files are not fetched); where the files go on hover.
void MyFrame::ShowCameraField(const wxString& text, const std::string& folder)
{
    wxStatusBar* bar = GetStatusBar();
    const int widths[] = {-1, text.empty() ? 0 : CameraFieldWidth(text)};
    bar->SetStatusWidths(2, widths);
    bar->SetStatusText(text, 1);

    bar->SetToolTip(text.empty() ? wxString()
                                 : wxString::FromUTF8("Each frame's files are fetched from the camera to " + folder));
}

// "Downloading frame 3…", then the file's name or why it did not come, in
// the camera's field (the status line keeps the run's own words, its end
// among them); a camera gone, once.
void MyFrame::ShowCameraOutcome(const CameraFileOutcome& outcome)
{
    if (outcome.kind == FileOutcome::LAST && !outcome.file.empty())
        return;
    const std::string frame = "frame " + std::to_string(outcome.frame);
    const std::string note = outcome.kind == FileOutcome::FETCHING
        ? "Downloading " + frame + "\u2026"
        : (outcome.frame > 0 ? "F" + frame.substr(1) : std::string("A file")) + ": " +
            (outcome.kind == FileOutcome::WRITTEN    ? outcome.file
                 : outcome.kind == FileOutcome::LAST ? "no file from the camera"
                                                     : outcome.reason);
    ShowCameraField(wxString::FromUTF8(note), ReadCameraChoice().folder);
    if (largeDisplay_)
        largeDisplay_->ShowCameraNote(note);
    if (outcome.kind == FileOutcome::GONE && !cameraGoneShown_) {
        cameraGoneShown_ = true;
        ShowCameraField("No camera", ReadCameraChoice().folder);
        wxMessageBox(
            wxString::FromUTF8("The camera's files are no longer fetched: " + outcome.reason +
                               "\nThe exposures go on. Connect the camera, then choose File > Camera\u2026 again."),
            "Vantrel", wxOK | wxICON_WARNING | wxCENTRE, this);
    }
}

void MyFrame::OnCamera(wxCommandEvent&)
{
    if (!control_->CanLinkCamera()) {
        wxMessageBox("This Vantrel was built without libgphoto2: it cannot fetch the camera's files.", "Vantrel",
                     wxOK | wxICON_INFORMATION | wxCENTRE, this);
        return;
    }
    const CameraChoice before = ReadCameraChoice();
    CameraChoice choice = before;
    // The camera as the link sees it: the one linked, or one looked for now
    // (the one linked let go first: the camera takes one session).
    std::string camera = control_->CameraDescription();
    const bool linked = control_->CameraConnected();
    if (!linked) {
        control_->LinkCamera(nullptr);
        camera = control_->LookForCamera();
    }
    if (AskCameraChoice(this, camera, choice)) {
        settings_.WriteFlag(CAMERA_FILES_KEY, choice.fetch);
        settings_.WriteText(CAMERA_FOLDER_KEY, choice.folder);
        settings_.WriteText(CAMERA_PREFIX_KEY, choice.prefix);
    }
    // A camera linked keeps its link, and the files on their way, unless
    // what it does has changed.
    const CameraChoice after = ReadCameraChoice();
    if (linked && after.fetch == before.fetch && after.folder == before.folder && after.prefix == before.prefix)
        return;
    LinkCamera();
}

// Each value kept under its own key; a missing or bad one is its default.
GuiderChoice MyFrame::ReadGuiderChoice()
{
    GuiderChoice choice;
    for (const auto& [key, value] : GuiderKeys(choice))
        ReadWhole(key, *value);  // held to its range where it is used
    return choice;
}

void MyFrame::OnGuider(wxCommandEvent&)
{
    GuiderChoice choice = ReadGuiderChoice();
    if (!AskGuiderChoice(this, choice))
        return;
    for (const auto& [key, value] : GuiderKeys(choice))
        settings_.WriteText(key, std::to_string(*value));
}

bool MyFrame::ReadWhole(const char* key, int& value)
{
    const std::string text = settings_.ReadText(key);
    char* end = nullptr;
    const long read = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        return false;
    constexpr long LIMIT = 1000000;  // far beyond every setting's range
    value = static_cast<int>(std::clamp(read, -LIMIT, LIMIT));
    return true;
}

void MyFrame::NightSummary(std::function<void(const std::string&)> then)
{
    if (summaryReader_.joinable())
        return;
    summaryReader_ = std::thread([this, then = std::move(then), since = NightStartUtcMs(clock_.WallMs())] {
        const std::string text = SummaryText(SummariseLogFile(ExposureLogPath(), since));
        CallAfter([this, then, text] {
            summaryReader_.join();
            then(text);
        });
    });
}

void MyFrame::OnSummary(wxCommandEvent&)
{
    NightSummary([this](const std::string& text) {
        wxMessageBox(wxString::FromUTF8("Since noon:\n" + text), "Summary", wxOK | wxICON_INFORMATION | wxCENTRE, this);
    });
}

// The log with whatever the desktop opens a CSV file with, else a text
// editor, else its folder in the file manager.
void MyFrame::OnShowLog(wxCommandEvent&)
{
    const wxString path = wxString::FromUTF8(ExposureLogPath());
    if (!wxFileExists(path)) {
        wxMessageBox("No exposure has been logged yet.\n" + path, "Vantrel", wxOK | wxICON_INFORMATION | wxCENTRE,
                     this);
        return;
    }
    OpenOnDesktop(path);
}

void MyFrame::OpenOnDesktop(const wxString& path)
{
    if (wxLaunchDefaultApplication(path))
        return;
    std::unique_ptr<wxFileType> text(wxTheMimeTypesManager->GetFileTypeFromMimeType("text/plain"));
    const wxString edit = text ? text->GetOpenCommand(path) : wxString();
    if ((edit.empty() || wxExecute(edit, wxEXEC_ASYNC) <= 0) && !wxLaunchDefaultApplication(wxPathOnly(path)))
        wxMessageBox("No program opens this file here.\n" + path, "Vantrel", wxOK | wxICON_INFORMATION | wxCENTRE,
                     this);
}

// The guide installed beside the program (share/vantrel/docs), else the
// one in the source tree it was built in.
void MyFrame::OnUserGuide(wxCommandEvent&)
{
    const wxString bin = wxPathOnly(wxStandardPaths::Get().GetExecutablePath());
    for (const wxString& guide : {bin + "/../share/vantrel/docs/user-guide.md", bin + "/../docs/user-guide.md"}) {
        if (wxFileExists(guide)) {
            wxFileName whole(guide);
            whole.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_ABSOLUTE);
            OpenOnDesktop(whole.GetFullPath());
            return;
        }
    }
    wxMessageBox("The user guide is not installed here.", "Vantrel", wxOK | wxICON_INFORMATION | wxCENTRE, this);
}

void MyFrame::OnLargeDisplay(wxCommandEvent& event)
{
    ShowLargeDisplay(event.IsChecked());
    settings_.WriteFlag(LARGE_DISPLAY_KEY, event.IsChecked());
}

// Opened beside the main window, or closed; closed by the user, it stays
// closed at the next start.
void MyFrame::ShowLargeDisplay(bool show)
{
    GetMenuBar()->Check(ID_LARGE_DISPLAY, show);
    if (show == (largeDisplay_ != nullptr)) {
        if (largeDisplay_)
            largeDisplay_->Raise();
        return;
    }
    if (!show) {
        view_.Follow(nullptr);
        largeDisplay_->Destroy();
        largeDisplay_ = nullptr;
        return;
    }
    largeDisplay_ = new LargeDisplay(
        this,
        [this] {
            view_.Follow(nullptr);
            largeDisplay_ = nullptr;
            GetMenuBar()->Check(ID_LARGE_DISPLAY, false);
            settings_.WriteFlag(LARGE_DISPLAY_KEY, false);
        },
        RunKeys{[this] { control_->Abort(); },
                [this] {
                    wxCommandEvent stop(wxEVT_BUTTON, ID_STOP_AFTER_FRAME);
                    OnStopAfterFrame(stop);
                },
                [this] {
                    wxCommandEvent pause(wxEVT_BUTTON, ID_PAUSE);
                    OnPause(pause);
                }});
    PlaceClearOfThis(largeDisplay_);
    view_.Follow(largeDisplay_);
    largeDisplay_->Show();
}

wxRect PlaceClear(const wxRect& screen, const std::vector<wxRect>& taken, wxSize size)
{
    size.DecTo(screen.GetSize());
    const auto onScreen = [&](wxPoint at, wxSize made) {
        at.x = std::clamp(at.x, screen.x, screen.GetRight() + 1 - made.x);
        at.y = std::clamp(at.y, screen.y, screen.GetBottom() + 1 - made.y);
        return wxRect(at, made);
    };
    const auto covered = [&](const wxRect& place) {
        int64_t area = 0;
        for (const wxRect& window : taken) {
            const wxRect both = place.Intersect(window);
            area += both.IsEmpty() ? 0 : int64_t{both.width} * both.height;
        }
        return area;
    };
    if (taken.empty())
        return onScreen(screen.GetPosition(), size);
    const wxRect& main = taken.front();
    // Each side, with the room the screen leaves there: the window made
    // smaller to fit it, down to half its size (its type follows its size).
    const struct {
        wxPoint at;
        wxSize room;
    } sides[] = {
        {{main.GetRight() + 1, main.y}, {screen.GetRight() - main.GetRight(), screen.height}},
        {{main.x, main.GetBottom() + 1}, {screen.width, screen.GetBottom() - main.GetBottom()}},
        {{main.x - size.x, main.y}, {main.x - screen.x, screen.height}},
        {{main.x, main.y - size.y}, {screen.width, main.y - screen.y}},
    };
    for (const auto& side : sides) {
        wxSize made = size;
        made.DecTo(side.room);
        if (made.x < size.x / 2 || made.y < size.y / 2)
            continue;
        const wxPoint at(side.at.x + (side.at.x < main.x ? size.x - made.x : 0),
                         side.at.y + (side.at.y < main.y ? size.y - made.y : 0));
        const wxRect place = onScreen(at, made);
        if (covered(place) == 0)
            return place;
    }
    wxRect best;
    int64_t least = INT64_MAX;
    for (const auto& side : sides) {
        const wxRect place = onScreen(side.at, size);
        const int64_t area = covered(place);
        if (area < least) {
            least = area;
            best = place;
        }
    }
    return best;
}

// A window of the program's opens clear of the main window and the Large
// Display, on the main window's screen; again once the main window has its
// place (at start-up the window manager gives it one after it is shown).
void MyFrame::PlaceClearOfThis(wxTopLevelWindow* window)
{
    const auto place = [this, window] {
        std::vector<wxRect> taken = {GetScreenRect()};
        if (largeDisplay_ && window != largeDisplay_)
            taken.push_back(largeDisplay_->GetScreenRect());
        const int display = wxDisplay::GetFromWindow(this);
        const wxRect screen = wxDisplay(display == wxNOT_FOUND ? 0 : display).GetClientArea();
        window->SetSize(PlaceClear(screen, taken, window->GetSize()));
    };
    place();
    if (!IsShown())
        CallAfter([this, window, place] {
            if (window == largeDisplay_ || window == lastFrame_)
                place();
        });
}

void MyFrame::OnLastFrame(wxCommandEvent& event)
{
    ShowLastFrame(event.IsChecked());
    settings_.WriteFlag(LAST_FRAME_KEY, event.IsChecked());
}

// Opened below the main window (and the Large Display), or closed; closed by the user, it stays
// closed at the next start.
void MyFrame::ShowLastFrame(bool show)
{
    GetMenuBar()->Check(ID_LAST_FRAME, show);
    if (show == (lastFrame_ != nullptr)) {
        if (lastFrame_)
            lastFrame_->Raise();
        return;
    }
    if (!show) {
        view_.FollowFrames(nullptr);
        lastFrame_->Destroy();
        lastFrame_ = nullptr;
        return;
    }
    lastFrame_ = new LastFrameWindow(this, [this] {
        view_.FollowFrames(nullptr);
        lastFrame_ = nullptr;
        GetMenuBar()->Check(ID_LAST_FRAME, false);
        settings_.WriteFlag(LAST_FRAME_KEY, false);
    });
    PlaceClearOfThis(lastFrame_);
    view_.FollowFrames(lastFrame_);
    lastFrame_->Show();
}

void MyFrame::OnNightMode(wxCommandEvent& event)
{
    SetNightMode(event.IsChecked());
    settings_.WriteFlag(NIGHT_MODE_KEY, event.IsChecked());
    // The banner's and the Large Display's own colours follow.
    view_.RestyleBanner();
    if (largeDisplay_)
        largeDisplay_->Restyle();
    if (lastFrame_)
        lastFrame_->Restyle();
}

void MyFrame::OnSounds(wxCommandEvent& event)
{
    view_.SetSounds(event.IsChecked());
    settings_.WriteFlag(SOUNDS_OFF_KEY, !event.IsChecked());
}

// Another port only while no run is in progress.
void MyFrame::OnUpdateChoosePort(wxUpdateUIEvent& event) { event.Enable(!Busy() && !closeRequested_); }

// Enter in a field confirms its value (the control takes it) and nothing
// more.
void MyFrame::OnFieldEnter(wxCommandEvent&) { }

// Exit may be refused, as the close box may: a run in progress asks first.
void MyFrame::OnQuit(wxCommandEvent&) { Close(false); }

void MyFrame::OnAbout(wxCommandEvent&)
{
    wxMessageBox(ABOUT_TEXT, "About Vantrel", wxOK | wxICON_INFORMATION | wxCENTRE, this);
}

void MyFrame::OnAFMode(wxCommandEvent& event)
{
    afMode_ = event.GetId() - ID_AF_NONE;
    ShareControls();
}

// A close during a run is taken up by the runner: it stops, so that an
// exposure in progress runs its exposure end, and closes at its next
// checkpoint. With the script editor open, the editor ends its script and
// closes, and the window closes after it. Nothing drives a line on a
// released port, and nothing touches the window after it is gone.
void MyFrame::OnClose(wxCloseEvent& event)
{
    // One key (Alt+F, Enter) must not end a night: Exit, Ctrl+Q and the
    // close box ask during a run. Signals and the session's end force the
    // close and are not asked.
    if (event.CanVeto() && Busy() && !closeRequested_) {
        wxMessageDialog ask(this, "A sequence is running. Abort it and exit?", "Vantrel",
                            wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION | wxCENTRE);
        ask.SetYesNoLabels("Abort and Exit", "Keep Running");
        if (ask.ShowModal() != wxID_YES) {
            event.Veto();
            return;
        }
    }
    if (Busy() || scriptEditorOpen_) {
        closeRequested_ = true;
        if (event.CanVeto())
            event.Veto();
        if (scriptEditor_)
            scriptEditor_->Close();
        control_->Close();
        return;
    }
    ReleaseAndDestroy();
}

void MyFrame::ReleaseEverything(bool withToolkit)
{
    ReleaseAtExit();
    if (withToolkit)
        settings_.WriteAfMode(UsersAfMode());
    else
        settings_.WriteAfModeWithoutToolkit(UsersAfMode());
}

void MyFrame::ReleaseAndDestroy()
{
    ReleasePort();
    SaveAndDestroy();
}

// ----------------------------------------------------------------------------
// the script's target
// ----------------------------------------------------------------------------
void MyFrame::SetSetting(RunSetting setting, int value) { control_->Settings().Set(setting, value); }

// The capture runs on; the script goes on when the window has shown its
// end. While another run is in progress, nothing starts.
bool MyFrame::Capture(int startDelaySeconds, int64_t startAtUtcMs, const std::string& source,
                      std::function<void()> ended)
{
    control_->Settings().Set(RunSetting::START_DELAY, startDelaySeconds);
    if (Busy() || closeRequested_)
        return false;
    RunSettings settings = control_->Settings().Run();
    settings.source = source;
    settings.startAtUtcMs = startAtUtcMs;
    ShareControls();
    // Before the start: a run may end as it starts.
    captureRun_ = view_.RunsShown() + 1;
    captureEnded_ = std::move(ended);
    // A run refused (its port gone) ends the capture as it is shown.
    control_->Start(settings);
    return true;
}

// A close during a run closes the window now, unless the script editor is
// open: then its script ends first. The end of a script's capture lets the
// script go on, once the window has shown it.
void MyFrame::RunEnded(RunEnd end, int run)
{
    if (guiderWatched_)
        control_->WatchGuider(false);
    guiderWatched_ = false;
    if (end == RunEnd::CLOSED && !scriptEditorOpen_)
        SaveAndDestroy();
    else
        PauseButton->SetLabel(PAUSE_LABEL);
    if (captureRun_ == 0 || run != captureRun_)
        return;
    captureRun_ = 0;
    CallAfter([ended = std::move(captureEnded_)] { ended(); });
}

// The editor is its parent, so that it stays on top.
bool MyFrame::Prompt(const std::string& text)
{
    return wxMessageBox(wxString::FromUTF8(text), "Script Alert", wxOK | wxCANCEL | wxICON_INFORMATION,
                        scriptEditor_ ? static_cast<wxWindow*>(scriptEditor_) : this) != wxCANCEL;
}

void MyFrame::AbortCapture() { control_->Abort(); }

void MyFrame::SetFrameNaming(bool type, const std::string& text)
{
    if (type)
        control_->Settings().SetFrameType(text);
    else
        control_->Settings().SetTarget(text);
}

bool MyFrame::ScriptMustStop() { return closeRequested_ || control_->State().portLost || scriptStopped_; }

std::string MyFrame::LastScript() { return settings_.ReadText(LAST_SCRIPT_KEY); }

void MyFrame::RememberScript(const std::string& path) { settings_.WriteText(LAST_SCRIPT_KEY, path); }

// What a script sets is the script's: at its start and end, whichever way
// it ends, the window's own AF mode, plain lights and no target are in
// force again.
void MyFrame::ResetDithering()
{
    control_->Settings().ResetGuiderSettings();
    control_->Settings().SetFrameType("Light");
    control_->Settings().SetTarget("");
    scriptStopped_ = false;  // each script run starts afresh
    if (afBeforeScript_ >= 0)
        SetAfMode(afBeforeScript_);
    afBeforeScript_ = -1;
}

void MyFrame::SetScriptAfMode(int mode)
{
    if (afBeforeScript_ < 0)
        afBeforeScript_ = afMode_;
    SetAfMode(mode);
}

// The night so far, as File > Summary has it, as a notification.
void MyFrame::ScriptRunEnded()
{
    NightSummary([this](const std::string& text) { notifier_.Notify("Vantrel: script ended", text); });
}

std::string MyFrame::GuideSummary()
{
    const GuideTally tally = control_->State().tally;
    return FramesText(tally.frames) + ", " + std::to_string(tally.suspect) + " suspect, " +
        std::to_string(tally.retaken) + " retaken";
}

// The editor is a local object, destroyed when its modal loop ends. A close
// that came while it was open closes the window once it has gone (or, when
// a run is still in progress, at that run's next checkpoint).
void MyFrame::OnEditScript(wxCommandEvent&) { OpenScriptEditor(nullptr); }

// Run, the plan goes to the script editor as its script, and runs there.
void MyFrame::OnPlan(wxCommandEvent&)
{
    if (closeRequested_)
        return;
    PlanDialog dialog(this, plan_, [this] { return clock_.WallMs(); });
    const int answer = dialog.ShowModal();
    plan_ = dialog.GetPlan();
    if (answer != ID_PLAN_RUN)
        return;
    std::string script;
    for (const std::string& line : PlanScript(plan_))
        script += line + "\n";
    OpenScriptEditor(&script);
}

void MyFrame::OpenScriptEditor(const std::string* script)
{
    if (closeRequested_)
        return;
    EditScriptDialog dialog(this, *this, clock_);
    if (script) {
        dialog.SetScript(wxString::FromUTF8(*script));
        dialog.CallAfter([&dialog] {
            wxCommandEvent run(wxEVT_BUTTON, ID_RUN_SCRIPT);
            dialog.GetEventHandler()->ProcessEvent(run);
        });
    }
    scriptEditor_ = &dialog;
    scriptEditorOpen_ = true;
    dialog.ShowModal();
    scriptEditor_ = nullptr;
    scriptEditorOpen_ = false;
    if (closeRequested_ && !Busy())
        ReleaseAndDestroy();
}
