// The settings file (~/.Vantrel, the toolkit's store): the AF mode, and the
// [Ports] group that puts another device behind a chooser entry.
#include <wx/fileconf.h>
#include <wx/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/settings.h"
#include "ports/af_mode.h"
#include "ports/backends.h"
#include "ports/port_choice.h"

namespace {
// The store lives under the vendor name that the application sets first.
const char* const CONFIG_APP_NAME = "Vantrel";
const char* const CONFIG_AF_MODE_KEY = "AF Mode";

// A ~/.Vantrel that is a symbolic link (to a dotfiles folder) is
// written through the link: the toolkit writes a new file and renames it
// over the old, which would replace the link itself.
wxString StorePath()
{
    const wxString path = wxString::FromUTF8(SettingsFilePath());
    char resolved[PATH_MAX];
    if (realpath(path.fn_str(), resolved))
        return wxString::FromUTF8(resolved);
    char target[PATH_MAX];
    const ssize_t length = readlink(path.fn_str(), target, sizeof target - 1);
    if (length <= 0)
        return path;  // no file yet
    target[length] = '\0';
    if (target[0] == '/')
        return wxString::FromUTF8(target);
    return path.BeforeLast('/') + "/" + wxString::FromUTF8(target);  // a link to a file still to be made
}

// Where a way out of the program that may not use the toolkit writes the AF
// mode: found while the toolkit was still there.
std::string exitStorePath;

// The settings are never worth a dialog: a damaged, unreadable or
// unwritable file yields the defaults, and the toolkit's complaints about it
// (and, in a debug build, its assertions) go to stderr instead of a message
// box that would outlive the window.
class QuietStore {
public:
    QuietStore()
        : previousLog_(wxLog::SetActiveTarget(&stderrLog_))
        , previousAssert_(wxSetAssertHandler(nullptr))
    {
    }
    ~QuietStore()
    {
        store_.reset();  // writes the file, still quietly
        wxLog::SetActiveTarget(previousLog_);
        wxSetAssertHandler(previousAssert_);
    }
    wxFileConfig& Open()
    {
        store_ = std::make_unique<wxFileConfig>(CONFIG_APP_NAME, wxEmptyString, StorePath(), wxEmptyString,
                                                wxCONFIG_USE_LOCAL_FILE);
        return *store_;
    }

private:
    wxLogStderr stderrLog_;
    wxLog* previousLog_;
    wxAssertHandler_t previousAssert_;
    std::unique_ptr<wxFileConfig> store_;
};

}  // namespace

namespace {

int ReadAFMode()
{
    exitStorePath = StorePath().utf8_string();
    QuietStore quiet;
    long value = 0;
    if (!quiet.Open().Read(CONFIG_AF_MODE_KEY, &value))
        value = 0;
    return value < AF_NONE || value > AF_HELD_DURING ? AF_NONE : static_cast<int>(value);
}

void WriteAFMode(int mode)
{
    QuietStore quiet;
    quiet.Open().Write(CONFIG_AF_MODE_KEY, static_cast<long>(mode));
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A key as the toolkit reads it: a backslash keeps the character after it
// ("AF\ Mode" is "AF Mode").
std::string UnescapedKey(const std::string& key)
{
    std::string plain;
    for (size_t i = 0; i < key.size(); ++i)
        plain += key[i] == '\\' && i + 1 < key.size() ? key[++i] : key[i];
    return plain;
}

// The store's text as the toolkit writes it: root entries ("AF\ Mode=2",
// a space in a key escaped) before the first [group]. The key's line is
// replaced in either spelling, or put first, as the toolkit spells it: a
// second line for the key would be read in its place.
bool WriteAFModeWithoutToolkit(int mode)
{
    if (exitStorePath.empty())
        return false;
    std::string text;
    std::ifstream in(exitStorePath, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string key;
    for (char c : std::string(CONFIG_AF_MODE_KEY))
        key += c == ' ' ? std::string("\\ ") : std::string(1, c);
    const std::string entry = key + "=" + std::to_string(mode) + "\n";
    size_t at = 0;
    bool replaced = false;
    while (at < text.size() && !replaced) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] == '[')
            break;  // the groups begin
        const size_t equals = line.find('=');
        if (equals != std::string::npos && UnescapedKey(Trimmed(line.substr(0, equals))) == CONFIG_AF_MODE_KEY) {
            text.replace(at, std::min(end + 1, text.size()) - at, entry);
            replaced = true;
        }
        at = end + 1;
    }
    if (!replaced)
        text.insert(0, entry);
    struct stat info { };
    const mode_t fileMode = stat(exitStorePath.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0600;
    const std::string temporary = exitStorePath + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, fileMode);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), exitStorePath.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

class SettingsFileStore : public SettingsStore {
public:
    int ReadAfMode() override { return ReadAFMode(); }
    void WriteAfMode(int mode) override { WriteAFMode(mode); }
    void WriteAfModeWithoutToolkit(int mode) override { WriteAFModeWithoutToolkit(mode); }
    bool ReadFlag(const char* key) override
    {
        QuietStore quiet;
        bool on = false;
        return quiet.Open().Read(key, &on) && on;
    }
    void WriteFlag(const char* key, bool on) override
    {
        QuietStore quiet;
        quiet.Open().Write(key, on);
    }
    std::string ReadText(const char* key) override
    {
        QuietStore quiet;
        return quiet.Open().Read(key, wxString()).utf8_string();
    }
    void WriteText(const char* key, const std::string& text) override
    {
        QuietStore quiet;
        quiet.Open().Write(key, wxString::FromUTF8(text));
    }
};

}  // namespace

std::unique_ptr<SettingsStore> MakeSettingsFileStore() { return std::make_unique<SettingsFileStore>(); }

void ReadPortDevices() { ReadPortDevices(StorePath().utf8_string()); }

GuiderAddress ReadGuiderAddress()
{
    GuiderAddress address;
    QuietStore quiet;
    wxFileConfig& store = quiet.Open();
    const wxString host = store.Read("Guider/Host", wxString()).Trim().Trim(false);
    if (!host.empty())
        address.host = host.utf8_string();
    const wxString portText = store.Read("Guider/Port", wxString()).Trim().Trim(false);
    long port = 0;
    if (!portText.empty() && (!portText.ToLong(&port) || port < 1 || port > UINT16_MAX))
        std::fprintf(stderr, "vantrel: ~/.Vantrel: [Guider] Port=%s is not a port; using %u\n",
                     portText.utf8_string().c_str(), address.port);
    else if (!portText.empty())
        address.port = static_cast<uint16_t>(port);
    return address;
}
