// MyApp: names the vendor, opens the main window and connects a port.
#include <wx/app.h>

#include "app/startup.h"

class MyApp : public wxApp {
public:
    bool OnInit() override;
};

wxIMPLEMENT_APP(MyApp);

bool MyApp::OnInit()
{
    // Before the window exists: it opens the configuration store, which
    // lives under the vendor's name.
    SetVendorName("Tessmar");
    OpenMainWindowAndPort();
    return true;
}
