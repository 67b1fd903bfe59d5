// A network printer's raw port (socket://, often port 9100) for the demo,
// the benchmarks and the tests: it listens on a free loopback port and
// keeps what each connection sends.
//
//   rtm_raw_printer FOLDER [CUT [PAUSE]]
//
// Writes the port to FOLDER/port once it listens, and each connection's
// bytes to FOLDER/NNNN.part as they come, renamed FOLDER/NNNN.prn when the
// sender closes it. With CUT (not 0), every connection is reset after CUT
// bytes: a printer that fails in the middle of a job. With PAUSE, it waits
// PAUSE milliseconds after each read: a printer slower than its server, as
// real ones are. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

void Receive(int fd, const std::string& folder, int number, long cut, long pause)
{
    char name[16];
    (void)std::snprintf(name, sizeof name, "%04d", number);
    const std::string part = folder + "/" + name + ".part";
    std::ofstream out(part, std::ios::binary);
    std::vector<char> buffer(65536);
    long total = 0;
    for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) {
        if (cut > 0 && total + got >= cut) {
            out.write(buffer.data(), cut - total);
            // Reset rather than close: the sender's next write fails.
            const linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            break;
        }
        out.write(buffer.data(), got);
        out.flush();
        total += got;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    out.close();
    close(fd);
    (void)std::rename(part.c_str(), (folder + "/" + name + ".prn").c_str());
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 4) {
        (void)std::fprintf(stderr, "usage: rtm_raw_printer FOLDER [CUT [PAUSE]]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const long cut = argc >= 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    const long pause = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("rtm_raw_printer");
        return 1;
    }
    {
        std::ofstream port(folder + "/port.new");
        port << ntohs(address.sin_port) << '\n';
    }
    (void)std::rename((folder + "/port.new").c_str(), (folder + "/port").c_str());
    for (int number = 1;; ++number) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread(Receive, fd, folder, number, cut, pause).detach();
    }
}
