// The kavrel command. It starts the interpreter with SIGINT and SIGTERM blocked,
// so that a signal sent while the interpreter is still starting waits, pending,
// until kavrel's own handlers are in (kavrel._command unblocks them), instead of
// meeting the interpreter's default handler before any of kavrel has run.
// Plain C++: no Python here.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef KAVREL_PYTHON_NAME
#define KAVREL_PYTHON_NAME "python3"
#endif

namespace {

// The interpreter beside this program (a venv's bin/, or the prefix it was installed into),
// else the first of that name on PATH.
std::string interpreter() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/') + 1);
        for (const char* name : {KAVREL_PYTHON_NAME, "python3", "python"}) {
            const std::string candidate = dir + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    }
    return KAVREL_PYTHON_NAME;  // execvp looks it up on PATH
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    setenv("KAVREL_SIGNALS_BLOCKED", "1", 1);

    const std::string python = interpreter();
    std::vector<char*> args{const_cast<char*>(python.c_str()), const_cast<char*>("-m"), const_cast<char*>("kavrel")};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "kavrel: cannot run %s: %s\n", python.c_str(), std::strerror(errno));
    return 127;
}
