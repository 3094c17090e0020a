// kalvo-screenshots [--only window|pages|archive] FOLDER: the pictures of docs/images. Without
// --only each group runs in a process of its own, since the window brings its own application.
// Run it from the demo folder, where the simulated driver sits beside it:
//   QT_QPA_PLATFORM=offscreen build-release/demo/kalvo-screenshots docs/images
#include <QApplication>
#include <QDir>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shots.h"

extern char** environ;

namespace {

int Usage() {
    std::fputs("usage: kalvo-screenshots [--only window|pages|archive] FOLDER\n", stderr);
    return 2;
}

int RunGroup(const std::string& self, const std::string& group, const std::string& folder) {
    std::vector<std::string> args = {self, "--only", group, folder};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (argv[i][0] == '-' || !folder.empty()) {
            return Usage();
        } else {
            folder = argv[i];
        }
    }
    if (folder.empty()) return Usage();
    QDir().mkpath(QString::fromStdString(folder));

    if (only.empty()) {
        const std::string self = "/proc/self/exe";
        int failed = 0;
        for (const char* group : {"pages", "archive", "window"})
            failed += RunGroup(self, group, folder) != 0;
        return failed ? 1 : 0;
    }
    int app_argc = 1;  // the options are ours, not the application's
    if (only == "window") return kalvo::ShootWindow(app_argc, argv, folder);
    if (only != "pages" && only != "archive") return Usage();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(app_argc, argv);
    return only == "pages" ? kalvo::ShootPages(folder) : kalvo::ShootArchive(folder);
}
