#include "runner/night_summary.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>

#include "runner/countdown.h"
#include "runner/exposure_log.h"

namespace {

// A files column names files ("M42_0007.cr2 M42_0007.jpg"), or why none
// came ("timed out", "download failed: …").
bool NamesFiles(const std::string& column)
{
    if (column.empty() || column.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    while (start < column.size()) {
        const size_t end = std::min(column.find(' ', start), column.size());
        if (column.substr(start, end - start).find('.') == std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::vector<SummaryRow> SummariseLog(std::istream& csv, int64_t sinceUtcMs)
{
    std::vector<SummaryRow> rows;
    // A line at a time, each on its own: a damaged line costs that line,
    // and one longer than any record is skipped whole.
    constexpr std::streamsize MAX_LINE = 64 * 1024;
    std::vector<char> buffer(MAX_LINE);
    const auto next = [&](std::string& line) {
        for (;;) {
            csv.getline(buffer.data(), MAX_LINE);
            if (csv.bad() || (csv.fail() && csv.eof()))
                return false;
            if (!csv.fail()) {
                line.assign(buffer.data());
                return true;
            }
            csv.clear();  // longer than the buffer
            csv.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
    };
    std::string line;
    std::vector<std::string> header, record;
    if (!next(line) || !SplitLogLine(line, header))
        return rows;
    const auto column = [&header](const char* name) {
        return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
    };
    const size_t start = column("start_utc"), held = column("held_ms"), outcome = column("outcome"),
                 guided = column("guided"), file = column("file"), type = column("type"), target = column("target");
    const auto field = [&record](size_t at) { return at < record.size() ? record[at] : std::string(); };
    const std::string since = FormatUtc(sinceUtcMs);
    while (next(line)) {
        // Before the night: passed over without a look at the rest.
        if (line.compare(0, since.size(), since) < 0 && line.size() > since.size() && line[since.size()] == ',')
            continue;
        if (!SplitLogLine(line, record) || record.size() != header.size() || field(start) < since)
            continue;
        const std::string rowTarget = ValidUtf8Text(field(target)), rowType = ValidUtf8Text(field(type));
        auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const SummaryRow& r) { return r.target == rowTarget && r.type == rowType; });
        if (row == rows.end()) {
            rows.push_back({rowTarget, rowType});
            row = rows.end() - 1;
        }
        const std::string how = field(outcome);
        if (how == "done" || how == "stopped" || how == "no-port") {
            ++row->done;
            row->heldMs += std::atoll(field(held).c_str());
        } else {
            ++row->aborted;
        }
        row->suspect += field(guided) == "suspect";
        const std::string files = field(file);
        row->withoutFile += !files.empty() && !NamesFiles(files);
    }
    return rows;
}

std::vector<SummaryRow> SummariseLog(const std::string& csv, int64_t sinceUtcMs)
{
    std::istringstream text(csv);
    return SummariseLog(text, sinceUtcMs);
}

std::vector<SummaryRow> SummariseLogFile(const std::string& path, int64_t sinceUtcMs)
{
    std::ifstream file(path, std::ios::binary);
    return SummariseLog(file, sinceUtcMs);
}

std::string SummaryText(const std::vector<SummaryRow>& rows)
{
    if (rows.empty())
        return "No exposure logged.";
    std::string text;
    for (const SummaryRow& row : rows) {
        std::string line = (row.target.empty() ? "No target" : row.target) + (row.type.empty() ? "" : ", " + row.type) +
            ": " + std::to_string(row.done) + (row.done == 1 ? " frame, " : " frames, ") +
            DurationText((row.heldMs + 500) / 1000);
        std::string extra;
        const auto add = [&extra](int count, const char* what) {
            if (count > 0)
                extra += (extra.empty() ? "; " : ", ") + std::to_string(count) + " " + what;
        };
        add(row.aborted, "aborted");
        add(row.suspect, "suspect");
        add(row.withoutFile, "without a file");
        text += (text.empty() ? "" : "\n") + line + extra;
    }
    return text;
}

int64_t NightStartUtcMs(int64_t nowUtcMs)
{
    const time_t now = static_cast<time_t>(nowUtcMs / 1000);
    std::tm local{};
    localtime_r(&now, &local);
    if (local.tm_hour < 12)
        --local.tm_mday;  // mktime takes the day before the first
    local.tm_hour = 12;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * 1000;
}
