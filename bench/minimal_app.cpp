// The smallest wxWidgets program, built like Vantrel: a frame with a status
// bar. The yardstick for Vantrel's start-up cost.
#include <wx/app.h>
#include <wx/frame.h>

class MinimalApp : public wxApp {
public:
    bool OnInit() override
    {
        auto* frame = new wxFrame(nullptr, wxID_ANY, "Minimal");
        frame->CreateStatusBar();
        frame->Show(true);
        return true;
    }
};

wxIMPLEMENT_APP(MinimalApp);
