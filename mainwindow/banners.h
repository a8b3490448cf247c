#pragma once

class wxBitmap;

// The banner shown while no sequence runs (blue) and during a run (red);
// in night mode, their red versions.
const wxBitmap& IdleBanner();
const wxBitmap& RunningBanner();
