#include "mainwindow/camera_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/dirdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

bool AskCameraChoice(wxWindow* parent, const std::string& camera, CameraChoice& choice)
{
    wxDialog dialog(parent, wxID_ANY, "Camera");
    auto* found = new wxStaticText(&dialog, wxID_ANY, "Camera: " + wxString::FromUTF8(camera));
    auto* fetch = new wxCheckBox(&dialog, wxID_ANY, "&Fetch each frame's files from the camera");
    fetch->SetValue(choice.fetch);
    auto* folderLabel = new wxStaticText(&dialog, wxID_ANY, "F&older");
    // The path as it is kept, in a field of its own, and a button that
    // chooses another: the field always shows the folder, however deep.
    auto* folderRow = new wxBoxSizer(wxHORIZONTAL);
    auto* folder = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(choice.folder));
    folder->SetName("Folder");
    auto* browse = new wxButton(&dialog, wxID_ANY, wxString::FromUTF8("&Choose\u2026"));
    browse->Bind(wxEVT_BUTTON, [&dialog, folder](wxCommandEvent&) {
        wxDirDialog ask(&dialog, "Where the files go", folder->GetValue(), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
        if (ask.ShowModal() == wxID_OK)
            folder->SetValue(ask.GetPath());
    });
    folderRow->Add(folder, 1, wxALIGN_CENTER_VERTICAL | wxRIGHT, 8);
    folderRow->Add(browse, 0, wxALIGN_CENTER_VERTICAL);
    auto* prefixLabel = new wxStaticText(&dialog, wxID_ANY, "&Name prefix");
    auto* prefix = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(choice.prefix));
    prefix->SetToolTip("Files are named prefix_0001.cr2, prefix_0002.cr2, ...");
    const auto enable = [=] {
        folder->Enable(fetch->GetValue());
        browse->Enable(fetch->GetValue());
        prefix->Enable(fetch->GetValue());
    };
    fetch->Bind(wxEVT_CHECKBOX, [=](wxCommandEvent&) { enable(); });
    enable();

    auto* fields = new wxFlexGridSizer(2, wxSize(8, 8));
    fields->AddGrowableCol(1);
    fields->Add(folderLabel, 0, wxALIGN_CENTER_VERTICAL);
    fields->Add(folderRow, 1, wxEXPAND);
    fields->Add(prefixLabel, 0, wxALIGN_CENTER_VERTICAL);
    fields->Add(prefix, 1, wxEXPAND);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(found, 0, wxALL, 12);
    column->Add(fetch, 0, wxLEFT | wxRIGHT | wxBOTTOM, 12);
    column->Add(fields, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    column->Add(dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 12);
    dialog.SetSizerAndFit(column);
    dialog.SetMinSize(wxSize(480, -1));
    dialog.Fit();
    dialog.CentreOnParent();
    // The keyboard starts in the first field, not on OK: Space there ticks
    // the box, never closes the dialog.
    fetch->SetFocus();
    if (dialog.ShowModal() != wxID_OK)
        return false;
    choice.fetch = fetch->GetValue();
    const std::string path = folder->GetValue().Strip(wxString::both).utf8_string();
    if (!path.empty())
        choice.folder = path;
    const std::string named = prefix->GetValue().utf8_string();
    choice.prefix = named.empty() || named.find('/') != std::string::npos ? "frame" : named;
    return true;
}
