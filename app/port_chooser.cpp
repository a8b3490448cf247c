// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "app/port_chooser.h"
#include "ports/backends.h"
#include "ports/port_choice.h"

namespace {

constexpr size_t DEVICE_LINE_LIMIT = 60;

// The first line as it always was; the second names the device and why
// (in the backend's own words where it has them). A long path is shortened
// in the box, and the whole message goes to stderr then.
void ShowOpenFailure(wxWindow* parent, const Ports& ports, const wxString& firstLine, const std::string& device,
                     const std::string& detail = "")
{
    const std::string why = detail.empty() ? device + ": " + ports.PortErrorText() : detail;
    const std::string shortWhy =
        detail.empty() ? ShortenedPath(device) + ": " + ports.PortErrorText() : ShortenedPath(detail);
    if (shortWhy != why)
        std::fprintf(stderr, "vantrel: %s: %s\n", firstLine.utf8_str().data(), why.c_str());
    wxMessageBox(firstLine + "\n" + wxString::FromUTF8(shortWhy), PORT_MESSAGE_CAPTION, wxOK | wxICON_ERROR | wxCENTRE,
                 parent);
}

bool OpenChosen(wxWindow* parent, Ports& ports, const std::string& text, PortKind& kind)
{
    const PortChoice choice = DecodePortChoice(text);
    if (choice.parallel) {
        if (!ports.OpenParallelPort(text)) {
            const std::string device = PortDevicePath(choice.deviceName);
            const ParallelBackend& port = ports.Parallel();
            if (device.empty() && port.Error() == ENODEV && !port.Device().empty()) {
                char address[16];
                std::snprintf(address, sizeof address, "0x%X", choice.address);
                ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName, "",
                                std::string("no parallel port at ") + address + " (" + port.Device() +
                                    ": no such device)");
                return false;
            }
            ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName,
                            device.empty() ? "parallel port at " + choice.portName : device);
            return false;
        }
        kind = PORT_PARALLEL;
    } else {
        switch (ports.OpenSerialPort(text)) {
        case SERIAL_OPEN_FAILED:
            ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName, ports.Serial().Device(),
                            ports.Serial().ErrorDetail());
            return false;
        case SERIAL_CONFIGURE_FAILED:
            ShowOpenFailure(parent, ports, "Cannot configure " + choice.portName, ports.Serial().Device());
            return false;
        case SERIAL_OPENED:
            break;
        }
        kind = choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL;
    }
    return true;
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
    return OpenChosen(parent, ports, chosen, kind);
}
