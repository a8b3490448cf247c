#include "runner/night_summary.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "runner/countdown.h"
#include "runner/exposure_log.h"

namespace {

// The log's records, each a list of fields (RFC 4180: a quoted field may
// hold commas, quotes doubled and line breaks).
std::vector<std::vector<std::string>> Records(const std::string& csv)
{
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < csv.size(); ++i) {
        const char c = csv[i];
        if (quoted) {
            if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"')
                field += csv[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().push_back(field);
            field.clear();
        } else if (c == '\n') {
            records.back().push_back(field);
            field.clear();
            records.emplace_back();
        } else if (c != '\r') {
            field += c;
        }
    }
    if (!field.empty() || !records.back().empty())
        records.back().push_back(field);
    if (records.back().empty())
        records.pop_back();
    return records;
}

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

std::vector<SummaryRow> SummariseLog(const std::string& csv, int64_t sinceUtcMs)
{
    const auto records = Records(csv);
    std::vector<SummaryRow> rows;
    if (records.empty())
        return rows;
    const std::vector<std::string>& header = records[0];
    const auto column = [&header](const char* name) {
        return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
    };
    const size_t start = column("start_utc"), held = column("held_ms"), outcome = column("outcome"),
                 guided = column("guided"), file = column("file"), type = column("type"), target = column("target");
    const auto field = [](const std::vector<std::string>& record, size_t at) {
        return at < record.size() ? record[at] : std::string();
    };
    const std::string since = FormatUtc(sinceUtcMs);
    for (size_t i = 1; i < records.size(); ++i) {
        const std::vector<std::string>& record = records[i];
        if (field(record, start) < since)
            continue;
        const std::string rowTarget = field(record, target), rowType = field(record, type);
        auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const SummaryRow& r) { return r.target == rowTarget && r.type == rowType; });
        if (row == rows.end()) {
            rows.push_back({rowTarget, rowType});
            row = rows.end() - 1;
        }
        const std::string how = field(record, outcome);
        if (how == "done" || how == "stopped" || how == "no-port") {
            ++row->done;
            row->heldMs += std::atoll(field(record, held).c_str());
        } else {
            ++row->aborted;
        }
        row->suspect += field(record, guided) == "suspect";
        const std::string files = field(record, file);
        row->withoutFile += !files.empty() && !NamesFiles(files);
    }
    return rows;
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
