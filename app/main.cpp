// rastertomono-printer-app: the printer as a driverless IPP Everywhere
// printer. PAPPL serves IPP and the web interface; every job's pages go
// through the rastertomono filter, so the printer gets the same command
// stream as from a CUPS queue with the printer's PPD.
#include <pappl/pappl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "appearance.h"
#include "image_job.h"
#include "mono_driver.h"
#include "pdf_job.h"
#include "raster_document.h"
#include "saved_state.h"
#include "security.h"

#ifndef RTM_VERSION
#define RTM_VERSION "1.0"
#endif

namespace {

constexpr const char* kAppName = "rastertomono-printer-app";

const char* Option(const char* name, int numOptions, cups_option_t* options)
{
    return cupsGetOption(name, numOptions, options);
}

pappl_loglevel_t LogLevel(const char* value)
{
    if (value == nullptr)
        return PAPPL_LOGLEVEL_WARN;
    static constexpr struct {
        const char* name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR}, {"warn", PAPPL_LOGLEVEL_WARN},
                   {"info", PAPPL_LOGLEVEL_INFO},   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& level : kLevels)
        if (std::strcmp(value, level.name) == 0)
            return level.level;
    return PAPPL_LOGLEVEL_WARN;
}

pappl_soptions_t ServerOptions(const char* value)
{
    auto options = static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE);
    static constexpr struct {
        const char* name;
        pappl_soptions_t add, remove;
    } kWords[] = {
        {"none", PAPPL_SOPTIONS_NONE, static_cast<pappl_soptions_t>(~0U)},
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, PAPPL_SOPTIONS_NONE},
        {"no-multi-queue", PAPPL_SOPTIONS_NONE, PAPPL_SOPTIONS_MULTI_QUEUE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, PAPPL_SOPTIONS_NONE},
        {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, PAPPL_SOPTIONS_NONE},
        {"no-web-interface", PAPPL_SOPTIONS_NONE, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, PAPPL_SOPTIONS_NONE},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, PAPPL_SOPTIONS_NONE},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, PAPPL_SOPTIONS_NONE},
        {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, PAPPL_SOPTIONS_NONE},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, PAPPL_SOPTIONS_NONE},
    };
    for (const char* word = value; word != nullptr && *word != '\0';) {
        const char* end = std::strchr(word, ',');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - word) : std::strlen(word);
        for (const auto& known : kWords)
            if (std::strlen(known.name) == length && std::strncmp(word, known.name, length) == 0)
                options = static_cast<pappl_soptions_t>((options & ~known.remove) | known.add);
        word = end != nullptr ? end + 1 : nullptr;
    }
    return options;
}

bool IsLoopback(const char* host)
{
    constexpr std::string_view kLoopback[] = {"localhost", "127.0.0.1", "::1", "[::1]"};
    return std::ranges::find(kLoopback, std::string_view(host)) != std::end(kLoopback);
}

// Where a server keeps its spooled jobs when not told: the system's spool
// for root, the user's configuration folder otherwise.
std::string DefaultSpool()
{
    if (getuid() == 0)
        return std::string("/var/spool/") + kAppName;
    if (const char* home = std::getenv("HOME"))
        return std::string(home) + "/.config/" + kAppName + ".d";
    return std::string(papplGetTempDir()) + "/" + kAppName + std::to_string(getuid()) + ".d";
}

pappl_system_t* SystemCallback(int numOptions, cups_option_t* options, void* /*data*/)
{
    const char* value = Option("file-devices", numOptions, options);
    gSettings.fileDevices = value != nullptr && std::strcmp(value, "yes") == 0;
    const char* filter = std::getenv("RASTERTOMONO_FILTER");
    const char* ppd = std::getenv("RASTERTOMONO_PPD");
    const char* testPage = std::getenv("RASTERTOMONO_TESTPAGE");
    const char* gsWriter = std::getenv("RASTERTOMONO_GS_WRITER");
    gSettings.filterPath = filter != nullptr ? filter : RTM_FILTER_PATH;
    gSettings.ppdPath = ppd != nullptr ? ppd : RTM_PPD_PATH;
    gSettings.testPagePath = testPage != nullptr ? testPage : RTM_TESTPAGE_PATH;
    gSettings.gsWriterPath = gsWriter != nullptr ? gsWriter : RTM_GS_WRITER_PATH;
    std::string error;
    if (!LoadPapers(gSettings.ppdPath.c_str(), gSettings.papers, error)) {
        (void)std::fprintf(stderr, "%s: %s\n", kAppName, error.c_str());
        return nullptr;
    }

    int port = 0;
    if ((value = Option("server-port", numOptions, options)) != nullptr) {
        char* end = nullptr;
        errno = 0;
        const long parsed = std::strtol(value, &end, 10);
        if (errno != 0 || *end != '\0' || parsed < 0 || parsed > 65535) {
            (void)std::fprintf(stderr, "%s: bad server-port '%s'\n", kAppName, value);
            return nullptr;
        }
        port = static_cast<int>(parsed);
    }
    const char* spool = Option("spool-directory", numOptions, options);
    const std::string defaultSpool = DefaultSpool();
    // Loopback only unless the administrator names another address. There
    // TLS would protect nothing, and PAPPL would offer it beside URIs that
    // have none.
    const char* listen = Option("listen-hostname", numOptions, options);
    if (listen == nullptr)
        listen = "localhost";
    pappl_soptions_t serverOptions = ServerOptions(Option("server-options", numOptions, options));
    if (IsLoopback(listen))
        serverOptions = static_cast<pappl_soptions_t>(serverOptions | PAPPL_SOPTIONS_NO_TLS);
    pappl_system_t* system =
        papplSystemCreate(serverOptions, kAppName, port,
                          "_print,_universal", spool != nullptr ? spool : defaultSpool.c_str(),
                          Option("log-file", numOptions, options), LogLevel(Option("log-level", numOptions, options)),
                          Option("auth-service", numOptions, options), false);
    if (system == nullptr)
        return nullptr;
    if (!IsPrivateFolder(spool != nullptr ? spool : defaultSpool.c_str(), error)) {
        (void)std::fprintf(stderr, "%s: %s\n", kAppName, error.c_str());
        papplSystemDelete(system);
        return nullptr;
    }
    SetUpAdministration(system, Option("auth-service", numOptions, options),
                        Option("admin-group", numOptions, options));
    if ((value = Option("server-hostname", numOptions, options)) != nullptr)
        papplSystemSetHostName(system, value);
    if (Option("private-server", numOptions, options) == nullptr)
        papplSystemAddListeners(system, listen);

    papplSystemAddMIMEFilter(system, "application/pdf", kDocumentFormat, PrintPdf, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", kDocumentFormat, PrintImage, nullptr);
    papplSystemAddMIMEFilter(system, "image/png", kDocumentFormat, PrintImage, nullptr);
    papplSystemAddMIMEFilter(system, kRasterFormat, kDocumentFormat, PrintRaster, nullptr);
    papplSystemSetPrinterDrivers(system, static_cast<int>(std::size(kDrivers)),
                                 const_cast<pappl_pr_driver_t*>(kDrivers), nullptr, CreateCallback, DriverCallback, nullptr);
    papplSystemSetFooterHTML(system, "rastertomono Printer Application " RTM_VERSION);
    AddWebIcons(system);
    if ((value = Option("state-file", numOptions, options)) != nullptr) {
        // Kept for the life of the process: PAPPL holds the pointer.
        static std::string stateFile;
        stateFile = value;
        if (!EndInterruptedJobs(stateFile, error)) {
            (void)std::fprintf(stderr, "%s: %s\n", kAppName, error.c_str());
            papplSystemDelete(system);
            return nullptr;
        }
        papplSystemLoadState(system, stateFile.c_str());
        RemoveStraySpoolFiles(system, spool != nullptr ? spool : defaultSpool);
        papplSystemSetSaveCallback(system, SaveState, const_cast<char*>(stateFile.c_str()));
    }
    return system;
}

// PAPPL's command line as its main loop reads it: the sub-command (submit
// when files come without one), the files, and whether a document format
// is named.
struct CommandLine {
    std::string subcommand;
    std::vector<const char*> files;
    bool namesFormat = false;
};

CommandLine ParseCommandLine(int argc, char* argv[])
{
    // Options that take a value: "-o value" takes the next word, "-ovalue" not.
    constexpr std::string_view kValueOptions = "dhjmnotuv";
    constexpr std::string_view kSubcommands[] = {"add",      "autoadd", "cancel", "default", "delete", "devices",
                                                 "drivers",  "jobs",    "modify", "options", "pause",  "printers",
                                                 "resume",   "server",  "shutdown", "status", "submit"};
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            if (i + 1 < argc)
                line.files.push_back(argv[++i]);
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
            std::string_view value = arg.substr(2);
            if (value.empty() && kValueOptions.find(arg[1]) != std::string_view::npos && i + 1 < argc)
                value = argv[++i];
            if (arg[1] == 'o' && value.starts_with("document-format="))
                line.namesFormat = true;
        } else if (line.subcommand.empty() && std::ranges::find(kSubcommands, arg) != std::end(kSubcommands)) {
            line.subcommand = arg;
        } else {
            line.files.push_back(argv[i]);
        }
    }
    if (line.subcommand.empty() && !line.files.empty())
        line.subcommand = "submit";
    return line;
}

// Rasters submitted without a format named: PAPPL would type them by their
// first bytes on the server and read them off the connection.
bool IsRasterSubmission(const CommandLine& line)
{
    return line.subcommand == "submit" && !line.namesFormat && !line.files.empty() &&
           std::ranges::all_of(line.files, [](const char* file) { return IsRasterFile(file); });
}

void Usage(void* /*data*/)
{
    std::puts("Usage: rastertomono-printer-app SUB-COMMAND [OPTIONS] [FILES]\n"
              "Serves the Generic Mono Laser 600 as a driverless IPP Everywhere printer.\n"
              "Server options (server -o NAME=VALUE): server-port, listen-hostname (default localhost),\n"
              "  spool-directory, state-file, log-file, log-level, admin-group, auth-service,\n"
              "  server-options, file-devices=yes (allow file:// devices, for tests).\n"
              "See rastertomono-printer-app(8).");
}

}  // namespace

int main(int argc, char* argv[])
{
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.subcommand == "server")
        return RunServer(argc, argv, RTM_VERSION, SystemCallback);
    // Rasters that root submits over the domain socket are to be spooled
    // too, and there the server cannot see them before PAPPL does: the
    // format is named here.
    std::vector<char*> args(argv, argv + argc);
    std::string rasterFormat = std::string("document-format=") + kRasterFormat;
    if (IsRasterSubmission(line)) {
        static char optionFlag[] = "-o";
        args.insert(args.begin() + 1, {optionFlag, rasterFormat.data()});
    }
    args.push_back(nullptr);
    return papplMainloop(static_cast<int>(args.size() - 1), args.data(), RTM_VERSION, nullptr,
                         static_cast<int>(std::size(kDrivers)), const_cast<pappl_pr_driver_t*>(kDrivers), nullptr,
                         DriverCallback, nullptr, nullptr, SystemCallback, Usage, nullptr);
}
