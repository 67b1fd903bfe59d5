#include "filter_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <vector>

#include "coded_lines.h"
#include "mono_driver.h"
#include "page_input.h"

namespace {

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Writes the whole buffer to the filter; a closed pipe is EPIPE, since the
// server ignores SIGPIPE.
bool WriteAll(FilterProcess& filter, const unsigned char* buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write(filter.rasterFd, buffer + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            filter.inputFailed = true;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The filter gets its raster a quarter megabyte at a time, not one system
// call and wake-up per row.
constexpr size_t kInputBatch = size_t{256} * 1024;

ssize_t WriteRaster(void* ctx, unsigned char* buffer, size_t length)
{
    auto& filter = *static_cast<FilterProcess*>(ctx);
    filter.pending.insert(filter.pending.end(), buffer, buffer + length);
    return WriteFilterPending(filter) ? static_cast<ssize_t>(length) : -1;
}

// Log lines from the filter keep CUPS's prefixes; ERROR: lines are the
// reason a failed job gives.
void LogFilterLine(FilterProcess& filter, pappl_job_t* job, const std::string& line)
{
    if (line.rfind("ERROR: ", 0) == 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "rastertomono: %s", line.c_str() + 7);
        const std::lock_guard<std::mutex> lock(filter.messageLock);
        filter.lastError = line.substr(7);
    } else {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "rastertomono: %s", line.c_str());
    }
}

// Copies the filter's output to the device until the filter closes it. A
// device that fails stops the filter; its output is then drained unread.
void Pump(FilterProcess* filter, pappl_job_t* job, pappl_device_t* device, int outFd, int errFd)
{
    std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
    std::vector<char> buffer(65536);
    std::string messages;
    // PAPPL buffers device writes and its final flush reports nothing: the
    // device's byte count tells whether everything arrived.
    pappl_devmetrics_t metrics{};
    const std::size_t before = papplDeviceGetMetrics(device, &metrics)->write_bytes;
    std::size_t sent = 0;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0)
                continue;
            const ssize_t got = read(p.fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                close(p.fd);
                p.fd = -1;
                continue;
            }
            if (&p == fds.data()) {
                if (!filter->deviceFailed &&
                    papplDeviceWrite(device, buffer.data(), static_cast<size_t>(got)) < 0) {
                    filter->deviceFailed = true;
                    kill(filter->pid, SIGTERM);
                }
                sent += static_cast<std::size_t>(got);
            } else {
                messages.append(buffer.data(), static_cast<size_t>(got));
                for (size_t end; (end = messages.find('\n')) != std::string::npos; messages.erase(0, end + 1))
                    LogFilterLine(*filter, job, messages.substr(0, end));
            }
        }
    }
    if (!messages.empty())
        LogFilterLine(*filter, job, messages);
    if (!filter->deviceFailed) {
        papplDeviceFlush(device);
        if (papplDeviceGetMetrics(device, &metrics)->write_bytes - before != sent)
            filter->deviceFailed = true;
    }
}

}  // namespace

FilterCommand FilterCommandFor(pappl_job_t* job, const pappl_pr_options_t& options)
{
    const char* user = papplJobGetUsername(job);
    const char* title = papplJobGetName(job);
    return {
        gSettings.filterPath.c_str(),
        gSettings.ppdPath.c_str(),
        std::to_string(papplJobGetID(job)),
        user != nullptr ? user : "",
        title != nullptr ? title : "",
        std::to_string(options.copies),
        FilterOptions(DensityForDarkness(options.print_darkness, options.darkness_configured, options.print_quality),
                      WeightForMediaType(options.media.type)),
    };
}

bool StartFilter(FilterProcess& filter, const FilterCommand& command, pappl_job_t* job, pappl_device_t* device,
                 int input, std::string& error)
{
    // Close-on-exec everywhere: a filter started for another printer at the
    // same time must not inherit this one's pipe ends, or this filter would
    // never see the end of its raster.
    int in[2] = {input, -1};
    int out[2];
    int err[2];
    if (input < 0 && pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const auto closeIn = [&] {
        close(in[0]);
        if (in[1] >= 0)
            close(in[1]);
    };
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        closeIn();
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        closeIn(), close(out[0]), close(out[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The server ignores SIGPIPE and its threads may block signals; the
    // filter starts as CUPS would start it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr, &signals);
    sigaddset(&signals, SIGPIPE);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &signals);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string ppdVar = std::string("PPD=") + command.ppdPath;
    std::array<char*, 3> envp{const_cast<char*>(ppdVar.c_str()), const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
    std::array<char*, 7> argv{const_cast<char*>("rastertomono"),       const_cast<char*>(command.jobId.c_str()),
                              const_cast<char*>(command.user.c_str()), const_cast<char*>(command.title.c_str()),
                              const_cast<char*>(command.copies.c_str()), const_cast<char*>(command.options.c_str()),
                              nullptr};
    const int spawned = posix_spawn(&filter.pid, command.filterPath, &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]), close(out[1]), close(err[1]);
    if (spawned != 0) {
        error = std::string("cannot run the filter ") + command.filterPath + ": " + std::strerror(spawned);
        filter.pid = -1;
        if (in[1] >= 0)
            close(in[1]);
        close(out[0]), close(err[0]);
        return false;
    }

    if (input < 0) {
        filter.rasterFd = in[1];
        filter.pending.reserve(kInputBatch + 65536);
        filter.raster = cupsRasterOpenIO(WriteRaster, &filter, CUPS_RASTER_WRITE_COMPRESSED);
    }
    filter.pump = std::thread(Pump, &filter, job, device, out[0], err[0]);
    return true;
}

bool FlushFilterInput(FilterProcess& filter)
{
    const bool ok = !filter.inputFailed && WriteAll(filter, filter.pending.data(), filter.pending.size());
    filter.pending.clear();
    return ok;
}

bool WriteFilterHeader(FilterProcess& filter, cups_page_header2_t& header)
{
    return !filter.inputFailed && filter.raster != nullptr && cupsRasterWriteHeader2(filter.raster, &header) != 0;
}

bool WriteFilterRow(FilterProcess& filter, std::span<const std::uint8_t> row, unsigned lines)
{
    if (filter.inputFailed || filter.raster == nullptr)
        return false;
    CodeRow(row, lines, filter.pending);
    return WriteFilterPending(filter);
}

bool WriteFilterPending(FilterProcess& filter)
{
    return !filter.inputFailed && (filter.pending.size() < kInputBatch || FlushFilterInput(filter));
}

void CancelFilter(FilterProcess& filter)
{
    if (filter.pid > 0)
        kill(filter.pid, SIGTERM);
}

bool FinishFilter(FilterProcess& filter, std::string& error)
{
    if (filter.raster != nullptr)
        cupsRasterClose(filter.raster);
    filter.raster = nullptr;
    if (filter.rasterFd >= 0)
        FlushFilterInput(filter);
    CloseFd(filter.rasterFd);
    if (filter.pump.joinable())
        filter.pump.join();
    int status = 0;
    while (filter.pid > 0 && waitpid(filter.pid, &status, 0) < 0 && errno == EINTR) {
    }
    filter.pid = -1;

    if (filter.deviceFailed) {
        error = "the printer's device failed while the job was sent";
        return false;
    }
    if (WIFSIGNALED(status)) {
        error = std::string("the filter was killed by signal ") + std::to_string(WTERMSIG(status));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        const std::lock_guard<std::mutex> lock(filter.messageLock);
        error = filter.lastError.empty() ? "the filter failed" : "the filter failed: " + filter.lastError;
        return false;
    }
    return true;
}
