// The script editor with a 10,000-line script in the real text control:
// the time to check every line, and to run it when every line is a comment.
//
//   xvfb-run -a build/bench/script_bench
#include <wx/app.h>
#include <wx/init.h>
#include <wx/textctrl.h>

#include <chrono>
#include <cstdio>

#include "app/settings.h"
#include "app/toolkit_clock.h"
#include "mainwindow/main_frame.h"
#include "script/edit_script_dialog.h"
#include "tests/fakes.h"

namespace {

class NullNotifier : public DesktopNotifier {
public:
    void Notify(const std::string&, const std::string&) override { }
};
constexpr int LINES = 10000;

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
        return 1;
    Fakes fakes;
    InstallFakes(fakes);
    auto clock = MakeToolkitClock();
    VirtualClock idleClock(fakes.log);
    FakeGuider guider(fakes.log, idleClock);
    FakeSleep sleep;
    FakeExposureLog log;
    auto settings = MakeSettingsFileStore();
    NullNotifier notifier;
    MainFrame = new MyFrame("Vantrel", {*fakes.ports, *clock, guider, sleep, log, *settings, notifier});
    MainFrame->Show();
    auto* dialog = new EditScriptDialog(MainFrame, *MainFrame, *clock);
    dialog->Show();

    wxString script;
    for (int i = 0; i < LINES; ++i)
        script += wxString::Format("%% comment line %d with some text after it\n", i);
    dialog->ScriptTextCtrl->SetValue(script);

    auto start = std::chrono::steady_clock::now();
    int bad = 0;
    for (int i = 0; i < dialog->ScriptTextCtrl->GetNumberOfLines(); ++i)
        bad += dialog->CheckScriptLine(dialog->ScriptTextCtrl->GetLineText(i)) != 0;
    const double check = SecondsSince(start);

    start = std::chrono::steady_clock::now();
    wxCommandEvent run(wxEVT_BUTTON, ID_RUN_SCRIPT);
    dialog->GetEventHandler()->ProcessEvent(run);  // checks again, then runs every line
    const double run_ = SecondsSince(start);

    std::printf("check %d lines: %.3f s (%d bad)\n", LINES + 1, check, bad);
    std::printf("check and run %d comment lines: %.3f s (%.3f ms a line)\n", LINES + 1, run_,
                run_ * 1000 / (LINES + 1));
    dialog->Destroy();
    MainFrame->Destroy();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}
