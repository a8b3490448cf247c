#include "script/script_line.h"

#include <algorithm>
#include <limits>

namespace {

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

char CLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string TrimScriptText(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsCSpace(text[begin]))
        ++begin;
    while (end > begin && IsCSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

ScriptLine SplitScriptLine(const std::string& line)
{
    const std::string trimmed = TrimScriptText(line);
    const size_t space = trimmed.find(' ');
    if (space == std::string::npos)
        return {trimmed, ""};
    return {TrimScriptText(trimmed.substr(0, space)), TrimScriptText(trimmed.substr(space + 1))};
}

int FindCommand(const std::vector<std::string>& words, const std::string& word)
{
    for (size_t number = 0; number < words.size(); ++number) {
        const std::string& candidate = words[number];
        if (candidate.size() != word.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < word.size() && same; ++i)
            same = CLower(candidate[i]) == CLower(word[i]);
        if (same)
            return static_cast<int>(number);
    }
    return CMD_NONE;
}

int32_t ParameterValue(const std::string& parameter)
{
    size_t i = 0;
    while (i < parameter.size() && IsCSpace(parameter[i]))
        ++i;
    bool negative = false;
    if (i < parameter.size() && (parameter[i] == '+' || parameter[i] == '-'))
        negative = parameter[i++] == '-';
    // Counted on the negative side, which reaches one further.
    int64_t value = 0;
    const int64_t limit = -int64_t{std::numeric_limits<int32_t>::min()};
    for (; i < parameter.size() && parameter[i] >= '0' && parameter[i] <= '9'; ++i)
        value = std::min(limit, value * 10 + (parameter[i] - '0'));
    if (negative)
        return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

int CheckScriptText(const std::vector<std::string>& words, const std::string& line)
{
    const std::string trimmed = TrimScriptText(line);
    if (trimmed.empty() || trimmed[0] == '%' || trimmed[0] == '#')
        return LINE_OK;
    const ScriptLine parts = SplitScriptLine(trimmed);
    if (parts.word.empty() || parts.parameter.empty())
        return LINE_INCOMPLETE;
    if (FindCommand(words, parts.word) == CMD_NONE)
        return LINE_BAD_COMMAND;
    return LINE_OK;
}

// Blank lines and comments are not singled out: their first word matches no
// command word.
ScriptCommand ParseScriptCommand(const std::vector<std::string>& words, const std::string& line)
{
    const ScriptLine parts = SplitScriptLine(line);
    ScriptCommand command;
    command.number = FindCommand(words, parts.word);
    if (command.number == CMD_NONE)
        return command;
    command.value = ParameterValue(parts.parameter);
    command.text = parts.parameter;
    return command;
}

bool IsGuiderCommand(int number)
{
    return number == CMD_DITHER_PIXELS || number == CMD_DITHER_SETTLE || number == CMD_GUIDE_WAIT ||
        number == CMD_DITHER_EVERY || number == CMD_RETAKE_SUSPECT;
}
