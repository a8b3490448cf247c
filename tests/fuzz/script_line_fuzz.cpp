// libFuzzer target for the script language: the check and the execution must
// split and look up every line the same way, and the parameter must read as
// the C library's strtol would, held to 32 bits.
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "script/script_line.h"

namespace {

const std::vector<std::string> WORDS = {"BeforeDelay", "AfterDelay",   "Duration", "Exposures",
                                        "MirrorLock",  "StartCapture", "PromptOK"};
const char* const C_SPACE = " \t\n\v\f\r";

std::string Trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(C_SPACE);
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(C_SPACE) - begin + 1);
}

int32_t ReferenceValue(const std::string& parameter)
{
    const long long value = std::strtoll(parameter.c_str(), nullptr, 10);
    return static_cast<int32_t>(value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const int check = CheckScriptText(WORDS, line);
    const ScriptCommand command = ParseScriptCommand(WORDS, line);
    assert(check == LINE_OK || check == LINE_INCOMPLETE || check == LINE_BAD_COMMAND);

    const std::string trimmed = Trim(line);
    const bool blankOrComment = trimmed.empty() || trimmed[0] == '%' || trimmed[0] == '#';
    const size_t space = trimmed.find(' ');
    const std::string word = Trim(trimmed.substr(0, space));
    const std::string parameter = space == std::string::npos ? "" : Trim(trimmed.substr(space + 1));
    const ScriptLine split = SplitScriptLine(line);
    assert(split.word == word && split.parameter == parameter);

    if (blankOrComment) {
        assert(check == LINE_OK);
        assert(command.number == CMD_NONE);  // no effect either
        return 0;
    }
    if (word.empty() || parameter.empty()) {
        assert(check == LINE_INCOMPLETE);
        return 0;
    }
    assert((check == LINE_BAD_COMMAND) == (command.number == CMD_NONE));
    if (command.number != CMD_NONE) {
        assert(command.number == FindCommand(WORDS, word));
        assert(command.text == parameter);
        // The parameter is made of bytes up to the first NUL for strtol.
        if (parameter.find('\0') == std::string::npos)
            assert(command.value == ReferenceValue(parameter));
    }
    return 0;
}
