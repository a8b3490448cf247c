#pragma once

class wxBitmap;

// The banner shown while no sequence runs (blue) and during a run (red),
// which says so when the run has no port; in night mode, their red
// versions.
const wxBitmap& IdleBanner();
const wxBitmap& RunningBanner();
const wxBitmap& NoPortBanner();
