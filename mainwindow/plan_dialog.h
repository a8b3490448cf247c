// File > Plan…: the night's runs as a list (each run's frame type, target,
// exposures, delays, mirror lock-up, dithering and guide wait, and its
// length), added, edited, duplicated, removed and moved; the whole plan's
// length and its end as a clock time; a start time; opened and saved as a
// script, and run as one (in the script editor, which shows each line).
#pragma once

#include <wx/dialog.h>

#include <cstdint>
#include <functional>

#include "script/plan.h"

class wxDataViewListCtrl;
class wxStaticText;
class wxTextCtrl;

enum { ID_PLAN_RUN = 130 };

class PlanDialog : public wxDialog {
public:
    // `nowUtcMs` is the wall clock, for the plan's end. The dialog ends
    // with ID_PLAN_RUN for Run, the plan in Plan().
    PlanDialog(wxWindow* parent, const Plan& plan, std::function<int64_t()> nowUtcMs);
    const Plan& GetPlan() const { return plan_; }

    // What the buttons do, for the buttons and for tests: on the run
    // selected (the last one for Add).
    void Add(const PlannedRun& run);
    void Duplicate();
    void Remove();
    void Move(int by);
    void Select(long index);

    wxDataViewListCtrl* RunList;
    wxTextCtrl* StartAtText;
    wxStaticText* EndText;

private:
    void ShowRuns();
    void Edit();
    long Selected() const;

    Plan plan_;
    std::function<int64_t()> nowUtcMs_;
};

// The length and end of the plan: "3 runs · 2 h 11 min · ends at 23:41"
// (local time; from its start time when it has one).
std::string PlanEndText(const Plan& plan, int64_t nowUtcMs);
