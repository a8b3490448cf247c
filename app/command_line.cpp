#include "app/command_line.h"

#include <wx/cmdline.h>
#include <wx/log.h>
#include <wx/msgout.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/version.h"

namespace {

const char* const USAGE = "Usage: vantrel [--help] [--version]\n"
                          "\n"
                          "Takes long bulb exposures with a DSLR, frame after frame, through a\n"
                          "ShoeString DSUSB box, a serial port or a parallel port. Everything is set\n"
                          "in its window; see vantrel(1).\n"
                          "\n"
                          "  -h, --help     show this help and exit\n"
                          "      --version  show the version and exit\n";
constexpr int BAD_USAGE = 2;

// The parser's own complaints go nowhere: ours is below.
class Silent : public wxMessageOutput {
public:
    void Output(const wxString&) override { }
};

// GTK's own options, which its initialisation takes out of the line.
bool ToolkitOption(const std::string& argument)
{
    for (const char* prefix : {"--display", "--gtk-", "--g-", "--class", "--name", "--sync", "--gdk-"})
        if (argument.compare(0, std::string(prefix).size(), prefix) == 0)
            return true;
    return false;
}

}  // namespace

int AnswerCommandLine(int argc, char** argv)
{
    std::vector<char*> ours = {argv[0]};
    for (int i = 1; i < argc; ++i)
        if (!ToolkitOption(argv[i]))
            ours.push_back(argv[i]);
    if (ours.size() == 1)
        return -1;
    static const wxCmdLineEntryDesc entries[] = {
        {wxCMD_LINE_SWITCH, "h", "help", "show this help and exit", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_SWITCH, nullptr, "version", "show the version and exit", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
    };
    wxCmdLineParser parser(entries, static_cast<int>(ours.size()), ours.data());
    Silent silent;
    wxMessageOutput* const previous = wxMessageOutput::Set(&silent);
    wxLogNull quiet;
    const int parsed = parser.Parse(false);
    wxMessageOutput::Set(previous);
    if (parsed != 0) {
        std::fprintf(stderr, "vantrel: unknown option or argument: %s\nTry 'vantrel --help'.\n", ours[1]);
        return BAD_USAGE;
    }
    if (parser.Found("help")) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (parser.Found("version")) {
        std::printf("vantrel %s\n", VANTREL_VERSION);
        return 0;
    }
    return -1;
}
