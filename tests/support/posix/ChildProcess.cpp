#include "support/ChildProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tarnwick::test {

struct BackgroundChild::Impl {
    pid_t pid = -1;
    int inputWriter = -1;  // the pipe's end that keeps a kept-open input open
    int exitCode = -1;     // once it ended
};

BackgroundChild::Handle Launch(const std::string& program, const std::vector<std::string>& args,
                               const ChildOptions& options, const std::string& streams) {
    int pipeEnds[2] = {-1, -1};
    if (options.keepInputOpen && pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : options.env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        const int fds[3] = {
            options.keepInputOpen ? pipeEnds[0] : open((streams + ".in").c_str(), O_RDONLY),
            open((streams + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
            open((streams + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0 || dup2(fds[i], i) < 0) {
                _exit(127);
            }
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (options.keepInputOpen) {
        close(pipeEnds[0]);
        (void)!write(pipeEnds[1], options.input.data(), options.input.size());
    }
    return BackgroundChild::Handle(pid < 0 ? nullptr : new BackgroundChild::Impl{pid, pipeEnds[1]});
}

int WaitForExit(BackgroundChild::Impl& child, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (child.pid > 0 && std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            child.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            child.pid = -1;
        } else if (done < 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return child.pid > 0 ? -1 : child.exitCode;
}

void BackgroundChild::Release::operator()(Impl* child) const {
    if (child->pid > 0) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, nullptr, 0);
    }
    if (child->inputWriter >= 0) {
        close(child->inputWriter);
    }
    delete child;
}

std::string CurrentExecutablePath() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

}  // namespace tarnwick::test
