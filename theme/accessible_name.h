// The name that a screen reader reads for a control that has no text of
// its own (a spin field, a text area): wxWidgets' window name is only the
// toolkit's internal name.
#pragma once

#include <wx/string.h>

class wxWindow;

void SetAccessibleName(wxWindow* window, const wxString& name);
