// What `vantrel` says to its command line before any window exists (and
// without a display): --help and --version on stdout, an unknown option a
// short message on stderr and exit status 2. The toolkit's own options
// (--display=…, --gtk-…, --g-…) are left to it.
#pragma once

// -1 when the program goes on to its window; else the exit status.
int AnswerCommandLine(int argc, char** argv);
