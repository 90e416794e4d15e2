// Reading thread times, status fields, descriptors and the machine from
// /proc; see proc_sampling.h.
#include "proc_sampling.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <sstream>

#include "testkit/files.h"

ThreadTimes ReadThreadTimes(pid_t pid) {
    ThreadTimes times;
    std::string base = "/proc/" + std::to_string(pid) + "/task/";
    DIR *tasks = opendir(base.c_str());
    if (tasks == nullptr) return times;
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string dir = base + entry->d_name + "/";
        std::string comm = ReadFile(dir + "comm");
        uint64_t ns = strtoull(ReadFile(dir + "schedstat").c_str(), nullptr, 10);
        if (comm.compare(0, 14, "readersim-demo") == 0) {
            times.generatorNs += ns;
        } else {
            times.korvaneNs += ns;
        }
        std::istringstream status(ReadFile(dir + "status"));
        std::string line;
        while (std::getline(status, line)) {
            // A voluntary switch is the thread going to sleep: one per wake-up.
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) {
                times.switches += strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
            }
        }
    }
    closedir(tasks);
    return times;
}

long long StatusValue(pid_t pid, const char *field) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    size_t length = strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':')
            return strtoll(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

uint64_t StatusKiB(pid_t pid, const char *field) {
    long long value = StatusValue(pid, field);
    return value < 0 ? 0 : static_cast<uint64_t>(value);
}

int OpenDescriptors(pid_t pid) {
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (fds == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(fds)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(fds);
    return count;
}

std::string MachineLine() {
    struct utsname name;
    uname(&name);
    std::string model;
    std::istringstream cpuinfo(ReadFile("/proc/cpuinfo"));
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " CPUs, " + name.sysname +
           " " + name.release + " " + name.machine;
}
