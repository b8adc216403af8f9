#include "support/ChildProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/TestSupport.h"

namespace tarnwick::test {
struct BackgroundChild::Impl {
    pid_t pid = -1;
    int inputWriter = -1;  // the pipe's end that keeps a kept-open input open
    bool ended = false;
    int exitCode = -1;
    std::string outPath;
    std::string errPath;
    std::chrono::steady_clock::time_point start;
};

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options)
    : impl_(std::make_unique<Impl>()) {
    impl_->outPath = options.outputDir + "/child.out";
    impl_->errPath = options.outputDir + "/child.err";
    const std::string inPath = options.outputDir + "/child.in";
    std::ofstream(inPath, std::ios::binary) << options.input;
    int pipeEnds[2] = {-1, -1};
    if (options.keepInputOpen && pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return;
    }
    impl_->start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        return;
    }
    if (pid == 0) {
        for (const auto& [name, value] : options.env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        const int out = open(impl_->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(impl_->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = options.keepInputOpen ? pipeEnds[0] : open(inPath.c_str(), O_RDONLY);
        if (out < 0 || err < 0 || in < 0) {
            _exit(127);
        }
        dup2(out, 1);
        dup2(err, 2);
        dup2(in, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    impl_->pid = pid;
    if (options.keepInputOpen) {
        close(pipeEnds[0]);
        impl_->inputWriter = pipeEnds[1];
        if (!options.input.empty()) {
            (void)!write(impl_->inputWriter, options.input.data(), options.input.size());
        }
    }
}

BackgroundChild::~BackgroundChild() {
    Kill();
    if (impl_->inputWriter >= 0) {
        close(impl_->inputWriter);
    }
}

bool BackgroundChild::Started() const {
    return impl_->pid > 0;
}

void BackgroundChild::Type(const std::string& text) {
    if (impl_->inputWriter >= 0) {
        (void)!write(impl_->inputWriter, text.data(), text.size());
    }
}

ChildResult BackgroundChild::Wait(std::chrono::milliseconds timeout) {
    ChildResult result;
    if (impl_->pid > 0 && !impl_->ended) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            int status = 0;
            const pid_t done = waitpid(impl_->pid, &status, WNOHANG);
            if (done == impl_->pid) {
                impl_->ended = true;
                impl_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - impl_->start);
    result.exitCode = impl_->ended ? impl_->exitCode : -1;
    result.out = FileBytes(impl_->outPath);
    result.err = FileBytes(impl_->errPath);
    return result;
}

void BackgroundChild::Kill() {
    if (impl_ != nullptr && impl_->pid > 0 && !impl_->ended) {
        kill(impl_->pid, SIGKILL);
        int status = 0;
        waitpid(impl_->pid, &status, 0);
        impl_->ended = true;
        impl_->exitCode = -1;
    }
}

std::string CurrentExecutablePath() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

}  // namespace tarnwick::test
