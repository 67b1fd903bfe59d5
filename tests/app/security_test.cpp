// The Printer Application against clients it must not trust: local users
// who are no administrators, and requests built to break it.
#include <pwd.h>
#include <sys/stat.h>

#include <map>

#include "app_support.h"

namespace {

struct AdminCase {
    const char* what;
    const char* printersAfter;      // what `printers` lists afterwards
    std::vector<std::string> args;  // {system}, {printer}, {raw} and {document} filled in
    bool asNobody;                  // over IPP on loopback; otherwise root over the domain socket
    const char* refusal;            // what the program says when refused; null when allowed
};

// In order, each at once after the one before: no restart in between.
const AdminCase kAdmin[] = {
    {"nobody adds", "office\n", {"add", "-u", "{system}", "-d", "intruder", "-m", "mono-laser-600", "-v", "{raw}"},
     true, "Unauthorized"},
    {"nobody modifies", "office\n", {"modify", "-u", "{printer}", "-d", "office", "-o", "print-darkness-default=50"},
     true, "Unauthorized"},
    {"nobody deletes", "office\n", {"delete", "-u", "{printer}", "-d", "office"}, true, "Unauthorized"},
    {"nobody prints", "office\n", {"submit", "-u", "{printer}", "-d", "office", "{document}"}, true, nullptr},
    {"root adds a printer writing to a file", "office\n",
     {"add", "-d", "file", "-m", "mono-laser-600", "-v", "file:///etc/motd"}, false, "Unable to add printer"},
    {"root adds a printer whose URI has a bell", "office\n",
     {"add", "-d", "bell", "-m", "mono-laser-600", "-v", "socket://localhost\a:9100"}, false, "Unable to add printer"},
    {"root modifies", "office\n", {"modify", "-d", "office", "-o", "print-darkness-default=50"}, false, nullptr},
    {"root adds", "annex\noffice\n", {"add", "-d", "annex", "-m", "mono-laser-600", "-v", "{raw}"}, false, nullptr},
    {"root modifies the new printer", "annex\noffice\n", {"modify", "-d", "annex", "-o", "print-darkness-default=25"},
     false, nullptr},
    {"root deletes the new printer", "office\n", {"delete", "-d", "annex"}, false, nullptr},
    {"root adds it again", "annex\noffice\n", {"add", "-d", "annex", "-m", "mono-laser-600", "-v", "{raw}"}, false,
     nullptr},
    {"root deletes the first", "annex\n", {"delete", "-d", "office"}, false, nullptr},
};

// Printers as the service's users manage them: root over the domain
// socket, anyone else over IPP without a login. The program lives in a
// folder anyone may enter, wherever the build tree is.
TEST(AppSecurity, OnlyAdministratorsChangePrintersAndAnyoneMayPrint)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    Server server;
    RawPrinter& office = server.AddPrinter("office");
    const std::string document = server.dir.File("page.pwg");
    WritePwg(document, {MakeSheet("iso_a4_210x297mm", 5, false)}, "iso_a4_210x297mm", false);
    ASSERT_EQ(chmod(document.c_str(), 0644), 0);

    const std::map<std::string, std::string> fills = {
        {"{system}", server.SystemUri()}, {"{printer}", server.Uri("office")}, {"{raw}", office.Uri()},
        {"{document}", document}};
    for (const AdminCase& c : kAdmin) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv;
        if (c.asNobody)
            argv = {"runuser", "-u", "nobody", "--"};
        argv.push_back(server.program);
        std::ranges::transform(c.args, std::back_inserter(argv),
                               [&](const std::string& arg) { return fills.contains(arg) ? fills.at(arg) : arg; });
        const RunResult run = RunProgram(argv[0], argv, server.Environment());
        if (c.refusal == nullptr) {
            EXPECT_EQ(run.status, 0) << run.err;
        } else {
            EXPECT_NE(run.status, 0);
            EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        }
        const RunResult printers = server.Run({"printers"});
        EXPECT_EQ(std::string(printers.out.begin(), printers.out.end()), c.printersAfter) << printers.err;
        if (c.args[0] == "submit") {
            EXPECT_TRUE(Eventually([&] { return DecodeJob(office.Last()).pages.size() == 1; }));
        }
    }

    // The web interface's settings pages are administration. Even root
    // needs a login over TCP, which tells the server nothing of who
    // connects. A printer's job list is open, as its jobs are.
    const auto status = [&](const std::string& page) {
        const RunResult run = RunProgram("curl", {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                                  "http://localhost:" + std::to_string(server.port) + page});
        return std::string(run.out.begin(), run.out.end());
    };
    EXPECT_EQ(status("/config"), "401");
    EXPECT_EQ(status("/annex/jobs"), "200");
    // Whether the user can connect to the domain socket at all: curl says 7 when not.
    const auto reaches = [link = "/run/" + std::filesystem::path(server.program).filename().string() + ".sock"](
                             const char* user) {
        return RunProgram("runuser", {"runuser", "-u", user, "--", "curl", "-so", "/dev/null", "--unix-socket", link,
                                      "http://localhost/"})
                   .status != 7;
    };
    EXPECT_FALSE(reaches("nobody"));
    EXPECT_TRUE(reaches("root"));
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(server.dir.File("state")).permissions(), owner_read | owner_write);
    EXPECT_EQ(std::filesystem::status(server.dir.File("spool")).permissions(), owner_all);
}

// Who may do what to a job, as CUPS has it: a client is known by its
// login, or else by the requesting-user-name it gives. Owners send their
// documents to their jobs, follow and cancel them; anyone reads any job;
// an administrator logs in (a password PAM takes, and the admin group) to
// stop another's job or the printer.
struct JobCase {
    const char* name;
    ipp_op_t op;
    const char* user;      // requesting-user-name, or the login when there is a password
    const char* password;  // a login when not null
    bool othersJob;        // alice's job, not the user's own
    ipp_status_t status;
};

constexpr ipp_status_t kAskedToLogIn = IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED;

const JobCase kJobs[] = {
    {"OwnerReads", IPP_OP_GET_JOB_ATTRIBUTES, "alice", nullptr, false, IPP_STATUS_OK},
    {"AnotherUserReads", IPP_OP_GET_JOB_ATTRIBUTES, "bob", nullptr, true, IPP_STATUS_OK},
    {"OwnerSendsTheDocument", IPP_OP_SEND_DOCUMENT, "alice", nullptr, false, IPP_STATUS_OK},
    {"AnotherUserSendsADocument", IPP_OP_SEND_DOCUMENT, "bob", nullptr, true, kAskedToLogIn},
    {"OwnerCancels", IPP_OP_CANCEL_JOB, "alice", nullptr, false, IPP_STATUS_OK},
    {"AnotherUserCancels", IPP_OP_CANCEL_JOB, "bob", nullptr, true, kAskedToLogIn},
    {"AnotherUserReleases", IPP_OP_RELEASE_JOB, "bob", nullptr, true, kAskedToLogIn},
    {"UserStopsThePrinter", IPP_OP_DISABLE_PRINTER, "alice", nullptr, false, kAskedToLogIn},
    {"RootWithAWrongPasswordCancels", IPP_OP_CANCEL_JOB, "root", "wrong", true, kAskedToLogIn},
    {"NoAdministratorCancels", IPP_OP_CANCEL_JOB, "daemon", "secret", true, IPP_STATUS_ERROR_FORBIDDEN},
    {"AdministratorCancels", IPP_OP_CANCEL_JOB, "{admin}", "secret", true, IPP_STATUS_OK},
    {"AdministratorStopsThePrinter", IPP_OP_DISABLE_PRINTER, "{admin}", "secret", false, IPP_STATUS_OK},
};

class JobRights : public ::testing::TestWithParam<JobCase> {};

TEST_P(JobRights, AsCupsGivesThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to add a PAM service and a user";
    const JobCase& c = GetParam();
    const TestLogins logins;
    Server server(logins.service);
    server.AddPrinter("office");
    const std::string uri = server.Uri("office");
    const std::string user = std::string(c.user) == "{admin}" ? logins.admin : c.user;
    http_t* http = Connect(server.port);
    // A job held until it is sent its document.
    ipp_t* create = NewRequest(IPP_OP_CREATE_JOB, uri, c.othersJob ? "alice" : user);
    ippAddString(create, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, c.name);
    ippAddString(create, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
    ipp_t* created = cupsDoRequest(http, create, "/ipp/print");
    const int id = ippGetInteger(ippFindAttribute(created, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(created);
    ASSERT_NE(id, 0) << cupsLastErrorString();

    cupsSetUser(user.c_str());
    AnswerPasswordWith(c.password);
    ipp_t* request = NewRequest(c.op, uri, user);
    if (c.op != IPP_OP_DISABLE_PRINTER)
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    if (c.op == IPP_OP_SEND_DOCUMENT) {
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        GreyPage(server.dir.File("page.pwg"));
        ippDelete(cupsDoFileRequest(http, request, "/ipp/print", server.dir.File("page.pwg").c_str()));
    } else {
        ippDelete(cupsDoRequest(http, request, "/ipp/print"));
    }
    EXPECT_EQ(cupsLastError(), c.status) << cupsLastErrorString();
    httpClose(http);
    cupsSetUser(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Requests, JobRights, ::testing::ValuesIn(kJobs), kByName);

// The folder around the domain socket is what keeps other users out. As
// a system service finds them made for it: an open folder of root's is
// made private, and the link to the socket stays when the server stops;
// a folder of somebody else's is refused.
TEST(AppSecurity, SocketFolderIsTheServersAlone)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and the user nobody";
    Server server({}, false);
    const std::string name = std::filesystem::path(server.program).filename().string();
    const std::string folder = "/run/" + name;
    const std::string link = folder + ".sock";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    std::filesystem::create_symlink(folder + "/socket", link);
    const std::unique_ptr<const std::string, void (*)(const std::string*)> remove(&folder, [](const std::string* path) {
        std::filesystem::remove_all(*path), std::filesystem::remove(*path + ".sock");
    });
    // The server takes TCP connections a moment before it sees to the folder.
    server.Start();
    using enum std::filesystem::perms;
    EXPECT_TRUE(Eventually([&] { return std::filesystem::status(folder).permissions() == owner_all; }));
    EXPECT_EQ(server.Stop().status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    ASSERT_EQ(chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const RunResult run = RunProgram(server.program, {server.program, "server", "-o", "spool-directory=" + server.dir.File("spool"),
                                                      "-o", "server-port=" + std::to_string(FreePort())},
                                     server.Environment());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(folder + " is not a folder of this user's"), std::string::npos) << run.err;
}

// Requests a hostile or broken client sends, and documents that cannot be
// read: each is refused, its job aborted with a reason, or what the printer
// cannot honour set aside as IPP allows; no filter outlives its job, no
// document stays in the spool, and the server goes on printing.
struct HostileCase {
    const char* name;
    ipp_status_t status;                           // Print-Job's answer
    ipp_jstate_t state;                            // the job's end
    const char* reason;                            // in the answer's message or the job's
    void (*bend)(cups_page_header2_t&) = nullptr;  // the A4 page's header
    void (*attributes)(ipp_t* request) = nullptr;
    const char* format = "image/pwg-raster";
    std::string_view content = {};  // sent instead of the page
    std::uintmax_t cut = 0;         // bytes cut off the page's end
};

void Media(ipp_t* request, const std::string& name)
{
    ipp_t* col = ippNew();
    ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, name.c_str());
    ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
    ippDelete(col);
}

using std::string_view_literals::operator""sv;

const HostileCase kHostile[] = {
    {"HugePage", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "at most 65535",
     [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 100000, h.cupsHeight = 4000000000U; }},
    // It would print at half its width.
    {"ThreeHundredDpiAcross", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "600x600 dpi only",
     [](cups_page_header2_t& h) { h.HWResolution[0] = 300; }},
    {"WidePage", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "at most 65535",
     [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 100000; }},
    // The tallest page the printer takes prints, cut to the paper.
    {"TallestPage", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed",
     [](cups_page_header2_t& h) { h.cupsHeight = 65535, h.cupsWidth = h.cupsBytesPerLine = 8; }},
    {.name = "EndsMidLine", .status = IPP_STATUS_OK, .state = IPP_JSTATE_ABORTED, .reason = "ends in the middle of page 1",
     .cut = 10},
    // A document of no format the printer knows reaches the driver, which
    // says why. (PAPPL 1.3.1 aborts a job whose named format it has no
    // filter for before that.)
    {"UntypedBytes", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "does not print documents of type", nullptr, nullptr,
     "application/octet-stream", "garbage\n"},
    // With ghostscript's first complaint.
    {"TextSentAsPdf", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "ghostscript cannot read the PDF: Catalog dictionary",
     nullptr, nullptr, "application/pdf", "This is a letter, not a PDF.\n"},
    {"CutOffPng", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "the PNG cannot be read", nullptr, nullptr, "image/png",
     "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"sv},
    {"CutOffJpeg", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "the JPEG cannot be read", nullptr, nullptr, "image/jpeg",
     "\xff\xd8\xff\xe0"},
    // A header that claims 100,000 x 100,000 pixels.
    {"HugePng", IPP_STATUS_OK, IPP_JSTATE_ABORTED, "more pixels than the printer can use", nullptr, nullptr,
     "image/png",
     "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x02\0\0\0\x27\x30\x9c\x9f"
     "\0\0\0\0IDAT\x35\xaf\x06\x1e"sv},
    // One black pixel, spread over the paper.
    {"OnePixelPng", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed", nullptr, nullptr, "image/png",
     "\x89PNG\x0d\x0a\x1a\x0a\x00\x00\x00\x0dIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x00\x00\x00\x00:~\x9bU\x00\x00\x00"
     "\x0aIDATx\xda" "c`\x00\x00\x00\x02\x00\x01\xe5\x27\xde\xfc\x00\x00\x00\x00IEND\xae" "B`\x82"sv},
    {"OversizedJobName", IPP_STATUS_OK, IPP_JSTATE_COMPLETED, "completed", nullptr,
     [](ipp_t* r) { ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, std::string(20000, 'x').c_str()); }},
    // Printed on the printer's own paper, as the answer says (PAPPL 1.3.1
    // ignores ipp-attribute-fidelity).
    {"NoSuchPaper", IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED, IPP_JSTATE_COMPLETED, "Ignoring unsupported media-col",
     nullptr, [](ipp_t* r) { Media(r, "na_nowhere_3x3in"); }},
};

class Hostile : public SharedServer, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(Hostile, HasADefinedOutcomeAndLeavesNothing)
{
    const HostileCase& c = GetParam();
    const std::string path = server->dir.File(c.name);
    if (!c.content.empty()) {
        WriteFile(path, Bytes(c.content.begin(), c.content.end()));
    } else {
        GreyPage(path, c.bend);
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - c.cut);
    }
    const std::string uri = server->Uri("mono");
    ipp_t* request = PrintRequest(uri, c.format);
    if (c.attributes != nullptr)
        c.attributes(request);
    const JobResult sent = Send(*server, "mono", request, path);
    EXPECT_EQ(sent.status, c.status) << sent.message;
    ASSERT_NE(sent.id, 0) << sent.message;
    const JobResult job = WaitForJob(server->port, uri, sent.id);
    EXPECT_EQ(job.state, c.state);
    const std::string message = sent.message + " / " + job.message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(Children(server->running.pid), "");
    EXPECT_TRUE(FilesGone(*server));
    ExpectNextPrints(*server, "mono", std::string(c.name) + "-next");
}

INSTANTIATE_TEST_SUITE_P(Requests, Hostile, ::testing::ValuesIn(kHostile), kByName);

}  // namespace
