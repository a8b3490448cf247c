// The script editor: the text, its files, and the view of a script run
// (script/script_run.h), which acts on the script's target (the main
// window).

// ----------------------------------------------------------------------------
// includes
// ----------------------------------------------------------------------------
#include "script/edit_script_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "runner/clock.h"
#include "script/script_file.h"
#include "script/script_line.h"
#include "theme/accessible_name.h"
#include "theme/night_mode.h"

// ----------------------------------------------------------------------------
// constants
// ----------------------------------------------------------------------------
namespace {

constexpr long DIALOG_STYLE = wxCAPTION | wxCLOSE_BOX;
const wxSize DIALOG_SIZE(600, 350);
const wxPoint EDITOR_POS(5, 5);
const wxSize EDITOR_SIZE(590, 250);
constexpr int STATUS_Y = 265;
constexpr int BUTTONS_Y = 290;
constexpr int SMALL_BUTTON_WIDTH = 100;
constexpr int MARGIN = 5;
constexpr int BOTTOM_MARGIN = 10;

const char* const PREPARED_TEXT[] = {
    "% Vantrel Script",
    "%",
    "% Commands:",
    "% BeforeDelay N -- Sets the delay before each frame",
    "% AfterDelay N -- Sets the delay after each frame",
    "% Duration N -- Sets the exposure duration",
    "% Exposures N -- Sets the number of exposures",
    "% MirrorLock N -- 0=Disable, 1=Enable mirror lockup mode",
    "% StartCapture N -- Starts a capture after N seconds initial delay",
    "% PromptOK Message to user -- Shows \"Message to user\"and prompts for an OK",
    "%",
    "%  Note: Any line beginning with % will be ignored ",
};

const char* const SCRIPT_FILES = "Vantrel scripts (*.vantrel)|*.vantrel|All files|*";
const char* const DEFAULT_SCRIPT_NAME = "script.vantrel";

const char* const REASON_INCOMPLETE = "Each line must have a command and a parameter";
const char* const REASON_BAD_COMMAND = "Invalid command";

const char* const NIGHT_RUNNING_LINE_BACKGROUND = "#500000";

}  // namespace

// ----------------------------------------------------------------------------
// event table
// ----------------------------------------------------------------------------
// clang-format off
wxBEGIN_EVENT_TABLE(EditScriptDialog, wxDialog)
    EVT_BUTTON(ID_RUN_SCRIPT, EditScriptDialog::OnRunScript)
    EVT_BUTTON(ID_SCRIPT_DONE, EditScriptDialog::OnScriptDone)
    EVT_BUTTON(ID_ABORT_SCRIPT, EditScriptDialog::OnAbortScript)
    EVT_BUTTON(ID_OPEN_SCRIPT, EditScriptDialog::OnOpenScript)
    EVT_BUTTON(ID_OPEN_LAST_SCRIPT, EditScriptDialog::OnOpenLastScript)
    EVT_BUTTON(ID_SAVE_SCRIPT, EditScriptDialog::OnSaveScript)
    EVT_CLOSE(EditScriptDialog::OnClose)
    EVT_CHAR_HOOK(EditScriptDialog::OnCharHook)
wxEND_EVENT_TABLE()
// clang-format on

// ----------------------------------------------------------------------------
// implementation
// ----------------------------------------------------------------------------
EditScriptDialog::EditScriptDialog(wxWindow* parent, ScriptTarget& target, Clock& clock)
    : wxDialog(parent, wxID_ANY, "Script Editor", wxDefaultPosition, DIALOG_SIZE, DIALOG_STYLE)
    , target_(target)
    , clock_(clock)
    , run_(target, clock)
{
    // On a panel: the toolkit's parent for Tab and Shift+Tab.
    auto* panel = new wxPanel(this);
    ScriptTextCtrl = new wxTextCtrl(panel, wxID_ANY, "", EDITOR_POS, EDITOR_SIZE, wxTE_MULTILINE | wxHSCROLL);
    SetAccessibleName(ScriptTextCtrl, "Script");
    RunScriptButton = new wxButton(panel, ID_RUN_SCRIPT, "Run Script");
    AbortScriptButton = new wxButton(panel, ID_ABORT_SCRIPT, "Abort Script");
    OpenButton = new wxButton(panel, ID_OPEN_SCRIPT, wxString::FromUTF8("&Open\u2026"));
    OpenLastButton = new wxButton(panel, ID_OPEN_LAST_SCRIPT, "Open &Last Script");
    SaveButton = new wxButton(panel, ID_SAVE_SCRIPT, wxString::FromUTF8("Sa&ve\u2026"));
    DoneButton = new wxButton(panel, ID_SCRIPT_DONE, "&Done");
    ScriptStatusText =
        new wxStaticText(panel, wxID_ANY, "", wxPoint(MARGIN, STATUS_Y), wxSize(EDITOR_SIZE.x, -1), wxST_NO_AUTORESIZE);

    // Fixed positions, with the heights and widths that this theme's
    // controls need, so that nothing is clipped: the buttons spread evenly
    // under the text, the dialog as wide as they need.
    const int statusHeight = ScriptStatusText->GetTextExtent("0: Wy").y;
    ScriptStatusText->SetSize(MARGIN, STATUS_Y, EDITOR_SIZE.x, statusHeight);
    const int buttonsY = std::max(BUTTONS_Y, STATUS_Y + statusHeight + MARGIN);
    wxButton* const buttons[] = {RunScriptButton, AbortScriptButton, OpenButton,
                                 OpenLastButton,  SaveButton,        DoneButton};
    constexpr int gaps = std::size(buttons) + 1;
    int buttonHeight = 0;
    int buttonsWidth = 0;
    for (wxButton* button : buttons) {
        buttonHeight = std::max(buttonHeight, button->GetBestSize().y);
        buttonsWidth += std::max(SMALL_BUTTON_WIDTH, button->GetBestSize().x);
    }
    const int width = std::max(EDITOR_POS.x + EDITOR_SIZE.x + MARGIN, buttonsWidth + gaps * MARGIN);
    const int gap = (width - buttonsWidth) / gaps;
    int x = gap;
    for (wxButton* button : buttons) {
        const int buttonWidth = std::max(SMALL_BUTTON_WIDTH, button->GetBestSize().x);
        button->SetSize(x, buttonsY, buttonWidth, buttonHeight);
        x += buttonWidth + gap;
    }
    ScriptTextCtrl->SetSize(EDITOR_POS.x, EDITOR_POS.y, width - EDITOR_POS.x - MARGIN, EDITOR_SIZE.y);
    SetClientSize(width, buttonsY + buttonHeight + BOTTOM_MARGIN);
    panel->SetSize(GetClientSize());

    for (const char* line : PREPARED_TEXT)
        ScriptTextCtrl->AppendText(wxString(line) + "\n");
    for (const std::string& word : ScriptCommandWords())
        CommandWords.Add(word);
    savedText_ = ScriptTextCtrl->GetValue();
    OpenLastButton->Enable(!target_.LastScript().empty());
    ScriptTextCtrl->Bind(wxEVT_TEXT, [this](wxCommandEvent& event) {
        event.Skip();
        ShowTitle();
    });
}

EditScriptDialog::~EditScriptDialog() = default;

void EditScriptDialog::SetScript(const wxString& text)
{
    ScriptTextCtrl->SetValue(text);
    savedText_ = ScriptTextCtrl->GetValue();
}

int EditScriptDialog::CheckScriptLine(wxString line) { return ::CheckScriptLine(line.utf8_string()); }

void EditScriptDialog::OnRunScript(wxCommandEvent&)
{
    if (run_.Running() || !CheckAllLines())
        return;
    RunAllLines();
}

std::vector<std::string> EditScriptDialog::Lines() const
{
    std::vector<std::string> lines;
    for (int i = 0; i < ScriptTextCtrl->GetNumberOfLines(); ++i)
        lines.push_back(ScriptTextCtrl->GetLineText(i).utf8_string());
    return lines;
}

// Reports the first bad line and runs nothing.
bool EditScriptDialog::CheckAllLines()
{
    const long bad = ScriptRun::FirstBadLine(Lines());
    if (bad < 0)
        return true;
    const wxString line = ScriptTextCtrl->GetLineText(bad);
    wxMessageBox(wxString::Format("Error on line %ld\n", bad + 1) + line + "\n" +
                     (CheckScriptLine(line) == LINE_INCOMPLETE ? REASON_INCOMPLETE : REASON_BAD_COMMAND),
                 "Error", wxOK | wxICON_ERROR, this);
    // The bad line selected, and the cursor on it, to mend it at once.
    const long start = ScriptTextCtrl->XYToPosition(0, bad);
    ScriptTextCtrl->SetFocus();
    ScriptTextCtrl->SetSelection(start, start + ScriptTextCtrl->GetLineLength(bad));
    ScriptTextCtrl->ShowPosition(start);
    return false;
}

void EditScriptDialog::RunAllLines()
{
    const std::vector<std::string> lines = Lines();
    EnableEditing(false);
    ScriptTextCtrl->SetFocus();
    Redraw(ScriptTextCtrl);
    Redraw(this);
    clock_.Yield();
    ScriptTextCtrl->SetEditable(false);
    run_.Start(lines, *this);
}

void EditScriptDialog::ScriptEnded(const std::string& summary)
{
    planEnd_.clear();
    ScriptTextCtrl->SetEditable(true);
    // The guider's summary of the run stays on the status line.
    ScriptStatusText->SetLabel(wxString::FromUTF8(summary));
    EnableEditing(true);
    if (closeRequested_)
        CloseUnlessKept();
}

void EditScriptDialog::ShowRunningLine(long index, const std::string& text)
{
    MarkLine(index);
    if (index >= 0)  // "&" is shown as it is
        ScriptStatusText->SetLabelText(wxString::Format("%ld: ", index + 1) + wxString::FromUTF8(text));
}

// After the capture's line: "12: StartCapture 0 · ends at 02:42 (run 2 of 3)".
void EditScriptDialog::ShowPlanEnd(const std::string& text)
{
    planEnd_ = text;
    ScriptStatusText->SetLabelText(ScriptStatusText->GetLabelText() + wxString::FromUTF8(" \u00b7 " + text));
}

// Colours exactly the characters of line `line` (none for -1): one tag,
// moved from line to line, so that every other line keeps the theme's
// colours and the text view redraws only the two lines, when it next draws.
void EditScriptDialog::MarkLine(long line)
{
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(ScriptTextCtrl->GetConnectWidget()));
    // In night mode, darker red behind the line: no green.
    if (!runningTag_ && NightMode())
        runningTag_ = gtk_text_buffer_create_tag(buffer, nullptr, "background", NIGHT_RUNNING_LINE_BACKGROUND, "weight",
                                                 PANGO_WEIGHT_BOLD, nullptr);
    else if (!runningTag_)  // the theme's selection colours: readable in a light and a dark theme
        runningTag_ = gtk_text_buffer_create_tag(
            buffer, nullptr, "background",
            wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT).GetAsString(wxC2S_HTML_SYNTAX).utf8_str().data(),
            "foreground",
            wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT).GetAsString(wxC2S_HTML_SYNTAX).utf8_str().data(),
            nullptr);
    auto* tag = static_cast<GtkTextTag*>(runningTag_);
    const auto tagLine = [buffer, tag](long number, decltype(gtk_text_buffer_apply_tag) action) {
        GtkTextIter start;
        gtk_text_buffer_get_iter_at_line(buffer, &start, static_cast<gint>(number));
        GtkTextIter end = start;
        if (!gtk_text_iter_ends_line(&end))
            gtk_text_iter_forward_to_line_end(&end);
        action(buffer, tag, &start, &end);
    };
    if (markedLine_ >= 0)
        tagLine(markedLine_, gtk_text_buffer_remove_tag);
    markedLine_ = line;
    if (line >= 0)
        tagLine(line, gtk_text_buffer_apply_tag);
}

void EditScriptDialog::Redraw(wxWindow* window)
{
    window->Refresh(true);
    window->Update();
}

// A press while no script runs ends no later script run: the run loop
// looks only at its own flag.
void EditScriptDialog::OnAbortScript(wxCommandEvent&) { run_.Abort(); }

// Escape acts as the close box (the toolkit would look for a Cancel or OK
// button, which this dialog has not).
// Escape closes (a running script is aborted first); Ctrl+O, Ctrl+S,
// Ctrl+Shift+S, and F5 or Ctrl+R to run.
void EditScriptDialog::OnCharHook(wxKeyEvent& event)
{
    const int key = event.GetKeyCode();
    const bool ctrl = event.GetModifiers() == wxMOD_CONTROL;
    wxCommandEvent none;
    if (key == WXK_ESCAPE)
        Close();
    else if (run_.Running())
        event.Skip();
    else if (key == WXK_F5 || (ctrl && key == 'R'))
        OnRunScript(none);
    else if (ctrl && key == 'O')
        OnOpenScript(none);
    else if (ctrl && key == 'S')
        path_.empty() ? Save() : SaveTo(path_);
    else if (event.GetModifiers() == (wxMOD_CONTROL | wxMOD_SHIFT) && key == 'S')
        Save();
    else
        event.Skip();
}

// "Script Editor — lights.vantrel •": the file, and whether the text has
// changed since it was opened or saved.
void EditScriptDialog::ShowTitle()
{
    wxString title = "Script Editor";
    if (!path_.empty())
        title += wxString::FromUTF8(" \u2014 ") + path_.AfterLast('/');
    if (ScriptTextCtrl->GetValue() != savedText_)
        title += wxString::FromUTF8(" \u2022");
    if (title != GetTitle())
        SetTitle(title);
}

void EditScriptDialog::EnableEditing(bool enable)
{
    for (wxButton* button : {DoneButton, RunScriptButton, OpenButton, SaveButton})
        button->Enable(enable);
    OpenLastButton->Enable(enable && !target_.LastScript().empty());
}

void EditScriptDialog::OnScriptDone(wxCommandEvent&)
{
    if (MayDiscard())
        Finish(wxID_OK);
}

bool EditScriptDialog::MayDiscard()
{
    if (ScriptTextCtrl->GetValue() == savedText_)
        return true;
    wxMessageDialog ask(this, "The script has changed. Save it first?", "Script Editor",
                        wxYES_NO | wxCANCEL | wxICON_QUESTION | wxCENTRE);
    ask.SetYesNoCancelLabels("Save", "Close without Saving", "Cancel");
    switch (ask.ShowModal()) {
    case wxID_YES:
        return Save();
    case wxID_NO:
        return true;
    default:
        return false;
    }
}

// Plain text, a .vantrel file or any name.
void EditScriptDialog::OnOpenScript(wxCommandEvent&)
{
    if (!MayDiscard())
        return;
    wxFileDialog chooser(this, "Open Script", ScriptFolder(), wxEmptyString, SCRIPT_FILES,
                         wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (chooser.ShowModal() == wxID_OK)
        OpenFrom(chooser.GetPath());
}

// The editor opens with the prepared text; the file last opened or saved
// only when asked for.
void EditScriptDialog::OnOpenLastScript(wxCommandEvent&)
{
    const std::string path = target_.LastScript();
    if (!path.empty() && MayDiscard())
        OpenFrom(wxString::FromUTF8(path));
}

bool EditScriptDialog::OpenFrom(const wxString& path)
{
    std::string text;
    const std::string why = ReadScriptFile(std::string(path.fn_str()), text);
    if (!why.empty()) {
        wxMessageBox("Cannot read " + path + ": " + wxString::FromUTF8(why), "Script Editor",
                     wxOK | wxICON_ERROR | wxCENTRE, this);
        return false;
    }
    ScriptTextCtrl->SetValue(wxString::FromUTF8(text));
    Redraw(ScriptTextCtrl);  // at once, not when the cursor next moves
    savedText_ = ScriptTextCtrl->GetValue();
    path_ = path;
    target_.RememberScript(path.utf8_string());
    ShowTitle();
    return true;
}

void EditScriptDialog::OnSaveScript(wxCommandEvent&) { Save(); }

// The open script's folder, else the last script's, else the documents.
wxString EditScriptDialog::ScriptFolder() const
{
    const wxString last = path_.empty() ? wxString::FromUTF8(target_.LastScript()) : path_;
    const wxString folder = last.empty() ? wxString() : wxFileName(last).GetPath();
    return !folder.empty() && wxDirExists(folder) ? folder : wxStandardPaths::Get().GetDocumentsDir();
}

bool EditScriptDialog::Save()
{
    wxFileDialog chooser(this, "Save Script", ScriptFolder(),
                         path_.empty() ? wxString(DEFAULT_SCRIPT_NAME) : wxFileName(path_).GetFullName(), SCRIPT_FILES,
                         wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    return chooser.ShowModal() == wxID_OK && SaveTo(chooser.GetPath());
}

bool EditScriptDialog::SaveTo(const wxString& path)
{
    const wxString text = ScriptTextCtrl->GetValue();
    const int error = WriteScriptFile(std::string(path.fn_str()), text.utf8_string());
    if (error != 0) {
        wxMessageBox("Cannot write " + path + ": " + wxString::FromUTF8(std::strerror(error)), "Script Editor",
                     wxOK | wxICON_ERROR | wxCENTRE, this);
        return false;
    }
    savedText_ = text;
    path_ = path;
    target_.RememberScript(path.utf8_string());
    OpenLastButton->Enable(true);
    ShowTitle();
    return true;
}

// A changed script stays, with its run ended, when the user cancels the
// question.
void EditScriptDialog::CloseUnlessKept()
{
    if (target_.ProgramClosing() || MayDiscard())
        Finish(wxID_CANCEL);
    closeRequested_ = false;
}

void EditScriptDialog::Finish(int result)
{
    closeRequested_ = false;
    if (IsModal())
        EndModal(result);
    else
        Hide();
}

// Closing the dialog (its close box, Escape) during a run aborts the run
// and closes when it has ended: a script never goes on out of sight. A
// changed script is not closed unasked, unless the main window is closing.
void EditScriptDialog::OnClose(wxCloseEvent&)
{
    if (!run_.Running()) {
        CloseUnlessKept();
        return;
    }
    closeRequested_ = true;
    run_.Abort();
}
