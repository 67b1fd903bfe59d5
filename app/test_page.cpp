#include "test_page.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "mono_driver.h"

const char* TestPage(pappl_printer_t* printer, char* buffer, std::size_t size)
{
    const int in = open(gSettings.testPagePath.c_str(), O_RDONLY | O_CLOEXEC);
    std::string name = std::string(papplGetTempDir()) + "/rtm-testpage-XXXXXX.pdf";
    const int out = in >= 0 ? mkostemps(name.data(), 4, O_CLOEXEC) : -1;
    bool ok = out >= 0;
    char chunk[65536];
    ssize_t got;
    while (ok && (got = read(in, chunk, sizeof chunk)) > 0)
        ok = write(out, chunk, static_cast<std::size_t>(got)) == got;
    if (in >= 0)
        close(in);
    if (out >= 0 && close(out) != 0)
        ok = false;
    if (!ok || name.size() >= size) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Cannot copy the test page %s: %s",
                        gSettings.testPagePath.c_str(), std::strerror(errno));
        if (out >= 0)
            unlink(name.c_str());
        return nullptr;
    }
    (void)std::snprintf(buffer, size, "%s", name.c_str());
    return buffer;
}
