#include "support/ChildProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/TestSupport.h"

namespace tarnwick::test {

struct BackgroundChild::Impl {
    pid_t pid = -1;
    int inputWriter = -1;  // the input pipe's end, open while the input is kept open
    int exitCode = -1;     // once it ended
};

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options)
    : impl_(std::make_unique<Impl>()), streams_(options.outputDir + "/child") {
    int pipeEnds[2] = {-1, -1};
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return;
    impl_->pid = fork();
    if (impl_->pid == 0) {
        for (const auto& [name, value] : options.env)
            setenv(name.c_str(), value.c_str(), 1);
        const int fds[3] = {pipeEnds[0],
                            open((streams_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                            open((streams_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0 || dup2(fds[i], i) < 0)
                _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeEnds[0]);
    (void)!write(pipeEnds[1], options.input.data(), options.input.size());
    impl_->inputWriter = options.keepInputOpen ? pipeEnds[1] : (close(pipeEnds[1]), -1);
}

BackgroundChild::~BackgroundChild() {
    if (impl_->pid > 0) {
        kill(impl_->pid, SIGKILL);
        waitpid(impl_->pid, nullptr, 0);
    }
    if (impl_->inputWriter >= 0)
        close(impl_->inputWriter);
}

ChildResult BackgroundChild::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (impl_->pid > 0 && std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(impl_->pid, &status, WNOHANG);
        if (done == impl_->pid) {
            impl_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            impl_->pid = -1;
        } else if (done < 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {impl_->pid > 0 ? -1 : impl_->exitCode, FileBytes(streams_ + ".out"),
            FileBytes(streams_ + ".err")};
}

std::string CurrentExecutablePath() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

}  // namespace tarnwick::test
