// File > Plan…: the list, its buttons, a run's own dialog.
#include "mainwindow/plan_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dataview.h>
#include <wx/dcclient.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstring>
#include <ctime>
#include <sstream>

#include "runner/countdown.h"
#include "runner/settings_model.h"
#include "script/script_file.h"
#include "script/script_run.h"
#include "theme/accessible_name.h"
#include "theme/night_mode.h"

namespace {

const char* const DOT = " \u00b7 ";
// The AF modes in the list, and in a run's dialog after "The window's".
const char* const AF_SHORT[] = {"none", "pulse", "held"};
const char* const AF_LONG[] = {"The window's", "No AF signal", "AF pulse at start", "AF during exposure"};

// A run's own dialog; true, with the run changed, on OK.
bool AskPlannedRun(wxWindow* parent, PlannedRun& run)
{
    wxDialog dialog(parent, wxID_ANY, "Run");
    auto* fields = new wxFlexGridSizer(2, wxSize(12, 8));
    const auto label = [&](const char* text) {
        fields->Add(new wxStaticText(&dialog, wxID_ANY, text), 0, wxALIGN_CENTER_VERTICAL);
    };
    label("Frame &type");
    wxArrayString types;
    for (const char* type : FRAME_TYPES)
        types.Add(type);
    auto* type = new wxChoice(&dialog, wxID_ANY, wxDefaultPosition, wxDefaultSize, types);
    type->SetStringSelection(run.type);
    fields->Add(type, 0, wxEXPAND);
    label("T&arget");
    auto* target = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(run.target));
    target->SetToolTip("M42, NGC 7000; empty for none");
    fields->Add(target, 0, wxEXPAND);
    struct Row {
        const char* label;
        RunSetting setting;
        int* value;
    };
    const Row rows[] = {{"&Exposures", RunSetting::EXPOSURES, &run.exposures},
                        {"&Duration (s)", RunSetting::DURATION, &run.durationS},
                        {"&Before frame (s)", RunSetting::BEFORE_DELAY, &run.beforeS},
                        {"A&fter frame (s)", RunSetting::AFTER_DELAY, &run.afterS},
                        {"D&ither by (pixels)", RunSetting::DITHER_PIXELS, &run.ditherPixels},
                        {"Dither e&very (frames)", RunSetting::DITHER_EVERY, &run.ditherEvery},
                        {"&Wait for guiding (s)", RunSetting::GUIDE_WAIT, &run.guideWaitS}};
    std::vector<wxSpinCtrl*> spins;
    for (const Row& row : rows) {
        label(row.label);
        const SettingRange range = RangeOf(row.setting);
        spins.push_back(new wxSpinCtrl(&dialog, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                                       range.min, range.max, HeldToRange(row.setting, *row.value)));
        wxString name(row.label);
        name.Replace("&", "");
        SetAccessibleName(spins.back(), name);
        fields->Add(spins.back(), 0, wxEXPAND);
    }
    label("A&F");
    wxArrayString afModes;
    for (const char* mode : AF_LONG)
        afModes.Add(mode);
    auto* af = new wxChoice(&dialog, wxID_ANY, wxDefaultPosition, wxDefaultSize, afModes);
    af->SetSelection(run.afMode + 1);
    fields->Add(af, 0, wxEXPAND);
    auto* mirror = new wxCheckBox(&dialog, wxID_ANY, "&Mirror lock-up");
    mirror->SetValue(run.mirrorLock);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(fields, 0, wxEXPAND | wxALL, 12);
    column->Add(mirror, 0, wxLEFT | wxRIGHT | wxBOTTOM, 12);
    column->Add(dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 12);
    dialog.SetSizerAndFit(column);
    dialog.CentreOnParent();
    type->SetFocus();  // the keyboard starts in the first field, not on OK
    if (dialog.ShowModal() != wxID_OK)
        return false;
    run.type = type->GetStringSelection().utf8_string();
    run.target = target->GetValue().Strip(wxString::both).utf8_string();
    for (size_t i = 0; i < spins.size(); ++i)
        *rows[i].value = spins[i]->GetValue();
    run.mirrorLock = mirror->GetValue();
    run.afMode = af->GetSelection() - 1;
    return true;
}

}  // namespace

std::string PlanEndText(const Plan& plan, int64_t nowUtcMs)
{
    int64_t seconds = 0;
    for (const PlannedRun& run : plan.runs)
        seconds += RunSeconds(run);
    const int minutes = ClockMinutes(plan.startAt);
    const int64_t startUtcMs = minutes < 0 ? nowUtcMs : NextClockTimeUtcMs(minutes, nowUtcMs);
    return std::to_string(plan.runs.size()) + (plan.runs.size() == 1 ? " run" : " runs") + DOT + DurationText(seconds) +
        DOT + "ends at " + ClockTimeText(startUtcMs + seconds * 1000) + (minutes < 0 ? " if started now" : "");
}

PlanDialog::PlanDialog(wxWindow* parent, const Plan& plan, std::function<int64_t()> nowUtcMs)
    : wxDialog(parent, wxID_ANY, "Plan", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
    , plan_(plan)
    , nowUtcMs_(std::move(nowUtcMs))
{
    // The toolkit's own list view: a screen reader reads its rows and cells,
    // and night mode's style sheet colours it, its header too.
    RunList = new wxDataViewListCtrl(this, wxID_ANY, wxDefaultPosition, wxSize(720, 220), wxDV_SINGLE | wxDV_ROW_LINES);
    RunList->SetMinSize(wxSize(720, 220));
    SetAccessibleName(RunList, "Runs");
    for (const char* column :
         {"Type", "Target", "Frames", "Exposure", "Before", "After", "Mirror", "AF", "Dither", "Guide wait", "Length"})
        RunList->AppendTextColumn(column, wxDATAVIEW_CELL_INERT, wxCOL_WIDTH_AUTOSIZE);
    RunList->Bind(wxEVT_DATAVIEW_ITEM_ACTIVATED, [this](wxDataViewEvent&) { Edit(); });

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    const auto button = [&](const char* label, std::function<void()> action) {
        auto* made = new wxButton(this, wxID_ANY, wxString::FromUTF8(label));
        made->Bind(wxEVT_BUTTON, [action](wxCommandEvent&) { action(); });
        buttons->Add(made, 0, wxRIGHT, 6);
    };
    button("&Add\u2026", [this] {
        PlannedRun run =
            plan_.runs.empty() ? PlannedRun() : plan_.runs[Selected() < 0 ? plan_.runs.size() - 1 : Selected()];
        if (AskPlannedRun(this, run))
            Add(run);
    });
    button("&Edit\u2026", [this] { Edit(); });
    button("D&uplicate", [this] { Duplicate(); });
    button("Re&move", [this] { Remove(); });
    button("U&p", [this] { Move(-1); });
    button("Do&wn", [this] { Move(1); });
    buttons->AddStretchSpacer();
    button("&Open\u2026", [this] {
        wxFileDialog ask(this, "Open a plan", "", "", "Vantrel scripts (*.vantrel)|*.vantrel|All files|*",
                         wxFD_OPEN | wxFD_FILE_MUST_EXIST);
        if (ask.ShowModal() != wxID_OK)
            return;
        std::string text;
        std::string why = ReadScriptFile(ask.GetPath().utf8_string(), text);
        std::vector<std::string> lines;
        std::istringstream split(text);
        for (std::string line; std::getline(split, line);)
            lines.push_back(line);
        Plan read;
        if (why.empty() && !ReadPlan(lines, read))
            why = "it is a script that a plan cannot show (open it in the script editor)";
        if (!why.empty()) {
            wxMessageBox(ask.GetPath() + ":\n" + wxString::FromUTF8(why), "Plan", wxOK | wxICON_ERROR, this);
            return;
        }
        plan_ = read;
        StartAtText->ChangeValue(wxString::FromUTF8(plan_.startAt));
        ShowRuns();
    });
    button("&Save\u2026", [this] {
        wxFileDialog ask(this, "Save the plan", "", "plan.vantrel", "Vantrel scripts (*.vantrel)|*.vantrel",
                         wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
        if (ask.ShowModal() != wxID_OK)
            return;
        std::string text;
        for (const std::string& line : PlanScript(plan_))
            text += line + "\n";
        if (const int error = WriteScriptFile(ask.GetPath().utf8_string(), text))
            wxMessageBox(ask.GetPath() + ":\n" + std::strerror(error), "Plan", wxOK | wxICON_ERROR, this);
    });

    auto* startRow = new wxBoxSizer(wxHORIZONTAL);
    startRow->Add(new wxStaticText(this, wxID_ANY, "Start a&t"), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
    StartAtText = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(plan_.startAt));
    StartAtText->SetToolTip("A clock time (21:30), or empty to start at once");
    StartAtText->SetName("Start at");
    StartAtText->Bind(wxEVT_TEXT, [this](wxCommandEvent&) {
        const std::string text = StartAtText->GetValue().Strip(wxString::both).utf8_string();
        plan_.startAt = ClockMinutes(text) >= 0 ? text : "";
        ShowRuns();
    });
    startRow->Add(StartAtText, 0, wxRIGHT, 12);
    EndText = new wxStaticText(this, wxID_ANY, "");
    EndText->SetName("Plan's end");
    startRow->Add(EndText, 1, wxALIGN_CENTER_VERTICAL);

    auto* bottom = new wxBoxSizer(wxHORIZONTAL);
    bottom->AddStretchSpacer();
    bottom->Add(new wxButton(this, wxID_CANCEL, "&Close"), 0, wxRIGHT, 6);
    auto* run = new wxButton(this, ID_PLAN_RUN, "&Run");
    run->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (plan_.runs.empty())
            return;
        EndModal(ID_PLAN_RUN);
    });
    bottom->Add(run);

    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(RunList, 1, wxEXPAND | wxALL, 12);
    column->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT, 12);
    column->Add(startRow, 0, wxEXPAND | wxALL, 12);
    column->Add(bottom, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    SetSizerAndFit(column);
    ShowRuns();
    CentreOnParent();
}

long PlanDialog::Selected() const { return RunList->GetSelectedRow(); }

void PlanDialog::Select(long index)
{
    if (index >= 0 && index < RunList->GetItemCount())
        RunList->SelectRow(static_cast<unsigned>(index));
}

// The list as the plan holds it, the selection kept.
void PlanDialog::ShowRuns()
{
    const long selected = Selected();
    RunList->DeleteAllItems();
    for (size_t i = 0; i < plan_.runs.size(); ++i) {
        const PlannedRun& run = plan_.runs[i];
        const std::string dither = run.ditherPixels > 0 && run.type == "Light"
            ? std::to_string(run.ditherPixels) + " px every " + std::to_string(run.ditherEvery)
            : "";
        const std::string cells[] = {run.type,
                                     run.target,
                                     std::to_string(run.exposures),
                                     std::to_string(run.durationS) + " s",
                                     std::to_string(run.beforeS) + " s",
                                     std::to_string(run.afterS) + " s",
                                     run.mirrorLock ? "on" : "",
                                     run.afMode < 0 ? "" : AF_SHORT[run.afMode],
                                     dither,
                                     run.guideWaitS > 0 && run.type == "Light" ? std::to_string(run.guideWaitS) + " s"
                                                                               : "",
                                     DurationText(RunSeconds(run))};
        wxVector<wxVariant> row;
        for (const std::string& cell : cells)
            row.push_back(wxString::FromUTF8(cell));
        RunList->AppendItem(row);
    }
    // Every column as wide as its widest cell, and the list as wide as
    // its columns (the dialog grows with it).
    int width = 0;
    wxClientDC dc(RunList);
    dc.SetFont(RunList->GetFont().Bold());  // the header's
    for (unsigned c = 0; c < RunList->GetColumnCount(); ++c) {
        wxDataViewColumn* column = RunList->GetColumn(c);
        int widest = dc.GetTextExtent(column->GetTitle()).x;
        for (int r = 0; r < RunList->GetItemCount(); ++r)
            widest = std::max(widest, GetTextExtent(RunList->GetTextValue(r, c)).x);
        column->SetWidth(widest + 2 * GetCharWidth());
        width += column->GetWidth();
    }
    constexpr int SCROLLBAR_ROOM = 24;
    if (width + SCROLLBAR_ROOM > RunList->GetMinSize().x && GetSizer()) {
        RunList->SetMinSize(wxSize(width + SCROLLBAR_ROOM, RunList->GetMinSize().y));
        GetSizer()->SetSizeHints(this);
    }
    Select(std::min<long>(selected, RunList->GetItemCount() - 1));
    EndText->SetLabelText(plan_.runs.empty() ? "No runs yet: Add one"
                                             : wxString::FromUTF8(PlanEndText(plan_, nowUtcMs_())));
    Layout();
}

void PlanDialog::Add(const PlannedRun& run)
{
    plan_.runs.push_back(run);
    ShowRuns();
    Select(static_cast<long>(plan_.runs.size()) - 1);
}

void PlanDialog::Edit()
{
    const long at = Selected();
    if (at < 0)
        return;
    PlannedRun run = plan_.runs[at];
    if (AskPlannedRun(this, run)) {
        plan_.runs[at] = run;
        ShowRuns();
    }
}

void PlanDialog::Duplicate()
{
    const long at = Selected();
    if (at < 0)
        return;
    plan_.runs.insert(plan_.runs.begin() + at + 1, plan_.runs[at]);
    ShowRuns();
    Select(at + 1);
}

void PlanDialog::Remove()
{
    const long at = Selected();
    if (at < 0)
        return;
    plan_.runs.erase(plan_.runs.begin() + at);
    ShowRuns();
}

void PlanDialog::Move(int by)
{
    const long at = Selected();
    const long to = at + by;
    if (at < 0 || to < 0 || to >= static_cast<long>(plan_.runs.size()))
        return;
    std::swap(plan_.runs[at], plan_.runs[to]);
    Select(to);
    ShowRuns();
}
