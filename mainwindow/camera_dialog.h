// File > Camera…: whether each frame's files are fetched from the camera
// over USB, where they go and what they are called.
#pragma once

#include <string>

class wxWindow;

struct CameraChoice {
    bool fetch = false;
    std::string folder;
    std::string prefix = "frame";
};

// The dialog, showing `camera` (the camera found, or why there is none)
// and `choice`; true, with the new choice in `choice`, on OK.
bool AskCameraChoice(wxWindow* parent, const std::string& camera, CameraChoice& choice);
