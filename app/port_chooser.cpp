// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/port_chooser.h"
#include "ports/backends.h"
#include "ports/open_port.h"
#include "ports/port_choice.h"

namespace {

constexpr size_t DEVICE_LINE_LIMIT = 60;

// The first line says what failed; the second names the device and why. A
// long path is shortened in the box, and the whole message goes to stderr
// then.
void ShowOpenFailure(wxWindow* parent, const PortOpening& opening)
{
    const std::string why = opening.device.empty() ? opening.reason : opening.device + ": " + opening.reason;
    const std::string shortWhy =
        opening.device.empty() ? ShortenedPath(opening.reason) : ShortenedPath(opening.device) + ": " + opening.reason;
    if (shortWhy != why)
        std::fprintf(stderr, "vantrel: %s: %s\n", opening.failure.c_str(), why.c_str());
    wxMessageBox(wxString::FromUTF8(opening.failure + "\n" + shortWhy), PORT_MESSAGE_CAPTION,
                 wxOK | wxICON_ERROR | wxCENTRE, parent);
}

// The port chooser, with a line under its list that names the device
// behind the selected entry and says whether it is there.
class PortChooser : public wxSingleChoiceDialog {
public:
    PortChooser(wxWindow* parent, const wxArrayString& texts)
        : wxSingleChoiceDialog(parent, "ShoeString DSUSB not found\nSelect your Serial/Parallel port", "COM/LPT port",
                               texts)
    {
        device_ = new wxStaticText(this, wxID_ANY, DeviceLine(PortChoiceTexts().front()));
        device_->SetName("Device");
        wxSizer* sizer = GetSizer();
        // Between the list and the buttons.
        sizer->Insert(sizer->GetItemCount() - 1, device_, wxSizerFlags().TripleBorder(wxLEFT | wxRIGHT).Expand());
        sizer->SetSizeHints(this);
        Bind(wxEVT_LISTBOX, [this](wxCommandEvent& event) {
            ShowDevice(event.GetSelection());
            event.Skip();
        });
    }

    void ShowDevice(int index)
    {
        if (index >= 0 && index < static_cast<int>(PortChoiceTexts().size()))
            device_->SetLabel(DeviceLine(PortChoiceTexts()[index]));
    }

private:
    wxStaticText* device_;
};

}  // namespace

wxString DeviceLine(const std::string& entry)
{
    const PortChoice choice = DecodePortChoice(entry);
    std::string device = PortDevicePath(choice.deviceName);
    if (device.empty())  // a parallel port found by its address
        return wxString::FromUTF8(choice.portName + ": the parallel port at that address, through ppdev");
    return wxString::FromUTF8(ShortenedPath(device, DEVICE_LINE_LIMIT) +
                              (access(device.c_str(), F_OK) == 0 ? " \u2014 present" : " \u2014 not found"));
}

bool ChooseAndOpenPort(wxWindow* parent, Ports& ports, PortKind& kind, std::string& chosen)
{
    wxArrayString texts;
    for (const std::string& text : PortChoiceTexts())
        texts.Add(text);
    PortChooser chooser(parent, texts);
    const auto& entries = PortChoiceTexts();
    const auto last = std::find(entries.begin(), entries.end(), chosen);
    if (last != entries.end()) {
        chooser.SetSelection(static_cast<int>(last - entries.begin()));
        chooser.ShowDevice(chooser.GetSelection());
    }
    if (chooser.ShowModal() != wxID_OK)
        return false;
    const int index = chooser.GetSelection();
    if (index < 0)
        return false;
    chosen = PortChoiceTexts()[index];
    const PortOpening opening = OpenPort(ports, chosen);
    if (opening.kind == PORT_NONE)
        ShowOpenFailure(parent, opening);
    kind = opening.kind;
    return opening.kind != PORT_NONE;
}
