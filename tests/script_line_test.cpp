// The script language: checking a line, reading its parameter, and that the
// check and the execution split and look a line up the same way.
#include <gtest/gtest.h>

#include <climits>

#include "script/script_line.h"

namespace {

const std::vector<std::string> WORDS = {"BeforeDelay", "AfterDelay",   "Duration", "Exposures",
                                        "MirrorLock",  "StartCapture", "PromptOK"};

TEST(ScriptLine, CheckCodes)
{
    const struct {
        const char* line;
        int code;
    } rows[] = {
        {"Duration 30", LINE_OK},
        {"duration 30", LINE_OK},
        {"DURATION 30", LINE_OK},
        {" \t DuRaTiOn    30  \r", LINE_OK},
        {"\v\fExposures 5\n", LINE_OK},
        {"Exposures 5 % a comment", LINE_OK},
        {"PromptOK   Point at the flat panel  ", LINE_OK},
        {"MirrorLock word", LINE_OK},  // the form of the parameter plays no part
        {"", LINE_OK},
        {" \t\r\n", LINE_OK},
        {"% Duration", LINE_OK},
        {"  # Duration", LINE_OK},
        {"%", LINE_OK},
        {"Duration", LINE_INCOMPLETE},
        {"Duration30", LINE_INCOMPLETE},
        {"Duration\t30", LINE_INCOMPLETE},  // only a space separates
        {"PromptOK", LINE_INCOMPLETE},
        {"PromptOK    ", LINE_INCOMPLETE},
        {"  30", LINE_INCOMPLETE},
        {"Durationx 30", LINE_BAD_COMMAND},
        {"Dur 30", LINE_BAD_COMMAND},
        {"x%Duration 30", LINE_BAD_COMMAND},
        {"Exposures\xC2\xA0 5", LINE_BAD_COMMAND},  // a no-break space is not white space
        {"\xC2\xA0"
         "Exposures 5",
         LINE_BAD_COMMAND},
        {"D\xC3\xBCration 5", LINE_BAD_COMMAND},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CheckScriptText(WORDS, row.line), row.code) << '"' << row.line << '"';
}

TEST(ScriptLine, ParameterReadsLikeStrtolWithin32Bits)
{
    const struct {
        const char* text;
        int32_t value;
    } rows[] = {
        {"30", 30},
        {"30x", 30},
        {"30 % more", 30},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"0x10", 0},
        {"-1", -1},
        {"+7", 7},
        {" \t12", 12},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParameterValue(row.text), row.value) << '"' << row.text << '"';
}

TEST(ScriptLine, ExecutionFindsTheCommandAndItsParameter)
{
    const struct {
        const char* line;
        int number;
        int32_t value;
        const char* text;
    } rows[] = {
        {"  startcapture   0  ", CMD_START_CAPTURE, 0, "0"},
        {"PromptOK   Flat 100% done \xC3\xA4  ", CMD_PROMPT_OK, 0, "Flat 100% done \xC3\xA4"},
        {"Exposures 12 frames", CMD_EXPOSURES, 12, "12 frames"},
        {"% Duration 5", CMD_NONE, 0, ""},
        {"# Duration 5", CMD_NONE, 0, ""},
        {"", CMD_NONE, 0, ""},
        {"Durationx 5", CMD_NONE, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const ScriptCommand command = ParseScriptCommand(WORDS, row.line);
        EXPECT_EQ(command.number, row.number);
        EXPECT_EQ(command.value, row.value);
        EXPECT_EQ(command.text, row.text);
    }
}

}  // namespace
