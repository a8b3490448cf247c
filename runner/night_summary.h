// What a night brought, from the exposure log: for each target and frame
// type, the frames that ran to their end and their time, those aborted,
// those the guider spoiled and those whose file did not come. No toolkit.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

struct SummaryRow {
    std::string target;  // "" for none
    std::string type;  // "Light"; "" in a log written before frame types
    int done = 0;  // ran to their end (done, stopped, no-port)
    int64_t heldMs = 0;  // theirs
    int aborted = 0;  // aborted, closed, port-lost
    int suspect = 0;
    int withoutFile = 0;  // a camera was linked and no file came
};

// The rows of the log's lines (its CSV text, header first) that began at
// or after `sinceUtcMs`, in the order their target and type first came.
// Lines of another layout are read by their header's names; a line that is
// not one of the header's records is left out, alone; a text that is not
// UTF-8 is shown with U+FFFD for its bad bytes. Read a line at a time.
std::vector<SummaryRow> SummariseLog(std::istream& csv, int64_t sinceUtcMs);
std::vector<SummaryRow> SummariseLog(const std::string& csv, int64_t sinceUtcMs);
std::vector<SummaryRow> SummariseLogFile(const std::string& path, int64_t sinceUtcMs);

// "M42, Light: 20 frames, 1 h 40 min; 1 aborted, 2 suspect, 1 without a
// file", a line a row; "No exposure logged." for none.
std::string SummaryText(const std::vector<SummaryRow>& rows);

// The night's start for `nowUtcMs`: the last noon, local time.
int64_t NightStartUtcMs(int64_t nowUtcMs);
