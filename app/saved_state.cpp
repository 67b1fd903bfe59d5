#include "saved_state.h"

#include <cups/cups.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "job_watch.h"

namespace {

// One option as PAPPL writes it: name="value", with \ and " escaped.
void WriteOption(std::ostream& out, const cups_option_t& option)
{
    out << ' ' << option.name << "=\"";
    for (const char* c = option.value; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"')
            out << '\\';
        out << *c;
    }
    out << '"';
}

// A whole number in a state file, 0 where there is none.
unsigned long Number(const char* text)
{
    unsigned long value = 0;
    if (text != nullptr)
        std::from_chars(text, text + std::strlen(text), value);
    return value;
}

// A "Job ..." line as PAPPL should load it: a job that was printing is
// aborted, and the document it names goes; a job that never got its
// document is given a format, without which PAPPL drops it from the
// history ("Bad Job definition").
bool EndJobLine(std::string& line)
{
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(line.c_str() + 4, 0, &options);
    const bool printing = Number(cupsGetOption("state", count, options)) == IPP_JSTATE_PROCESSING;
    const bool noFormat = cupsGetOption("format", count, options) == nullptr;
    if (printing || noFormat) {
        std::ostringstream out;
        out << "Job";
        const char* reasons = cupsGetOption("state_reasons", count, options);
        const unsigned long merged = Number(reasons) | (printing ? PAPPL_JREASON_ABORTED_BY_SYSTEM : 0);
        for (int i = 0; i < count; ++i) {
            const std::string name = options[i].name;
            if (printing && name == "filename") {
                std::error_code ignored;
                std::filesystem::remove(options[i].value, ignored);
            } else if (printing && name == "state") {
                out << " state=\"" << IPP_JSTATE_ABORTED << '"';
            } else if (name == "state_reasons") {
                out << " state_reasons=\"" << merged << '"';
            } else {
                WriteOption(out, options[i]);
            }
        }
        if (reasons == nullptr)
            out << " state_reasons=\"" << merged << '"';
        if (noFormat)
            out << " format=\"application/octet-stream\"";
        line = out.str();
    }
    cupsFreeOptions(count, options);
    return printing || noFormat;
}

}  // namespace

bool EndInterruptedJobs(const std::string& stateFile, std::string& error)
{
    std::ifstream in(stateFile);
    if (!in)
        return true;  // no state yet
    std::string text;
    bool changed = false;
    for (std::string line; std::getline(in, line); text += line + '\n')
        if (line.starts_with("Job ") && EndJobLine(line))
            changed = true;
    in.close();
    if (!changed)
        return true;
    const std::string temporary = stateFile + ".new";
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    out.close();
    if (!out || std::rename(temporary.c_str(), stateFile.c_str()) != 0) {
        error = "cannot rewrite the state file " + stateFile;
        return false;
    }
    return true;
}

void RemoveStraySpoolFiles(pappl_system_t* system, const std::string& spoolDirectory)
{
    // PAPPL names a job's files "p<printer-id>j<job-id>-<name>.<ext>".
    std::set<std::pair<int, int>> waiting;
    for (const JobSeen& seen : ActiveJobs(system))
        waiting.emplace(seen.printer, seen.job);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(spoolDirectory, error)) {
        // PAPPL names a document pPPPPPjJJJJJJJJJ-NAME: printer and job id.
        const std::string name = entry.path().filename().string();
        int printer = 0;
        int job = 0;
        const char* text = name.c_str();
        if (name.size() > 16 && name[0] == 'p' && name[6] == 'j' && name[16] == '-' &&
            std::from_chars(text + 1, text + 6, printer).ptr == text + 6 &&
            std::from_chars(text + 7, text + 16, job).ptr == text + 16 && entry.is_regular_file(error) &&
            !waiting.contains({printer, job}))
            std::filesystem::remove(entry.path(), error);
    }
}

bool SaveState(pappl_system_t* system, void* stateFile)
{
    const std::string file = static_cast<const char*>(stateFile);
    const std::string temporary =
        file + "." + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) + ".new";
    if (!papplSystemSaveState(system, temporary.c_str()))
        return false;
    if (std::rename(temporary.c_str(), file.c_str()) == 0)
        return true;
    std::filesystem::remove(temporary);
    return false;
}
