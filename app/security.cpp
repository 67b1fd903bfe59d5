#include "security.h"

#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "job_watch.h"
#include "raster_document.h"

namespace {

// ---- administration -------------------------------------------------------

struct Credentials {
    const char* user;
    const char* password;
};

// PAM asks for the user name and password; both came with the request.
int Converse(int count, const pam_message** messages, pam_response** responses, void* data)
{
    const auto* credentials = static_cast<const Credentials*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (replies == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char* answer = nullptr;
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answer = credentials->user;
        else if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            answer = credentials->password;
        if (answer != nullptr && (replies[i].resp = strdup(answer)) == nullptr) {
            for (int j = 0; j < i; ++j)
                std::free(replies[j].resp);
            std::free(replies);
            return PAM_BUF_ERR;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

bool PamAccepts(const char* service, const Credentials& credentials)
{
    pam_conv conversation{Converse, const_cast<Credentials*>(&credentials)};
    pam_handle_t* pam = nullptr;
    int status = pam_start(service, credentials.user, &conversation, &pam);
    if (status == PAM_SUCCESS)
        status = pam_authenticate(pam, PAM_SILENT);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pam, PAM_SILENT);
    pam_end(pam, status);
    return status == PAM_SUCCESS;
}

bool InGroup(const char* user, gid_t group)
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    if (found->pw_gid == group)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(user, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == group)
            return true;
    return false;
}

struct Administration {
    std::string service;  // PAM's; empty when the server asks nobody to log in
    std::string group;    // the administrators'
};

// Operations PAPPL lets anyone who may print do, which CUPS keeps for
// administrators: they stop a printer, or the job another user prints.
constexpr ipp_op_t kAdminOnly[] = {IPP_OP_DISABLE_PRINTER, IPP_OP_ENABLE_PRINTER, IPP_OP_CANCEL_CURRENT_JOB};

// Operations on a job that only read it: anyone may follow any job.
constexpr ipp_op_t kReadJob[] = {IPP_OP_GET_JOB_ATTRIBUTES};

template <std::size_t N>
bool OneOf(ipp_op_t op, const ipp_op_t (&ops)[N])
{
    return std::find(std::begin(ops), std::end(ops), op) != std::end(ops);
}

gid_t GroupId(const char* name)
{
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    return getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr
               ? found->gr_gid
               : static_cast<gid_t>(-1);
}

// The login the request carries, checked by PAM; with a group, the user
// must also be in it. The client is then known by that name.
http_status_t LogIn(pappl_client_t* client, const std::string& service, const char* groupName, gid_t groupId)
{
    const char* authorization = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (authorization == nullptr || std::strncmp(authorization, "Basic ", 6) != 0)
        return HTTP_STATUS_UNAUTHORIZED;
    char decoded[512];
    int length = sizeof decoded;
    httpDecode64_2(decoded, &length, authorization + 6);
    char* password = std::strchr(decoded, ':');
    if (password == nullptr)
        return HTTP_STATUS_BAD_REQUEST;
    *password++ = '\0';
    const bool accepted = PamAccepts(service.c_str(), {decoded, password});
    explicit_bzero(password, std::strlen(password));
    if (!accepted) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Login of '%s' refused.", decoded);
        return HTTP_STATUS_UNAUTHORIZED;
    }
    // A group that does not exist admits nobody.
    if (groupName != nullptr && (groupId == static_cast<gid_t>(-1) || !InGroup(decoded, groupId))) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "'%s' is not in group '%s'.", decoded, groupName);
        return HTTP_STATUS_FORBIDDEN;
    }
    papplClientSetUsername(client, decoded);
    return HTTP_STATUS_CONTINUE;
}

// Who sends a request that needs no login: the login when it brings one,
// otherwise the requesting-user-name it gives, as CUPS takes it. PAPPL
// then knows a job's owner when the owner comes back to it.
http_status_t Identify(pappl_client_t* client, ipp_t* request, const Administration& administration)
{
    if (!administration.service.empty() && httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION)[0] != '\0')
        return LogIn(client, administration.service, nullptr, static_cast<gid_t>(-1));
    const char* user = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    papplClientSetUsername(client, user);
    return HTTP_STATUS_CONTINUE;
}

// A web page that only shows jobs: a printer's job list.
bool IsJobListPage(pappl_client_t* client)
{
    const std::string_view uri = papplClientGetURI(client);
    return papplClientGetMethod(client) == HTTP_STATE_GET && uri.size() > 5 && uri.ends_with("/jobs");
}

// PAPPL asks this for every client that is not on the domain socket
// (PAPPL trusts that one with everything), after refusing unencrypted
// requests from other hosts. It asks with the administrators' group for
// administration and for a job of somebody else's, and with no group (or
// the group an administrator gave a printer for printing) for printing,
// the state of printers and jobs, and one's own jobs.
http_status_t Authorize(pappl_client_t* client, const char* groupName, gid_t groupId, void* data)
{
    const auto& administration = *static_cast<const Administration*>(data);
    ipp_t* request = papplClientGetRequest(client);  // null for a web page
    const ipp_op_t op = request != nullptr ? ippGetOperation(request) : IPP_OP_CUPS_NONE;
    if (request != nullptr)
        SpoolRasterDocument(client);

    const bool forAdministration = groupName != nullptr && administration.group == groupName;
    if (!forAdministration && request != nullptr && !OneOf(op, kAdminOnly)) {
        if (groupName != nullptr && !administration.service.empty())
            return LogIn(client, administration.service, groupName, groupId);
        return Identify(client, request, administration);
    }
    if (request != nullptr ? forAdministration && OneOf(op, kReadJob) : IsJobListPage(client))
        return HTTP_STATUS_CONTINUE;
    // Administration. Without a login service, PAPPL's own rule: loopback
    // clients may administer, others not.
    if (administration.service.empty())
        return httpAddrLocalhost(httpGetAddress(papplClientGetHTTP(client))) ? HTTP_STATUS_CONTINUE
                                                                               : HTTP_STATUS_FORBIDDEN;
    return LogIn(client, administration.service, administration.group.c_str(), GroupId(administration.group.c_str()));
}

// ---- the server's socket and files ----------------------------------------

// Where PAPPL's client sub-commands look for the server of this user.
std::string SocketLink(const char* baseName)
{
    if (getuid() == 0)
        return std::string("/run/") + baseName + ".sock";
    return std::string(papplGetTempDir()) + "/" + baseName + std::to_string(getuid()) + ".sock";
}

// A folder of this user's that no one else may enter: made, or taken over
// only when it already is one. made tells which.
bool MakePrivateFolder(const std::string& path, bool& made, std::string& error)
{
    made = mkdir(path.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
        error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        error = path + " is not a folder of this user's";
        return false;
    }
    if ((info.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) {
        error = "cannot make " + path + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool LinksTo(const std::string& link, const std::string& target)
{
    char found[4096];
    const ssize_t length = readlink(link.c_str(), found, sizeof found);
    return length > 0 && target.compare(0, std::string::npos, found, static_cast<std::size_t>(length)) == 0;
}

// The link clients connect through, pointing at the socket; true when
// made here. A system service finds it made for it (tmpfiles.d) and its
// /run read-only.
bool LinkSocket(const std::string& link, const std::string& socket)
{
    if (LinksTo(link, socket))
        return false;
    unlink(link.c_str());
    if (symlink(socket.c_str(), link.c_str()) == 0)
        return true;
    (void)std::fprintf(stderr, "cannot link %s to the server's socket: %s\n", link.c_str(), std::strerror(errno));
    return false;
}

// The domain socket, the link clients find it by, and what of them this
// server made.
struct SocketPlace {
    std::string link, folder, socket;
    bool madeLink = false, madeFolder = false;
};

// What was there before stays for the next start.
void RemoveSocket(const SocketPlace& place)
{
    unlink(place.socket.c_str());
    if (place.madeLink)
        unlink(place.link.c_str());
    if (place.madeFolder)
        rmdir(place.folder.c_str());
}

}  // namespace

bool IsPrivateFolder(const char* path, std::string& error)
{
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = std::string(path) + " is not a folder";
        return false;
    }
    if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        error = std::string(path) + " is open to other users; give the server a folder of its own (mode 0700)";
        return false;
    }
    return true;
}

void SetUpAdministration(pappl_system_t* system, const char* authService, const char* adminGroup)
{
    // Kept for the life of the process: PAPPL holds the pointer. PAPPL
    // names the admin group only for administration, which is how the
    // check tells it from printing: so there always is one.
    static Administration administration;
    administration = {authService != nullptr ? authService : "", adminGroup != nullptr ? adminGroup : "lpadmin"};
    papplSystemSetAdminGroup(system, administration.group.c_str());
    papplSystemSetAuthCallback(system, "Basic", Authorize, &administration);
}

int RunServer(int argc, char* argv[], const char* version, pappl_ml_system_cb_t systemCallback)
{
    int numOptions = 0;
    cups_option_t* options = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "server") == 0)
            continue;
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            numOptions = cupsParseOptions(argv[++i], numOptions, &options);
        else if (std::strncmp(argv[i], "-o", 2) == 0 && argv[i][2] != '\0')
            numOptions = cupsParseOptions(argv[i] + 2, numOptions, &options);
        else {
            (void)std::fprintf(stderr, "%s server: unknown argument '%s'; server takes -o NAME=VALUE only\n", argv[0], argv[i]);
            cupsFreeOptions(numOptions, options);
            return 1;
        }
    }

    JobWatchSettings watch;
    if (const char* timeout = cupsGetOption("multiple-operation-timeout", numOptions, options)) {
        int seconds = 0;
        const char* end = timeout + std::strlen(timeout);
        if (std::from_chars(timeout, end, seconds).ptr != end || seconds < 1) {
            (void)std::fprintf(stderr, "%s: bad multiple-operation-timeout '%s'\n", argv[0], timeout);
            cupsFreeOptions(numOptions, options);
            return 1;
        }
        watch.documentTimeout = seconds;
    }

    // Spooled documents, state and log are the server's alone.
    umask(077);
    // Every job runs in a thread of its own and may take megabytes for a
    // page or an image; memory that large is mapped for it and returned
    // when freed, instead of staying with the thread's arena for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    pappl_system_t* system = systemCallback(numOptions, options, nullptr);
    if (system == nullptr) {
        cupsFreeOptions(numOptions, options);
        return 1;
    }
    if (const char* state = cupsGetOption("state-file", numOptions, options)) {
        chmod(state, 0600);  // written before the umask, perhaps
        watch.stateFile = state;
    }
    cupsFreeOptions(numOptions, options);

    const std::string name = std::filesystem::path(argv[0]).filename().string();
    pappl_version_t about{};
    papplCopyString(about.name, name.c_str(), sizeof about.name);
    papplCopyString(about.sversion, version, sizeof about.sversion);
    const char* part = version;
    for (unsigned short& number : about.version) {
        char* end = nullptr;
        number = static_cast<unsigned short>(std::strtoul(part, &end, 10));
        if (*end != '.')
            break;
        part = end + 1;
    }
    papplSystemSetVersions(system, 1, &about);

    // PAPPL lets everything through on its domain socket, and libcups makes
    // the socket itself open to all; the folder around it is what keeps
    // other users out, from the moment it exists. Clients find it by the
    // usual name, a link.
    // Kept for the life of the process: a server that stops with jobs
    // queued removes them on its way out.
    static SocketPlace place;
    place.link = SocketLink(name.c_str());
    place.folder = place.link.substr(0, place.link.size() - 5);
    place.socket = place.folder + "/socket";
    std::string error;
    if (!MakePrivateFolder(place.folder, place.madeFolder, error) ||
        !papplSystemAddListeners(system, place.socket.c_str())) {
        (void)std::fprintf(stderr, "%s: %s\n", argv[0], error.empty() ? "cannot listen on the domain socket" : error.c_str());
        papplSystemDelete(system);
        return 1;
    }
    place.madeLink = LinkSocket(place.link, place.socket);

    StartJobWatch(system, watch, [] { RemoveSocket(place); });
    papplSystemRun(system);
    StopJobWatch();
    papplSystemDelete(system);
    RemoveSocket(place);
    return 0;
}
