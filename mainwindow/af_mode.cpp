#include "mainwindow/af_mode.h"

#include <wx/config.h>

int AFMode = AF_NONE;

namespace {
// The store lives under the vendor name that the application sets first.
const char* const CONFIG_APP_NAME = "Vantrel";
const char* const CONFIG_AF_MODE_KEY = "AF Mode";
}  // namespace

int ReadAFMode()
{
    wxConfig config(CONFIG_APP_NAME);
    long value = 0;
    if (!config.Read(CONFIG_AF_MODE_KEY, &value))
        value = 0;
    return value < AF_NONE || value > AF_HELD_DURING ? AF_NONE : static_cast<int>(value);
}

void WriteAFMode(int mode)
{
    wxConfig config(CONFIG_APP_NAME);
    config.Write(CONFIG_AF_MODE_KEY, static_cast<long>(mode));
}
