#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>

namespace orvendal::testing {

// Whether a thread of process `pid` is sleeping in nanosleep now, as the kernel reports the
// system call each thread is blocked in (/proc/PID/task/TID/syscall). For a program whose only
// sleep is the one a test is after, this observes it without a hook in the program.
inline bool threadSleeping(pid_t pid) {
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream in(task.path() / "syscall");
        long number = -1;
        if (in >> number && (number == SYS_clock_nanosleep || number == SYS_nanosleep)) {
            return true;
        }
    }
    return false;
}

// Waits until threadSleeping(pid), looking every millisecond; false when `limit` passes first.
inline bool waitUntilSleeping(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!threadSleeping(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace orvendal::testing
