#include "theme/accessible_name.h"

#include <wx/window.h>

#include <gtk/gtk.h>

void SetAccessibleName(wxWindow* window, const wxString& name)
{
    window->SetName(name);  // for FindWindowByName
    atk_object_set_name(gtk_widget_get_accessible(window->GetConnectWidget()), name.utf8_str());
}
