#include "mainwindow/guider_dialog.h"

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include "runner/settings_model.h"
#include "theme/accessible_name.h"

void GuiderChoice::ApplyTo(RunSettings& run) const
{
    run.ditherPixels = ditherPixels;
    run.ditherEvery = ditherEvery;
    run.ditherSettleSeconds = ditherSettleSeconds;
    run.guideWaitSeconds = guideWaitSeconds;
    run.retakeSuspect = retakeSuspect;
}

bool AskGuiderChoice(wxWindow* parent, GuiderChoice& choice)
{
    wxDialog dialog(parent, wxID_ANY, "Guider");
    auto* about = new wxStaticText(&dialog, wxID_ANY,
                                   "For the runs of lights started from the window, with PHD2 guiding.\n"
                                   "Scripts set their own (DitherPixels, GuideWait, ...).");
    struct Row {
        const char* label;
        RunSetting setting;
        int* value;
        const char* tip;
    };
    const Row rows[] = {
        {"&Dither by (pixels)", RunSetting::DITHER_PIXELS, &choice.ditherPixels, "0: no dithering"},
        {"Dither &every (frames)", RunSetting::DITHER_EVERY, &choice.ditherEvery, "Dither after every N-th frame"},
        {"&Settle (seconds)", RunSetting::DITHER_SETTLE, &choice.ditherSettleSeconds,
         "How long PHD2 may take to settle after a dither"},
        {"&Wait for guiding (seconds)", RunSetting::GUIDE_WAIT, &choice.guideWaitSeconds,
         "Before each exposure, wait up to this long for steady guiding (0: no wait)"},
        {"&Retake spoiled frames", RunSetting::RETAKE_SUSPECT, &choice.retakeSuspect,
         "Take a frame the guider spoiled again, up to this many times in a run"},
    };
    auto* fields = new wxFlexGridSizer(2, wxSize(12, 8));
    std::vector<wxSpinCtrl*> spins;
    for (const Row& row : rows) {
        const SettingRange range = RangeOf(row.setting);
        auto* spin = new wxSpinCtrl(&dialog, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS, range.min,
                                    range.max, HeldToRange(row.setting, *row.value));
        spin->SetToolTip(row.tip);
        wxString name(row.label);
        name.Replace("&", "");
        SetAccessibleName(spin, name);
        fields->Add(new wxStaticText(&dialog, wxID_ANY, row.label), 0, wxALIGN_CENTER_VERTICAL);
        fields->Add(spin, 0, wxEXPAND);
        spins.push_back(spin);
    }
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(about, 0, wxALL, 12);
    column->Add(fields, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    column->Add(dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 12);
    dialog.SetSizerAndFit(column);
    dialog.CentreOnParent();
    spins.front()->SetFocus();  // the keyboard starts in the first field, not on OK
    if (dialog.ShowModal() != wxID_OK)
        return false;
    for (size_t i = 0; i < spins.size(); ++i)
        *rows[i].value = spins[i]->GetValue();
    return true;
}
