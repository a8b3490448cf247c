// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textdlg.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// The entry that asks for a device path of the user's own (a ttyACM, a
// /dev/serial/by-id name), remembered like any port.
const char* const OTHER_DEVICE = "Other device\u2026";

// The chooser's entries: the 22 ports, a device path chosen before, then
// "Other device…".
std::vector<std::string> ChooserEntries(const std::string& chosen)
{
    std::vector<std::string> entries = PortChoiceTexts();
    if (!chosen.empty() && chosen[0] == '/')
        entries.push_back(chosen);
    entries.push_back(OTHER_DEVICE);
    return entries;
}

// A serial entry's device as the system has it now: "" for a parallel port
// or "Other device…".
std::string SerialDevice(const std::string& entry)
{
    const PortChoice choice = DecodePortChoice(entry);
    return entry == OTHER_DEVICE || choice.parallel ? "" : PortDevicePath(choice.deviceName);
}

bool Present(const std::string& device) { return !device.empty() && access(device.c_str(), F_OK) == 0; }

// Each serial entry says whether its device is there.
wxString EntryText(const std::string& entry)
{
    const std::string device = SerialDevice(entry);
    if (device.empty())
        return wxString::FromUTF8(entry);
    return wxString::FromUTF8(entry + (Present(device) ? "  (present)" : "  (not found)"));
}

// A USB-serial adapter plugged in: a ttyUSB or ttyACM device, by its own
// name or behind a link (/dev/serial/by-id).
bool PluggedAdapter(const std::string& device)
{
    if (!Present(device))
        return false;
    const auto adapter = [](const std::string& path) {
        const std::string name = path.substr(path.rfind('/') + 1);
        return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
    };
    char* real = realpath(device.c_str(), nullptr);
    const bool found = adapter(device) || (real && adapter(real));
    std::free(real);
    return found;
}

// The port chosen last time; on a first start the first plain serial entry
// with a plugged adapter behind it, else the first entry.
size_t Preselected(const std::vector<std::string>& entries, const std::string& chosen)
{
    const auto last = std::find(entries.begin(), entries.end(), chosen);
    if (!chosen.empty() && last != entries.end())
        return static_cast<size_t>(last - entries.begin());
    if (chosen.empty()) {
        for (size_t i = 0; i < entries.size(); ++i)
            if (!DecodePortChoice(entries[i]).infrared && PluggedAdapter(SerialDevice(entries[i])))
                return i;
    }
    return 0;
}

// The port chooser, with a line under its list that names the device
// behind the selected entry and says whether it is there.
class PortChooser : public wxSingleChoiceDialog {
public:
    PortChooser(wxWindow* parent, const std::vector<std::string>& entries)
        : wxSingleChoiceDialog(parent, "ShoeString DSUSB not found\nSelect your Serial/Parallel port", "COM/LPT port",
                               Texts(entries))
        , entries_(entries)
    {
        device_ = new wxStaticText(this, wxID_ANY, DeviceLine(entries.front()));
        device_->SetName("Device");
        // As wide as the longest entry's line: the dialog keeps its size as
        // the selection moves.
        int widest = 0;
        for (const std::string& entry : entries)
            widest = std::max(widest, device_->GetTextExtent(DeviceLine(entry)).x);
        device_->SetMinSize(wxSize(widest, -1));
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
        if (index >= 0 && index < static_cast<int>(entries_.size()))
            device_->SetLabel(DeviceLine(entries_[index]));
    }

private:
    static wxArrayString Texts(const std::vector<std::string>& entries)
    {
        wxArrayString texts;
        for (const std::string& entry : entries)
            texts.Add(EntryText(entry));
        return texts;
    }

    std::vector<std::string> entries_;
    wxStaticText* device_;
};

}  // namespace

wxString DeviceLine(const std::string& entry)
{
    if (entry == OTHER_DEVICE)
        return "A device path of your own, such as /dev/ttyACM0";
    const PortChoice choice = DecodePortChoice(entry);
    std::string device = PortDevicePath(choice.deviceName);
    if (device.empty())  // a parallel port found by its address
        return wxString::FromUTF8(choice.portName + ": the parallel port at that address, through ppdev");
    return wxString::FromUTF8(ShortenedPath(device, DEVICE_LINE_LIMIT) +
                              (Present(device) ? " \u2014 present" : " \u2014 not found"));
}

bool ChooseAndOpenPort(wxWindow* parent, Ports& ports, PortKind& kind, std::string& chosen)
{
    const std::vector<std::string> entries = ChooserEntries(chosen);
    PortChooser chooser(parent, entries);
    chooser.SetSelection(static_cast<int>(Preselected(entries, chosen)));
    chooser.ShowDevice(chooser.GetSelection());
    if (chooser.ShowModal() != wxID_OK)
        return false;
    const int index = chooser.GetSelection();
    if (index < 0 || index >= static_cast<int>(entries.size()))
        return false;
    std::string entry = entries[index];
    if (entry == OTHER_DEVICE) {
        wxTextEntryDialog ask(
            parent, "The serial device's path (a ttyACM or a /dev/serial/by-id name):", "Other device", "/dev/ttyACM0");
        if (ask.ShowModal() != wxID_OK)
            return false;
        entry = ask.GetValue().Strip(wxString::both).utf8_string();
        if (entry.empty() || entry[0] != '/') {
            wxMessageBox(wxString::FromUTF8("\"" + entry + "\" is not a device path: it begins with /dev/."),
                         PORT_MESSAGE_CAPTION, wxOK | wxICON_ERROR | wxCENTRE, parent);
            return false;
        }
    }
    chosen = entry;
    const PortOpening opening = OpenPort(ports, chosen);
    if (opening.kind == PORT_NONE)
        ShowOpenFailure(parent, opening);
    kind = opening.kind;
    return opening.kind != PORT_NONE;
}
