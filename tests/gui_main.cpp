// Runs the GUI tests inside a real wx application, with HOME in a fresh
// temporary folder so that no test touches the user's settings.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/init.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))  // listing needs no display
        return RUN_ALL_TESTS();
    char home[] = "/tmp/vantrel-test-home-XXXXXX";
    if (!mkdtemp(home))
        return 1;
    setenv("HOME", home, 1);
    setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (std::string(home) + "/.local/share").c_str(), 1);  // the exposure log

    // A failed toolkit assertion (an unexpected modal dialog among them) is a
    // failed test, not a dialog on the screen.
    wxSetAssertHandler(
        [](const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
            ADD_FAILURE_AT(file.utf8_str().data(), line) << func << ": " << cond << " " << msg;
        });
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
        return 1;
    wxTheApp->SetVendorName("Tessmar");
    wxTheApp->SetAppName("Vantrel");
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    std::system((std::string("rm -rf ") + home).c_str());
    return result;
}
