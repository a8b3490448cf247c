// The script language, one line at a time. No toolkit: lines are UTF-8.
//
// A line is blank, a comment (its trimmed text begins with "%" or "#"), or a
// command word and a parameter separated by the first space character. White
// space is the C locale's (space, \t, \n, \v, \f, \r), whatever the user's
// locale: a byte of 0x7F or above is never white space, so no character of
// another script is ever trimmed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum LineCheck : int { LINE_OK = 0, LINE_INCOMPLETE = 1, LINE_BAD_COMMAND = 2 };

// The command words in table order; a word's index is its command number.
enum CommandNumber : int {
    CMD_BEFORE_DELAY = 0,
    CMD_AFTER_DELAY = 1,
    CMD_DURATION = 2,
    CMD_EXPOSURES = 3,
    CMD_MIRROR_LOCK = 4,
    CMD_START_CAPTURE = 5,
    CMD_PROMPT_OK = 6,
    CMD_DITHER_PIXELS = 7,
    CMD_DITHER_SETTLE = 8,
    CMD_GUIDE_WAIT = 9,
    CMD_DITHER_EVERY = 10,
    CMD_RETAKE_SUSPECT = 11,
    CMD_FRAME_TYPE = 12,
    CMD_TARGET = 13,
    CMD_START_AT = 14,
    CMD_AF_MODE = 15,
    CMD_NONE = -1,
};

std::string TrimScriptText(const std::string& text);

struct ScriptLine {
    std::string word;  // before the first space, trimmed
    std::string parameter;  // after it, trimmed; empty without a space
};
// Splits the trimmed line; says nothing of blank lines and comments.
ScriptLine SplitScriptLine(const std::string& line);

// The first table word of the same length that equals `word` letter for
// letter, ignoring ASCII case; CMD_NONE when none does.
int FindCommand(const std::vector<std::string>& words, const std::string& word);

// strtol's reading in base 10 (white space, a sign, digits, anything after
// ignored; no digits read as 0), held to the signed 32-bit range.
int32_t ParameterValue(const std::string& parameter);

int CheckScriptText(const std::vector<std::string>& words, const std::string& line);

// What executing a line does: the command number (CMD_NONE for a line
// without effect), the parameter's value and its text.
struct ScriptCommand {
    int number = CMD_NONE;
    int32_t value = 0;
    std::string text;
};
ScriptCommand ParseScriptCommand(const std::vector<std::string>& words, const std::string& line);

// The commands that need the guider (a script that holds one watches it for
// the whole script run).
bool IsGuiderCommand(int number);
