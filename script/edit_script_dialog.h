// EditScriptDialog: the modal script editor. It checks every line of the
// script before it runs any, then runs them one by one, marking the running
// line, until the end or until Abort Script.
#pragma once

#include <wx/arrstr.h>
#include <wx/dialog.h>

#include "script/script_run.h"
#include "script/script_target.h"

class Clock;
class wxButton;
class wxStaticText;
class wxTextCtrl;

enum {
    ID_RUN_SCRIPT = 107,
    ID_SCRIPT_DONE = 108,
    ID_ABORT_SCRIPT = 109,
    ID_OPEN_SCRIPT = 120,
    ID_SAVE_SCRIPT = 121,
    ID_OPEN_LAST_SCRIPT = 122,
};

class EditScriptDialog : public wxDialog, private ScriptRunView {
public:
    // The script acts on `target`; `clock` lets the event loop run between
    // lines.
    EditScriptDialog(wxWindow* parent, ScriptTarget& target, Clock& clock);
    ~EditScriptDialog() override;

    wxTextCtrl* ScriptTextCtrl;
    wxButton* RunScriptButton;
    wxButton* AbortScriptButton;
    wxButton* DoneButton;
    wxButton* OpenButton;
    wxButton* OpenLastButton;
    wxButton* SaveButton;
    wxStaticText* ScriptStatusText;
    wxArrayString CommandWords;
    // A plan's end, while its script runs ("" for a script that is none).
    std::string PlanEnd() const { return planEnd_; }

    // The script from or into a file (plain UTF-8 text); false, with a
    // message box, when it cannot be read or written.
    bool OpenFrom(const wxString& path);
    bool SaveTo(const wxString& path);
    // A script made elsewhere (a plan's), shown as unchanged.
    void SetScript(const wxString& text);

    // LINE_OK, LINE_INCOMPLETE or LINE_BAD_COMMAND; no side effects.
    int CheckScriptLine(wxString line);
    bool ScriptRunning() const { return run_.Running(); }

    // event handlers (these functions should _not_ be virtual)
    void OnRunScript(wxCommandEvent& event);
    void OnAbortScript(wxCommandEvent& event);
    void OnScriptDone(wxCommandEvent& event);
    void OnOpenScript(wxCommandEvent& event);
    void OnOpenLastScript(wxCommandEvent& event);
    void OnSaveScript(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnCharHook(wxKeyEvent& event);

private:
    bool CheckAllLines();
    // The editor's lines, as UTF-8.
    std::vector<std::string> Lines() const;
    void RunAllLines();
    void ShowRunningLine(long index, const std::string& text) override;
    void ScriptEnded(const std::string& summary) override;
    void ShowPlanEnd(const std::string& text) override;
    void MarkLine(long line);
    void Redraw(wxWindow* window);
    void Finish(int result);
    void CloseUnlessKept();
    // When the text differs from what was last opened or saved: asks
    // whether to save it first. True when it may go (saved, or not wanted).
    bool MayDiscard();
    void ShowTitle();
    bool Save();
    wxString ScriptFolder() const;
    void EnableEditing(bool enable);

    ScriptTarget& target_;
    Clock& clock_;
    ScriptRun run_;
    long markedLine_ = -1;
    void* runningTag_ = nullptr;  // the text view's tag for the running line
    bool closeRequested_ = false;  // closed during a run: end it, then close
    wxString savedText_;  // as last opened or saved (the prepared text at first)
    std::string planEnd_;
    wxString path_;  // the file it was last opened from or saved to

    wxDECLARE_EVENT_TABLE();
};
